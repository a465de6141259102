"""Client for an Anthropic-compatible relay or gateway that fronts the model API."""

from __future__ import annotations

import threading
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, cast

import anthropic

from brevanta import config
from brevanta.streaming import final_message, reply_text

if TYPE_CHECKING:  # the SDK's submodules load with it, on first use (brevanta.deferred_sdk)
    from anthropic.lib.streaming import ParsedMessageStreamEvent
    from anthropic.types import Message, MessageParam

OPERATION_HEADER = "X-Brevanta-Operation"
# Sent to a relay configured without a token. The SDK would otherwise fall back
# to ANTHROPIC_API_KEY and hand the real Anthropic key to the relay.
NO_TOKEN = "no-relay-token"


class RelayGate:
    """Sends Messages API calls through a relay instead of straight to Anthropic.

    ``token_log`` is owned by callers: they append their own usage records,
    since only they know which interview step a call belongs to.
    """

    def __init__(
        self,
        base_url: str,
        token: str | None,
        *,
        full_hosted: bool = True,
        timeout: float = 120.0,
        max_retries: int = 2,
    ) -> None:
        self.base_url = base_url
        self.full_hosted = bool(full_hosted)
        self.token_log: list[dict[str, Any]] = []
        self.last_stop_reason: str | None = None  # of the latest reply: "max_tokens" means it was cut off
        self._token = token
        self._timeout = timeout
        self._max_retries = max_retries
        self._client: anthropic.Anthropic | None = None
        self._client_lock = threading.Lock()

    @classmethod
    def from_config(cls, *, max_retries: int | None = None) -> RelayGate | None:
        """A gate for the configured relay, or None when no relay is configured. The SDK retries
        REQUEST_RETRIES times unless `max_retries` says otherwise (0 for a caller that retries itself)."""
        if not config.RELAY_URL:
            return None
        retries = config.REQUEST_RETRIES if max_retries is None else max_retries
        return cls(config.RELAY_URL, config.RELAY_TOKEN, timeout=config.REQUEST_TIMEOUT, max_retries=retries)

    def _sdk_client(self) -> anthropic.Anthropic:
        # Built on first use so constructing a gate never touches credentials
        # or the network; the lock keeps worker threads to a single client.
        with self._client_lock:
            if self._client is None:
                self._client = anthropic.Anthropic(
                    api_key=self._token if self._token is not None else NO_TOKEN,
                    base_url=self.base_url,
                    timeout=self._timeout,
                    max_retries=self._max_retries,
                )
            return self._client

    def _call_ai_proxy(
        self,
        *,
        messages: list[dict[str, Any]],
        model: str,
        max_tokens: int,
        operation: str,
    ) -> tuple[str, int, int]:
        """One blocking Messages call: (reply text, input tokens, output tokens).

        SDK errors propagate unchanged; the operation name travels as a header
        so the relay can attribute cost to it.
        """
        reply = self._sdk_client().messages.create(
            model=model,
            max_tokens=max_tokens,
            # Plain dicts with "role" and "content", as the analysis builds them.
            messages=cast("list[MessageParam]", messages),
            extra_headers={OPERATION_HEADER: operation},
        )
        self.last_stop_reason = reply.stop_reason
        return reply_text(reply), reply.usage.input_tokens, reply.usage.output_tokens

    def stream_message(
        self,
        *,
        messages: list[dict[str, Any]],
        model: str,
        max_tokens: int,
        operation: str,
        on_event: Callable[[ParsedMessageStreamEvent[Any]], None] | None = None,
    ) -> Message:
        """One streamed Messages call, read to its end, for replies long enough that a blocking call
        would outlast the request timeout.

        Errors before the reply starts are the SDK's, unchanged; a reply that breaks off raises
        BrokenReply. The operation name travels as a header, as with `_call_ai_proxy`; `messages` go out as
        given (content blocks and their cache breakpoints included). `on_event` sees each event as it comes.
        """
        with self._sdk_client().messages.stream(
            model=model,
            max_tokens=max_tokens,
            messages=cast("list[MessageParam]", messages),
            extra_headers={OPERATION_HEADER: operation},
        ) as stream:
            reply = final_message(stream, on_event)
        self.last_stop_reason = reply.stop_reason
        return reply
