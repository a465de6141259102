"""Model access: the one seam every model request goes through (replay, relay, direct SDK)."""

from __future__ import annotations

import asyncio
import math
import sys
from typing import Any

from brevanta import config, display, gapscope
from brevanta.cli.terminal import Spinner
from brevanta.relaygate import RelayGate


def estimated_tokens(text: str) -> int:
    return max(1, math.ceil(len(text) / 4))  # about four characters a token for English prose


class ReplayClient:
    """Relay-shaped client that answers every request with one saved model reply."""

    full_hosted = True

    def __init__(self, reply_text: str) -> None:
        self.reply_text = reply_text
        self.token_log: list[dict[str, Any]] = []

    def _call_ai_proxy(
        self, *, messages: list[dict[str, Any]], model: str, max_tokens: int, operation: str
    ) -> tuple[str, int, int]:
        prompt = "".join(str(message.get("content", "")) for message in messages)
        return self.reply_text, estimated_tokens(prompt), min(max_tokens, estimated_tokens(self.reply_text))


def choose_transport(replay_path: str | None, reply_text: str | None) -> tuple[Any, str]:
    """The api_client for the analysis and a description of where the answer comes from."""
    if reply_text is not None:
        return ReplayClient(reply_text), f"saved reply {replay_path}"
    relay = RelayGate.from_config()
    if relay is not None:
        return relay, f"relay {relay.base_url}"
    if config.ANTHROPIC_API_KEY:
        return None, "Anthropic API"
    return None, "no model access"


def run_analysis(text: str, round_number: int, client: Any) -> Any:
    with Spinner(f"Analysing the interview (round {round_number})...", sys.stderr):
        return asyncio.run(gapscope.analyze_requirements(text, round_number, client))


def print_token_usage(client: Any) -> None:
    log = getattr(client, "token_log", None)
    if log:
        entry = log[-1]
        note = " (estimated)" if isinstance(client, ReplayClient) else ""
        print(display.dim(f"  Tokens: {entry.get('input')} in, {entry.get('output')} out{note}"))
