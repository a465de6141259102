"""Model access: the one seam every model request of a run goes through.

Three transports, first match wins: replay (saved replies, offline), a relay
(BREVANTA_RELAY_URL), the Anthropic API (ANTHROPIC_API_KEY). The analysis goes
through `gapscope.analyze_requirements`; the documents through `complete`, which
streams the reply on the relay and the API.

Every request runs on a worker thread while the main thread waits for it, so
one Ctrl-C (or any signal whose handler raises) ends the wait at once; the
abandoned request is a daemon thread and does not hold up the exit.
"""

from __future__ import annotations

import asyncio
import sys
import threading
from collections.abc import Callable
from contextlib import nullcontext
from dataclasses import dataclass
from types import SimpleNamespace
from typing import Any, Protocol, TypeVar, cast

import anthropic
from anthropic.types import Message, MessageParam

from brevanta import config, display, gapscope
from brevanta.cli.args import check_size, estimated_tokens
from brevanta.cli.errors import ModelFailure
from brevanta.pipeline.reasons import Exchange, analysis_failure, transport_failure
from brevanta.cli.terminal import Spinner
from brevanta.relaygate import RelayGate
from brevanta.streaming import final_message, reply_text

T = TypeVar("T")

NO_ACCESS_HINT = "Set ANTHROPIC_API_KEY, set BREVANTA_RELAY_URL, or pass --replay DIR."


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
        prompt = "".join(str(message.get("content", "")) for message in messages)
        return reply, estimated_tokens(prompt), min(max_tokens, estimated_tokens(reply))


def sdk_client(**options: Any) -> anthropic.Anthropic:
    """A direct client with this run's request timeout and retry count."""
    return anthropic.Anthropic(timeout=config.REQUEST_TIMEOUT, max_retries=config.REQUEST_RETRIES, **options)


def wait_for(call: Callable[[], T]) -> T:
    """`call()` on a worker thread, waited for on this one, where the signals arrive."""
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
    done.wait()
    if failures:
        raise failures[0]
    return results[0]


class _WatchedRelay:
    """A relay client as the analysis sees it, noting in `exchange` how the request went."""

    def __init__(self, client: RelayShaped, exchange: Exchange) -> None:
        self.full_hosted = client.full_hosted
        self.token_log = client.token_log
        self._client = client
        self._exchange = exchange

    def _call_ai_proxy(
        self, *, messages: list[dict[str, Any]], model: str, max_tokens: int, operation: str
    ) -> tuple[str, int, int]:
        try:
            reply = self._client._call_ai_proxy(
                messages=messages, model=model, max_tokens=max_tokens, operation=operation
            )
        except Exception as exc:
            self._exchange.error = exc
            raise
        self._exchange.replied = True
        self._exchange.cut_off = getattr(self._client, "last_stop_reason", None) == "max_tokens"
        return reply


class _WatchedMessages:
    def __init__(self, client: anthropic.Anthropic, exchange: Exchange) -> None:
        self._client = client
        self._exchange = exchange

    def create(self, **request: Any) -> Message:
        try:
            message: Message = self._client.messages.create(**request)
        except Exception as exc:
            self._exchange.error = exc
            raise
        self._exchange.replied = True
        self._exchange.cut_off = message.stop_reason == "max_tokens"
        return message


def _watched_sdk(exchange: Exchange) -> SimpleNamespace:
    """Takes the place of the `anthropic` module inside gapscope, which looks the name up at each use: its
    clients carry this run's timeout and retry settings and note in `exchange` how the request went."""

    def client(**options: Any) -> SimpleNamespace:
        return SimpleNamespace(messages=_WatchedMessages(sdk_client(**options), exchange))

    return SimpleNamespace(Anthropic=client)


class ModelAccess:
    """Where this run's model requests go, and how each one is made."""

    def __init__(self, client: RelayShaped | None, source: str) -> None:
        self.client = client  # the api_client handed to the analysis; None means the Anthropic API
        self.source = source

    @property
    def available(self) -> bool:
        return self.client is not None or bool(config.ANTHROPIC_API_KEY)

    @property
    def _relay(self) -> bool:
        return isinstance(self.client, RelayGate)

    def analyze(self, text: str, round_number: int) -> gapscope.AnalysisResult:
        """The analysis of `text`; ModelFailure when the model gave none."""
        check_size(text, "the interview with its answers")
        exchange = Exchange(relay=self._relay)
        # gapscope types its client as a RelayGate; it uses only full_hosted, _call_ai_proxy and token_log.
        client = None if self.client is None else cast(RelayGate, _WatchedRelay(self.client, exchange))
        sdk = getattr(gapscope, "anthropic")
        setattr(gapscope, "anthropic", _watched_sdk(exchange))
        try:
            with Spinner(f"Analysing the interview (round {round_number})...", sys.stderr):
                result = wait_for(lambda: asyncio.run(gapscope.analyze_requirements(text, round_number, client)))
        finally:
            setattr(gapscope, "anthropic", sdk)
        if result.raw_response == "":  # the empty result of a failed or impossible analysis
            reason = analysis_failure(result.completeness_reasoning, exchange)
            raise ModelFailure(f"no analysis: {reason}", hint=None if self.available else NO_ACCESS_HINT)
        return result

    def complete(self, prompt: str, *, operation: str, max_tokens: int, label: str | None = None) -> Completion:
        """One user message to the model routed for `operation`; ModelFailure saying why when none came.

        `label`, when given, is shown beside a spinner while the request runs.
        """
        model = config.MODEL_ROUTING.get(operation, config.MODEL_REASONING)
        messages: list[dict[str, Any]] = [{"role": "user", "content": prompt}]
        if not self.available:
            raise ModelFailure(f"{operation} request failed: no model access", hint=NO_ACCESS_HINT)
        try:
            with Spinner(label, sys.stderr) if label else nullcontext():
                return wait_for(lambda: self._complete(messages, model, max_tokens, operation))
        except Exception as exc:  # the transport's or the SDK's
            raise ModelFailure(f"{operation} request failed: {transport_failure(exc, relay=self._relay)}") from exc

    def _complete(self, messages: list[dict[str, Any]], model: str, max_tokens: int, operation: str) -> Completion:
        # The relay and the API stream the reply: a whole document takes longer to write than the
        # request timeout, which then bounds only the silence between two events.
        if isinstance(self.client, RelayGate):
            message = self.client.stream_message(
                messages=messages, model=model, max_tokens=max_tokens, operation=operation
            )
        elif self.client is not None:
            text, input_tokens, output_tokens = self.client._call_ai_proxy(
                messages=messages, model=model, max_tokens=max_tokens, operation=operation
            )
            stop_reason: str | None = getattr(self.client, "last_stop_reason", None)
            return Completion(text, stop_reason, input_tokens, output_tokens)
        else:
            with sdk_client(api_key=config.ANTHROPIC_API_KEY).messages.stream(
                model=model, max_tokens=max_tokens, messages=cast("list[MessageParam]", messages)
            ) as stream:
                message = final_message(stream)
        return Completion(reply_text(message), message.stop_reason, message.usage.input_tokens, message.usage.output_tokens)

    def print_token_usage(self) -> None:
        log = getattr(self.client, "token_log", None)
        if log:
            entry = log[-1]
            note = " (estimated)" if isinstance(self.client, ReplayClient) else ""
            print(display.dim(f"  Tokens: {entry.get('input')} in, {entry.get('output')} out{note}"))


def open_access(replay_path: str | None, replies: dict[str, str] | None) -> ModelAccess:
    if replies is not None:
        return ModelAccess(ReplayClient(replies), f"saved reply {replay_path}")
    relay = RelayGate.from_config()
    if relay is not None:
        return ModelAccess(relay, f"relay {relay.base_url}")
    if config.ANTHROPIC_API_KEY:
        return ModelAccess(None, "Anthropic API")
    return ModelAccess(None, "no model access")
