"""Settings read once from the environment when this module is imported.

Every value has a working default so the pipeline starts with no setup
beyond an API key; a malformed override fails at import, naming the variable,
rather than surfacing later as a confusing model or HTTP error.
"""

from __future__ import annotations

import json
import os
from pathlib import Path


def _env(name: str) -> str | None:
    """The variable's value, treating an empty string the same as unset."""
    value = os.environ.get(name)
    return value or None


def _env_int(name: str, default: int) -> int:
    raw = _env(name)
    if raw is None:
        return default
    try:
        value = int(raw.strip())
    except ValueError:
        raise ValueError(f"{name} must be an integer, got {raw!r}") from None
    if value <= 0:
        raise ValueError(f"{name} must be a positive integer, got {raw!r}")
    return value


def _env_model_routing(name: str, default: dict[str, str]) -> dict[str, str]:
    """Default routing with the JSON object from `name` merged over it."""
    raw = _env(name)
    if raw is None:
        return dict(default)
    try:
        overrides = json.loads(raw)
    except json.JSONDecodeError as exc:
        raise ValueError(f"{name} must hold a JSON object, but it is not valid JSON: {exc}") from None
    if not isinstance(overrides, dict):
        raise ValueError(f"{name} must hold a JSON object mapping operation to model id, got {raw!r}")
    for operation, model in overrides.items():
        if not isinstance(model, str) or not model:
            raise ValueError(f"{name}: the model for {operation!r} must be a non-empty string, got {model!r}")
    return {**default, **overrides}


def _corvane_home() -> Path:
    raw = _env("CORVANE_HOME")
    home = Path(raw) if raw is not None else Path.home() / ".corvane"
    return home.expanduser()


ANTHROPIC_API_KEY: str | None = os.environ.get("ANTHROPIC_API_KEY")

MODEL_REASONING: str = _env("BREVANTA_MODEL_REASONING") or "claude-sonnet-4-5"

# Operation name -> model id, so a cheaper model can take over one step
# without touching code.
MODEL_ROUTING: dict[str, str] = _env_model_routing("BREVANTA_MODEL_ROUTING", {"analysis": MODEL_REASONING})

MAX_TOKENS_ANALYSIS: int = _env_int("BREVANTA_MAX_TOKENS_ANALYSIS", 8000)

CORVANE_HOME: Path = _corvane_home()

# An Anthropic-compatible relay or gateway; when set, calls go through it.
RELAY_URL: str | None = _env("BREVANTA_RELAY_URL")
RELAY_TOKEN: str | None = _env("BREVANTA_RELAY_TOKEN")

# -- documents ------------------------------------------------------------------

# Output tokens for one PRD or TRD: a full document with every section runs to
# about 6,000-10,000 tokens, and a reply cut off at the limit is not written.
MAX_TOKENS_DOCUMENT: int = _env_int("BREVANTA_MAX_TOKENS_DOCUMENT", 16000)
