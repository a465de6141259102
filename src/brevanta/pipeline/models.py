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
from brevanta.pipeline.inputs import check_size, estimated_tokens
from brevanta.errors import MODEL_ACCESS, RESUME_DOCUMENTS, EnvironmentProblem, ModelFailure
from brevanta.pipeline.attempts import (Cancelled, RequestWatch, Unwatched, attempt_note, is_rate_limit,
                                        with_attempts)
from brevanta.pipeline.replay_citations import cited_blocks, request_documents
from brevanta.pipeline.reasons import Exchange, analysis_failure, transport_failure
from brevanta.pipeline.records import tidy
from brevanta.pipeline.usage import usage_record
from brevanta.relaygate import RelayGate
from brevanta.streaming import final_message, reply_blocks, reply_text

if TYPE_CHECKING:  # the SDK's submodules load with it, on first use (brevanta.deferred_sdk)
    from anthropic.lib.streaming import ParsedMessageStreamEvent
    from anthropic.types import Message, MessageParam

T = TypeVar("T")


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
class ReplyBlock:
    """One text block of a reply, with the citations the service attached to it (as it sent them)."""

    text: str
    citations: tuple[dict[str, Any], ...] = ()


@dataclass(frozen=True)
class Completion:
    """One model reply. `stop_reason` is the API's ("end_turn", "max_tokens", ...),
    or None where the transport does not report it (replay). `blocks` are the reply's text blocks with
    their citations, whose texts joined are `text`; empty where the transport gives the text alone."""

    text: str
    stop_reason: str | None
    input_tokens: int
    output_tokens: int
    cache_creation_input_tokens: int = 0
    cache_read_input_tokens: int = 0
    model: str = ""
    blocks: tuple[ReplyBlock, ...] = ()

    @property
    def prompt_tokens(self) -> int:
        """Every token of the prompt: the API's input tokens leave out those written to or read from the cache."""
        return self.input_tokens + self.cache_creation_input_tokens + self.cache_read_input_tokens


def _block_text(block: dict[str, Any]) -> str:
    source = block.get("source")
    if block.get("type") == "document" and isinstance(source, dict):
        return str(source.get("data", ""))
    return str(block.get("text", ""))


def content_text(content: Content) -> str:
    """The text of a message's content, its blocks (documents included) joined."""
    if isinstance(content, str):
        return content
    return "".join(_block_text(block) for block in content if isinstance(block, dict))


def _blocks(blocks: list[tuple[str, list[dict[str, Any]]]]) -> tuple[ReplyBlock, ...]:
    return tuple(ReplyBlock(text, tuple(citations)) for text, citations in blocks)


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

    def complete(self, *, messages: list[dict[str, Any]], model: str, max_tokens: int, operation: str) -> Completion:
        """The saved reply for a document, its marked citations turned into citations of the documents
        that `messages` send (see `replay_citations`)."""
        saved, input_tokens, _ = self._call_ai_proxy(messages=messages, model=model, max_tokens=max_tokens,
                                                     operation=operation)
        blocks = _blocks([(str(block["text"]), block.get("citations", []))
                          for block in cited_blocks(saved, request_documents(messages))])
        text = "".join(block.text for block in blocks)
        return Completion(text, None, input_tokens, min(max_tokens, estimated_tokens(text)), model=model,
                          blocks=blocks)


def sdk_client(**options: Any) -> anthropic.Anthropic:
    """A direct client with this run's request timeout; the retries are made by `with_attempts`."""
    return anthropic.Anthropic(timeout=config.REQUEST_TIMEOUT, max_retries=0, **options)


_CANCEL_CHECK = 0.05  # seconds between two looks at a cancel request while a reply is waited for


def wait_for(call: Callable[[], T], abandoned: threading.Event, cancel: threading.Event | None = None) -> T:
    """`call()` on a worker thread, waited for on this one, where the signals arrive; `abandoned` is set
    when the wait ends without the result, for the call to stop at its next attempt. Cancelled once
    `cancel` is set: the worker is left to end on its own, and what it returns is dropped."""
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
        if cancel is None:
            done.wait()
        else:
            while not done.wait(_CANCEL_CHECK):
                if cancel.is_set():
                    raise Cancelled()
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


def model_for(operation: str) -> str:
    return config.MODEL_ROUTING.get(operation, config.MODEL_REASONING)


def message_request(content: Content, *, operation: str, max_tokens: int) -> dict[str, Any]:
    """The parameters of one user message to the model routed for `operation`: what a run sends, and what a
    batch sends for the same request."""
    return {"model": model_for(operation), "max_tokens": max_tokens,
            "messages": [{"role": "user", "content": content}]}


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

    def analyze(self, text: str, round_number: int, cancel: threading.Event | None = None) -> gapscope.AnalysisResult:
        """The analysis of `text`; ModelFailure when the model gave none, Cancelled once `cancel` is set
        (the request is abandoned, not interrupted: the SDK cannot end a request that waits for its whole
        reply; whatever it brings is dropped)."""
        check_size(text, "the interview with its answers")
        exchange, abandoned = Exchange(relay=self._relay), threading.Event()
        with self.activity(f"Analysing the interview (round {round_number})...") as activity:
            watch = _ActivityWatch(activity)
            # gapscope types its client as a RelayGate; it uses only full_hosted, _call_ai_proxy and token_log.
            client = None if self.client is None else cast(
                RelayGate, _WatchedRelay(self, self.client, exchange, watch, abandoned))
            with _gapscope_sdk(self._watched_sdk(exchange, watch, abandoned)):
                result = wait_for(lambda: asyncio.run(gapscope.analyze_requirements(text, round_number, client)),
                                  abandoned, cancel)
        return _analysis_made(result, exchange, action=None if self.available else MODEL_ACCESS)

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
            raise ModelFailure(f"{operation} request failed: no model access", action=MODEL_ACCESS)
        params = message_request(content, operation=operation, max_tokens=max_tokens)
        model = params["model"]
        watch = watch or Unwatched()
        on_event = _EventWatch(watch, cancel)
        try:
            completion = with_attempts(lambda: self._complete(params, operation, on_event),
                                       watch=watch, cancel=cancel, retry_rate_limit=retry_rate_limit)
        except Cancelled:
            raise
        except Exception as exc:  # the transport's or the SDK's
            if is_rate_limit(exc) and not retry_rate_limit:
                raise
            # Every step before a completion is saved with the session.
            raise ModelFailure(f"{operation} request failed: {transport_failure(exc, relay=self._relay)}",
                               action=RESUME_DOCUMENTS) from exc
        self.record(usage_record(operation, completion.model or model, completion, estimated=self.estimated))
        return completion

    def _complete(self, params: dict[str, Any], operation: str,
                  on_event: Callable[[ParsedMessageStreamEvent[Any]], None]) -> Completion:
        # The relay and the API stream the reply: a whole document takes longer to write than the
        # request timeout, which then bounds only the silence between two events.
        model, max_tokens, messages = params["model"], params["max_tokens"], params["messages"]
        if isinstance(self.client, RelayGate):
            message = self.client.stream_message(
                messages=messages, model=model, max_tokens=max_tokens, operation=operation, on_event=on_event
            )
        elif isinstance(self.client, ReplayClient):
            return self.client.complete(messages=messages, model=model, max_tokens=max_tokens, operation=operation)
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
        return completion_of(message, model)


def completion_of(message: Message, model: str) -> Completion:
    """A whole reply as a Completion: streamed in a run, or come with a batch's results."""
    usage = message.usage
    return Completion(reply_text(message), message.stop_reason, usage.input_tokens, usage.output_tokens,
                      usage.cache_creation_input_tokens or 0, usage.cache_read_input_tokens or 0,
                      message.model or model, _blocks(reply_blocks(message)))


# -- the analysis request, for a batch ------------------------------------------------------------


@contextmanager
def _gapscope_sdk(stand_in: object) -> Iterator[None]:
    """`stand_in` takes the place of the `anthropic` module inside gapscope, which looks the name up at each
    use, until the block ends."""
    sdk = getattr(gapscope, "anthropic")
    setattr(gapscope, "anthropic", stand_in)
    try:
        yield
    finally:
        setattr(gapscope, "anthropic", sdk)


def _analysis_made(result: gapscope.AnalysisResult, exchange: Exchange,
                   action: str | None) -> gapscope.AnalysisResult:
    """`result`, unless it is the empty result of a failed analysis: then ModelFailure saying why."""
    if result.raw_response == "":
        raise ModelFailure(f"no analysis: {analysis_failure(result.completeness_reasoning, exchange)}", action=action)
    return tidy(result)


class _OneReply:
    """Takes the place of the `anthropic` module inside gapscope for one analysis: its client's
    `messages.create` keeps the request it is given and answers it with `reply`, at once."""

    def __init__(self, reply: object) -> None:
        self.reply = reply
        self.request: dict[str, Any] | None = None
        self.messages = self

    def Anthropic(self, **options: Any) -> _OneReply:  # noqa: N802 - the SDK's name
        return self

    def create(self, **request: Any) -> object:
        self.request = request
        return self.reply


def _analysis_with(stand_in: _OneReply, text: str, round_number: int) -> gapscope.AnalysisResult:
    """gapscope's own analysis of `text`, its model request answered by `stand_in`. Nothing waits in it, so
    its coroutine ends at its first step."""
    with _gapscope_sdk(stand_in):
        analysis = gapscope.analyze_requirements(text, round_number, None)
        try:
            analysis.send(None)
        except StopIteration as finished:
            result: gapscope.AnalysisResult = finished.value
            return result
    analysis.close()
    raise RuntimeError("the analysis waited although its reply was at hand")


def analysis_request(text: str, round_number: int) -> dict[str, Any]:
    """The parameters of the analysis request of `text` as an interactive run makes it (gapscope fills its
    prompt, adds the round note, picks the model and the token limit), for a batch to make instead."""
    check_size(text, "the interview with its answers")
    stand_in = _OneReply(SimpleNamespace(content=[]))  # read as "{}": no warning logged
    _analysis_with(stand_in, text, round_number)
    if stand_in.request is None:  # gapscope asks nothing without a key
        raise ModelFailure("no analysis request: no model access", action=MODEL_ACCESS)
    return stand_in.request


def analysis_of(message: Message) -> gapscope.AnalysisResult:
    """The analysis in a reply that came with a batch's results, through the extraction and repair of an
    interactive run; ModelFailure saying why when it holds none."""
    # The request gapscope builds on the way is answered by the reply and dropped: its text does not matter.
    result = _analysis_with(_OneReply(message), "", 1)
    return _analysis_made(result, Exchange(relay=False, replied=True, cut_off=message.stop_reason == "max_tokens"),
                          action=None)


# -- the service's batch endpoints ------------------------------------------------------------------

DIRECT_ACCESS_ONLY = ("brevanta batch needs direct access to the Anthropic API (ANTHROPIC_API_KEY): "
                      "the relay in BREVANTA_RELAY_URL has no batches")
OUTCOMES = ("succeeded", "errored", "canceled", "expired")  # what became of a request, as the service says


@dataclass(frozen=True)
class BatchStatus:
    """The service's account of one batch: `processing_status` "in_progress", "canceling" or "ended"; `counts`
    of its requests by OUTCOMES and "processing"; times in ISO 8601, UTC."""

    batch_id: str
    processing_status: str
    counts: dict[str, int]
    created_at: str
    ended_at: str | None = None

    @property
    def ended(self) -> bool:
        return self.processing_status == "ended"


@dataclass(frozen=True)
class BatchResult:
    """One request's result: its `outcome` (one of OUTCOMES), the reply when it succeeded, else why not."""

    custom_id: str
    outcome: str
    message: Message | None = None
    reason: str = ""


def _status_of(batch: Any) -> BatchStatus:
    counts = batch.request_counts
    return BatchStatus(batch.id, batch.processing_status,
                       {name: int(getattr(counts, name, 0) or 0) for name in ("processing", *OUTCOMES)},
                       batch.created_at.isoformat(), batch.ended_at.isoformat() if batch.ended_at else None)


_NOT_RUN = {"canceled": "the batch was canceled before this request ran",
            "expired": "the service did not run this request within 24 hours"}


def _result_of(line: Any) -> BatchResult:
    result = line.result
    if result.type == "succeeded":
        return BatchResult(line.custom_id, "succeeded", message=result.message)
    if result.type == "errored":
        error = getattr(result.error, "error", None)
        kind, text = getattr(error, "type", "error"), getattr(error, "message", "")
        return BatchResult(line.custom_id, "errored", reason=f"{kind}: {text}" if text else str(kind))
    return BatchResult(line.custom_id, str(result.type), reason=_NOT_RUN.get(str(result.type), str(result.type)))


class SendUnanswered(ModelFailure):
    """A batch was sent and no answer came back: the service may have taken it."""


class BatchEndpoints:
    """The service's Message Batches API, over the SDK with this run's timeout. A call is attempted again
    when worth it, and a failure is ModelFailure saying why; a batch is sent again only after the service
    answered with an error (it took nothing then), never after a timeout or a lost connection."""

    def __init__(self) -> None:
        self._client: anthropic.Anthropic | None = None

    @property
    def _batches(self) -> Any:
        if self._client is None:  # the SDK loads here, on first use: a usage error answers before it
            deferred_sdk.load()
            self._client = sdk_client(api_key=config.ANTHROPIC_API_KEY)
        return self._client.messages.batches

    @staticmethod
    def _call(what: str, call: Callable[[], T]) -> T:
        try:
            return with_attempts(call, watch=Unwatched())
        except Exception as exc:  # the SDK's
            raise ModelFailure(f"{what} failed: {transport_failure(exc, relay=False)}") from exc

    def create(self, requests: list[dict[str, Any]]) -> BatchStatus:
        """A new batch of `requests` ({"custom_id", "params"} each); SendUnanswered when it may have been taken."""

        def send() -> Any:
            try:
                return self._batches.create(requests=cast(Any, requests))
            except anthropic.APIConnectionError as exc:  # a timeout is one too: not worth another attempt
                cause = exc.__cause__ or exc.__context__
                detail = f" ({cause})" if cause is not None and str(cause) else ""
                raise SendUnanswered(f"no answer came to the batch sent to the Anthropic API{detail}: "
                                     "the service may have taken it",
                                     hint="brevanta batch list shows whether it did; nothing is sent twice.") from exc

        try:
            return _status_of(with_attempts(send, watch=Unwatched()))
        except SendUnanswered:
            raise
        except Exception as exc:
            raise ModelFailure(f"the service refused the batch: {transport_failure(exc, relay=False)}") from exc

    def status(self, batch_id: str) -> BatchStatus:
        return self._call(f"asking about batch {batch_id}", lambda: _status_of(self._batches.retrieve(batch_id)))

    def cancel(self, batch_id: str) -> BatchStatus:
        return self._call(f"canceling batch {batch_id}", lambda: _status_of(self._batches.cancel(batch_id)))

    @contextmanager
    def results(self, batch_id: str) -> Iterator[Iterator[BatchResult]]:
        """The results of an ended batch, one per request in the service's order, read as they arrive."""
        lines = self._call(f"reading the results of batch {batch_id}", lambda: self._batches.results(batch_id))
        try:
            yield self._reading(batch_id, iter(lines))
        finally:
            lines.close()

    @staticmethod
    def _reading(batch_id: str, lines: Iterator[Any]) -> Iterator[BatchResult]:
        while True:
            try:
                line = next(lines)
            except StopIteration:
                return
            except Exception as exc:  # the connection broke, or a line is not JSON
                raise ModelFailure(f"reading the results of batch {batch_id} failed: "
                                   f"{transport_failure(exc, relay=False)}") from exc
            yield _result_of(line)

    def recent(self) -> list[BatchStatus]:
        """The account's latest batches (a hundred at most), newest first."""
        page = self._call("listing the batches", lambda: self._batches.list(limit=100))
        return [_status_of(batch) for batch in page.data]


def batch_access() -> bool:
    """Whether this run reaches the service's batch endpoints: direct access to the Anthropic API, no relay."""
    return bool(config.ANTHROPIC_API_KEY) and not config.RELAY_URL


def open_batch_endpoints() -> BatchEndpoints:
    """The batch endpoints of the Anthropic API; EnvironmentProblem without direct access to it."""
    if not batch_access():
        raise EnvironmentProblem(DIRECT_ACCESS_ONLY)
    return BatchEndpoints()


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
