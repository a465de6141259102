"""Model access: the one seam every model request of a run goes through.

Three transports, first match wins: replay (saved replies, offline), a relay
(BREVANTA_RELAY_URL), the Anthropic API (ANTHROPIC_API_KEY). The analysis goes
through `gapscope.analyze_requirements`; the documents through `complete`.
"""

from __future__ import annotations

import asyncio
import math
import sys
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from brevanta import config, display, gapscope
from brevanta.cli.errors import ModelFailure
from brevanta.cli.terminal import Spinner
from brevanta.relaygate import RelayGate

# Saved replies in a replay directory, one file per request of the run.
REPLAY_FILES = {"analysis": "analysis.md", "prd": "prd.md", "trd": "trd.md"}


def estimated_tokens(text: str) -> int:
    return max(1, math.ceil(len(text) / 4))  # about four characters a token for English prose


@dataclass(frozen=True)
class Completion:
    """One model reply. `stop_reason` is the API's ("end_turn", "max_tokens", ...),
    or None where the transport does not report it (relay, replay)."""

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


class ModelAccess:
    """Where this run's model requests go, and how each one is made."""

    def __init__(self, client: Any, source: str) -> None:
        self.client = client  # the api_client handed to the analysis; None means the Anthropic API
        self.source = source

    @property
    def available(self) -> bool:
        return self.client is not None or bool(config.ANTHROPIC_API_KEY)

    def analyze(self, text: str, round_number: int) -> Any:
        """The analysis of `text`; ModelFailure when the model gave none."""
        with Spinner(f"Analysing the interview (round {round_number})...", sys.stderr):
            result = asyncio.run(gapscope.analyze_requirements(text, round_number, self.client))
        if result.raw_response == "":  # the empty result of a failed or impossible analysis
            hint = None if self.available else "Set ANTHROPIC_API_KEY, set BREVANTA_RELAY_URL, or pass --replay DIR."
            raise ModelFailure(f"no analysis: {result.completeness_reasoning}", hint=hint)
        return result

    def complete(self, prompt: str, *, operation: str, max_tokens: int) -> Completion:
        """One user message to the model routed for `operation`; SDK and relay errors propagate."""
        model = config.MODEL_ROUTING.get(operation, config.MODEL_REASONING)
        messages = [{"role": "user", "content": prompt}]
        if self.client is not None:
            text, input_tokens, output_tokens = self.client._call_ai_proxy(
                messages=messages, model=model, max_tokens=max_tokens, operation=operation
            )
            return Completion(text, None, input_tokens, output_tokens)
        import anthropic  # only a direct request needs the SDK here

        message = anthropic.Anthropic(api_key=config.ANTHROPIC_API_KEY).messages.create(
            model=model, max_tokens=max_tokens, messages=messages  # type: ignore[arg-type]
        )
        text = "".join(block.text for block in message.content if block.type == "text")
        return Completion(text, message.stop_reason, message.usage.input_tokens, message.usage.output_tokens)

    def print_token_usage(self) -> None:
        log = getattr(self.client, "token_log", None)
        if log:
            entry = log[-1]
            note = " (estimated)" if isinstance(self.client, ReplayClient) else ""
            print(display.dim(f"  Tokens: {entry.get('input')} in, {entry.get('output')} out{note}"))


def read_replies(path: str, read_text: Any) -> dict[str, str]:
    """The saved replies of a replay: a directory with one file per request, or one file for the analysis."""
    if Path(path).is_dir():
        replies = {}
        for operation, name in REPLAY_FILES.items():
            if (Path(path) / name).exists():
                replies[operation] = read_text(str(Path(path) / name), "reply file")
        return replies
    return {"analysis": read_text(path, "reply file")}


def open_access(replay_path: str | None, replies: dict[str, str] | None) -> ModelAccess:
    if replies is not None:
        return ModelAccess(ReplayClient(replies), f"saved reply {replay_path}")
    relay = RelayGate.from_config()
    if relay is not None:
        return ModelAccess(relay, f"relay {relay.base_url}")
    if config.ANTHROPIC_API_KEY:
        return ModelAccess(None, "Anthropic API")
    return ModelAccess(None, "no model access")
