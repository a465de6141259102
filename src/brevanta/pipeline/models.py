"""Model access: the one seam every model request of a run goes through.

Three transports, first match wins: replay (saved replies, offline), a relay
(BREVANTA_RELAY_URL), the Anthropic API (ANTHROPIC_API_KEY). The analysis goes
through `gapscope.analyze_requirements`; the documents through `request` (on the
caller's thread) or `complete` (waited for), which stream the reply on the relay
and the API.

Every request is attempted again after a failure worth retrying (see `attempts`),
and its usage is recorded. Nothing here draws on a terminal: the front end hands
in an activity (a spinner, say) that is shown while a request is waited for.

`complete` and `analyze` run the request on a worker thread while the calling
thread waits for it, so one Ctrl-C (or any signal whose handler raises) ends the
wait at once; the abandoned request is a daemon thread and does not hold up the exit,
and it makes no attempt after that (one under way is left to the exit).
"""

from __future__ import annotations

import asyncio
import threading
from collections.abc import Callable, Iterator
from contextlib import AbstractContextManager, contextmanager
from dataclasses import dataclass
from types import SimpleNamespace
from typing import TYPE_CHECKING, Any, Protocol, TypeVar, cast

import anthropic

from brevanta import config, deferred_sdk, gapscope
from brevanta.cli.args import check_size, estimated_tokens
from brevanta.cli.errors import ModelFailure
from brevanta.pipeline.attempts import (Cancelled, RequestWatch, Unwatched, attempt_note, is_rate_limit,
                                        with_attempts)
from brevanta.pipeline.reasons import Exchange, analysis_failure, transport_failure
from brevanta.pipeline.usage import usage_record
from brevanta.relaygate import RelayGate
from brevanta.streaming import final_message, reply_text

if TYPE_CHECKING:  # the SDK's submodules load with it, on first use (brevanta.deferred_sdk)
    from anthropic.lib.streaming import ParsedMessageStreamEvent
    from anthropic.types import Message, MessageParam

T = TypeVar("T")

NO_ACCESS_HINT = "Set ANTHROPIC_API_KEY, set BREVANTA_RELAY_URL, or pass --replay DIR."
# Every step before a completion is saved with the session.
RERUN_RESUMES = "Run the command again: it resumes at the documents."

# The content of one user message: a text, or a list of content blocks.
Content = str | list[dict[str, Any]]


class Activity(Protocol):
    """What the front end shows while a request is waited for; `note` adds a short remark to it
    (the attempt number, the wait before a retry)."""

    def note(self, text: str) -> None: ...


ActivityFactory = Callable[[str], AbstractContextManager[Activity]]


class _NoActivity:
    def note(self, text: str) -> None:
        pass


@contextmanager
def no_activity(label: str) -> Iterator[Activity]:
    yield _NoActivity()


class RelayShaped(Protocol):
    """What the analysis uses of a relay client: a RelayGate, or the replay."""

    full_hosted: bool
    token_log: list[dict[str, Any]]

    def _call_ai_proxy(
        self, *, messages: list[dict[str, Any]], model: str, max_tokens: int, operation: str
    ) -> tuple[str, int, int]: ...


@dataclass(frozen=True)
class Completion:
    """One model reply. `stop_reason` is the API's ("end_turn", "max_tokens", ...),
    or None where the transport does not report it (replay)."""

    text: str
    stop_reason: str | None
    input_tokens: int
    output_tokens: int
    cache_creation_input_tokens: int = 0
    cache_read_input_tokens: int = 0
    model: str = ""

    @property
    def prompt_tokens(self) -> int:
        """Every token of the prompt: the API's input tokens leave out those written to or read from the cache."""
        return self.input_tokens + self.cache_creation_input_tokens + self.cache_read_input_tokens


def content_text(content: Content) -> str:
    """The text of a message's content, its blocks joined."""
    if isinstance(content, str):
        return content
    return "".join(str(block.get("text", "")) for block in content if isinstance(block, dict))


class ReplayClient:
    """Relay-shaped client that answers each operation with its saved model reply."""

    full_hosted = True

    def __init__(self, replies: dict[str, str]) -> None:
        self.replies = replies
        self.token_log: list[dict[str, Any]] = []

    def _call_ai_proxy(
        self, *, messages: list[dict[str, Any]], model: str, max_tokens: int, operation: str
    ) -> tuple[str, int, int]:
        reply = self.replies.get(operation)
        if reply is None:
            raise LookupError(f"the replay holds no saved reply for the {operation} request")
        prompt = "".join(content_text(message.get("content", "")) for message in messages)
        return reply, estimated_tokens(prompt), min(max_tokens, estimated_tokens(reply))


def sdk_client(**options: Any) -> anthropic.Anthropic:
    """A direct client with this run's request timeout; the retries are made by `with_attempts`."""
    return anthropic.Anthropic(timeout=config.REQUEST_TIMEOUT, max_retries=0, **options)


def wait_for(call: Callable[[], T], abandoned: threading.Event) -> T:
    """`call()` on a worker thread, waited for on this one, where the signals arrive; `abandoned` is set
    when the wait ends without the result, for the call to stop at its next attempt."""
    results: list[T] = []
    failures: list[BaseException] = []
    done = threading.Event()

    def work() -> None:
        try:
            results.append(call())
        except BaseException as exc:  # handed to the waiting thread
            failures.append(exc)
        finally:
            done.set()

    threading.Thread(target=work, name="model-request", daemon=True).start()
    try:
        done.wait()
    except BaseException:
        abandoned.set()
        raise
    if failures:
        raise failures[0]
    return results[0]


class _ActivityWatch(Unwatched):
    """Shows a request's retries on the front end's activity."""

    def __init__(self, activity: Activity) -> None:
        self._activity = activity

    def retrying(self, attempt: int, attempts: int, wait: float) -> None:
        self._activity.note(attempt_note(attempt, attempts, wait))


class _EventWatch:
    """Hands a streamed reply's events to a RequestWatch, and ends the stream once the run is cancelled."""

    def __init__(self, watch: RequestWatch, cancel: threading.Event | None) -> None:
        self._watch = watch
        self._cancel = cancel
        self._characters = 0

    def __call__(self, event: ParsedMessageStreamEvent[Any]) -> None:
        if self._cancel is not None and self._cancel.is_set():
            raise Cancelled()
        if event.type == "message_start":
            self._watch.began()
        elif event.type == "content_block_delta" and event.delta.type == "text_delta":
            self._characters += len(event.delta.text)
            self._watch.received(self._characters)


class _WatchedRelay:
    """A relay client as the analysis sees it: each call attempted again when worth it, noting in
    `exchange` how the request went."""

    def __init__(self, access: ModelAccess, client: RelayShaped, exchange: Exchange, watch: RequestWatch,
                 cancel: threading.Event) -> None:
        self.full_hosted = client.full_hosted
        self.token_log = client.token_log
        self._access = access
        self._client = client
        self._exchange = exchange
        self._watch = watch
        self._cancel = cancel

    def _call_ai_proxy(
        self, *, messages: list[dict[str, Any]], model: str, max_tokens: int, operation: str
    ) -> tuple[str, int, int]:
        try:
            reply = with_attempts(lambda: self._client._call_ai_proxy(
                messages=messages, model=model, max_tokens=max_tokens, operation=operation
            ), watch=self._watch, cancel=self._cancel)
        except Exception as exc:
            self._exchange.error = exc
            raise
        self._exchange.replied = True
        self._exchange.cut_off = getattr(self._client, "last_stop_reason", None) == "max_tokens"
        counts = SimpleNamespace(input_tokens=reply[1], output_tokens=reply[2])
        self._access.record(usage_record(operation, model, counts,
                                         estimated=isinstance(self._client, ReplayClient)))
        return reply


class _WatchedMessages:
    def __init__(self, access: ModelAccess, client: anthropic.Anthropic, exchange: Exchange,
                 watch: RequestWatch, cancel: threading.Event) -> None:
        self._access = access
        self._client = client
        self._exchange = exchange
        self._watch = watch
        self._cancel = cancel

    def create(self, **request: Any) -> Message:
        try:
            message: Message = with_attempts(lambda: self._client.messages.create(**request), watch=self._watch,
                                             cancel=self._cancel)
        except Exception as exc:
            self._exchange.error = exc
            raise
        self._exchange.replied = True
        self._exchange.cut_off = message.stop_reason == "max_tokens"
        self._access.record(usage_record("analysis", str(request.get("model", "")), message.usage))
        return message


class ModelAccess:
    """Where this run's model requests go, and how each one is made.

    `usage` holds a record of every request this access made (see `pipeline.usage`); `on_usage`, when
    set, is told of each one as well, on the thread that made the request.
    """

    def __init__(self, client: RelayShaped | None, source: str, activity: ActivityFactory = no_activity) -> None:
        self.client = client  # the api_client handed to the analysis; None means the Anthropic API
        self.source = source
        self.activity = activity
        self.usage: list[dict[str, Any]] = []
        self.on_usage: Callable[[dict[str, Any]], None] | None = None
        self._usage_lock = threading.Lock()

    @property
    def available(self) -> bool:
        return self.client is not None or bool(config.ANTHROPIC_API_KEY)

    @property
    def _relay(self) -> bool:
        return isinstance(self.client, RelayGate)

    @property
    def estimated(self) -> bool:
        """Whether token counts are estimates (the replay's) rather than the service's."""
        return isinstance(self.client, ReplayClient)

    def record(self, entry: dict[str, Any]) -> None:
        with self._usage_lock:
            self.usage.append(entry)
            if self.on_usage is not None:
                self.on_usage(entry)

    def _watched_sdk(self, exchange: Exchange, watch: RequestWatch, cancel: threading.Event) -> SimpleNamespace:
        """Takes the place of the `anthropic` module inside gapscope, which looks the name up at each use: its
        clients carry this run's timeout and retries, note in `exchange` how the request went and record usage."""

        def client(**options: Any) -> SimpleNamespace:
            return SimpleNamespace(messages=_WatchedMessages(self, sdk_client(**options), exchange, watch, cancel))

        return SimpleNamespace(Anthropic=client)

    def analyze(self, text: str, round_number: int) -> gapscope.AnalysisResult:
        """The analysis of `text`; ModelFailure when the model gave none."""
        check_size(text, "the interview with its answers")
        exchange, abandoned = Exchange(relay=self._relay), threading.Event()
        sdk = getattr(gapscope, "anthropic")
        try:
            with self.activity(f"Analysing the interview (round {round_number})...") as activity:
                watch = _ActivityWatch(activity)
                # gapscope types its client as a RelayGate; it uses only full_hosted, _call_ai_proxy and token_log.
                client = None if self.client is None else cast(
                    RelayGate, _WatchedRelay(self, self.client, exchange, watch, abandoned))
                setattr(gapscope, "anthropic", self._watched_sdk(exchange, watch, abandoned))
                result = wait_for(lambda: asyncio.run(gapscope.analyze_requirements(text, round_number, client)),
                                  abandoned)
        finally:
            setattr(gapscope, "anthropic", sdk)
        if result.raw_response == "":  # the empty result of a failed or impossible analysis
            reason = analysis_failure(result.completeness_reasoning, exchange)
            raise ModelFailure(f"no analysis: {reason}", hint=None if self.available else NO_ACCESS_HINT)
        return result

    def model_for(self, operation: str) -> str:
        return config.MODEL_ROUTING.get(operation, config.MODEL_REASONING)

    def complete(self, content: Content, *, operation: str, max_tokens: int, label: str | None = None) -> Completion:
        """One user message to the model routed for `operation`, waited for on this thread; ModelFailure
        saying why when no reply came. `label`, when given, names the activity shown meanwhile."""
        abandoned = threading.Event()
        with (self.activity(label) if label else no_activity("")) as activity:
            return wait_for(lambda: self.request(content, operation=operation, max_tokens=max_tokens,
                                                 watch=_ActivityWatch(activity), cancel=abandoned), abandoned)

    def request(self, content: Content, *, operation: str, max_tokens: int, watch: RequestWatch | None = None,
                cancel: threading.Event | None = None, retry_rate_limit: bool = True) -> Completion:
        """One user message to the model routed for `operation`, on this thread, attempted again when worth it.
        ModelFailure saying why when no reply came; Cancelled once `cancel` is set; with `retry_rate_limit`
        false, a 429 is raised as the SDK's RateLimitError at once."""
        if not self.available:
            raise ModelFailure(f"{operation} request failed: no model access", hint=NO_ACCESS_HINT)
        model = self.model_for(operation)
        messages: list[dict[str, Any]] = [{"role": "user", "content": content}]
        watch = watch or Unwatched()
        on_event = _EventWatch(watch, cancel)
        try:
            completion = with_attempts(lambda: self._complete(messages, model, max_tokens, operation, on_event),
                                       watch=watch, cancel=cancel, retry_rate_limit=retry_rate_limit)
        except Cancelled:
            raise
        except Exception as exc:  # the transport's or the SDK's
            if is_rate_limit(exc) and not retry_rate_limit:
                raise
            raise ModelFailure(f"{operation} request failed: {transport_failure(exc, relay=self._relay)}",
                               hint=RERUN_RESUMES) from exc
        self.record(usage_record(operation, completion.model or model, completion, estimated=self.estimated))
        return completion

    def _complete(self, messages: list[dict[str, Any]], model: str, max_tokens: int, operation: str,
                  on_event: Callable[[ParsedMessageStreamEvent[Any]], None]) -> Completion:
        # The relay and the API stream the reply: a whole document takes longer to write than the
        # request timeout, which then bounds only the silence between two events.
        if isinstance(self.client, RelayGate):
            message = self.client.stream_message(
                messages=messages, model=model, max_tokens=max_tokens, operation=operation, on_event=on_event
            )
        elif self.client is not None:
            text, input_tokens, output_tokens = self.client._call_ai_proxy(
                messages=messages, model=model, max_tokens=max_tokens, operation=operation
            )
            stop_reason: str | None = getattr(self.client, "last_stop_reason", None)
            return Completion(text, stop_reason, input_tokens, output_tokens, model=model)
        else:
            with sdk_client(api_key=config.ANTHROPIC_API_KEY).messages.stream(
                model=model, max_tokens=max_tokens, messages=cast("list[MessageParam]", messages)
            ) as stream:
                message = final_message(stream, on_event)
        usage = message.usage
        return Completion(reply_text(message), message.stop_reason, usage.input_tokens, usage.output_tokens,
                          usage.cache_creation_input_tokens or 0, usage.cache_read_input_tokens or 0,
                          message.model or model)


def open_access(replay_path: str | None, replies: dict[str, str] | None,
                activity: ActivityFactory = no_activity) -> ModelAccess:
    if replies is not None:
        return ModelAccess(ReplayClient(replies), f"saved reply {replay_path}", activity)
    relay = RelayGate.from_config(max_retries=0)  # retried by with_attempts, visibly
    if relay is not None:
        deferred_sdk.load()
        return ModelAccess(relay, f"relay {relay.base_url}", activity)
    if config.ANTHROPIC_API_KEY:
        deferred_sdk.load()
        return ModelAccess(None, "Anthropic API", activity)
    return ModelAccess(None, "no model access", activity)
