"""Settings read once from the environment when this module is imported.

Every value has a working default so the pipeline starts with no setup
beyond an API key. A malformed override never breaks the import: the setting
is left unset, reading it raises SettingError naming the variable and its
value, and `check()` raises the same error up front, so the command can report
it as one line before it does anything else.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable
from pathlib import Path
from typing import TypeVar

T = TypeVar("T")


class SettingError(ValueError):
    """An environment variable whose value cannot be used; the message names both."""


# Setting name -> why its variable cannot be used. Such settings are removed
# from the module below, so that reading one raises instead of quietly
# falling back to the default.
_problems: dict[str, str] = {}


def _env(name: str) -> str | None:
    """The variable's value, treating an empty string the same as unset."""
    value = os.environ.get(name)
    return value or None


def _env_int(name: str, default: int, *, minimum: int = 1) -> int:
    raw = _env(name)
    if raw is None:
        return default
    try:
        value = int(raw.strip())
    except ValueError:
        raise SettingError(f"{name} must be an integer, got {raw!r}") from None
    if value < minimum:
        kind = "a positive integer" if minimum == 1 else f"an integer of at least {minimum}"
        raise SettingError(f"{name} must be {kind}, got {raw!r}")
    return value


def _env_seconds(name: str, default: float) -> float:
    raw = _env(name)
    if raw is None:
        return default
    try:
        value = float(raw.strip())
    except ValueError:
        value = math.nan
    if not (math.isfinite(value) and value > 0):
        raise SettingError(f"{name} must be a positive number of seconds, got {raw!r}")
    return value


def _env_model_routing(name: str, default: dict[str, str]) -> dict[str, str]:
    """Default routing with the JSON object from `name` merged over it."""
    raw = _env(name)
    if raw is None:
        return dict(default)
    import json  # only here: the command's start-up does without it

    try:
        overrides = json.loads(raw)
    except json.JSONDecodeError as exc:
        raise SettingError(f"{name} must hold a JSON object, but it is not valid JSON: {exc}") from None
    if not isinstance(overrides, dict):
        raise SettingError(f"{name} must hold a JSON object mapping operation to model id, got {raw!r}")
    for operation, model in overrides.items():
        if not isinstance(model, str) or not model:
            raise SettingError(f"{name}: the model for {operation!r} must be a non-empty string, got {model!r}")
    return {**default, **overrides}


def _env_flag(name: str, default: bool) -> bool:
    raw = _env(name)
    if raw is None:
        return default
    value = raw.strip().lower()
    if value not in ("0", "1", "yes", "no", "true", "false", "on", "off"):
        raise SettingError(f"{name} must be 1 or 0, got {raw!r}")
    return value in ("1", "yes", "true", "on")


def _env_prices(name: str, default: dict[str, tuple[float, float]]) -> dict[str, tuple[float, float]]:
    """Default prices with the JSON object from `name` (model -> [input, output] dollars per million
    tokens) merged over them."""
    raw = _env(name)
    if raw is None:
        return dict(default)
    import json

    try:
        overrides = json.loads(raw)
    except json.JSONDecodeError as exc:
        raise SettingError(f"{name} must hold a JSON object, but it is not valid JSON: {exc}") from None
    if not isinstance(overrides, dict):
        raise SettingError(f"{name} must map each model to [input, output] dollars per million tokens, got {raw!r}")
    prices = dict(default)
    for model, pair in overrides.items():
        if not (isinstance(pair, list) and len(pair) == 2
                and all(isinstance(price, int | float) and not isinstance(price, bool) and 0 <= price < math.inf
                        for price in pair)):
            raise SettingError(f"{name}: the prices of {model!r} must be [input, output] dollars per million "
                               f"tokens, got {pair!r}")
        prices[model] = (float(pair[0]), float(pair[1]))
    return prices


def _setting(name: str, read: Callable[[], T], fallback: T) -> T:
    """`read()`, or `fallback` with the problem noted under `name`; the name is unset at the end of the import."""
    try:
        return read()
    except SettingError as exc:
        _problems[name] = str(exc)
        return fallback


def _corvane_home() -> Path:
    raw = _env("CORVANE_HOME")
    home = Path(raw) if raw is not None else Path.home() / ".corvane"
    return home.expanduser()


ANTHROPIC_API_KEY: str | None = os.environ.get("ANTHROPIC_API_KEY")

MODEL_REASONING: str = _env("BREVANTA_MODEL_REASONING") or "claude-sonnet-4-5"

# Operation name -> model id, so a cheaper model can take over one step
# without touching code.
MODEL_ROUTING: dict[str, str] = _setting(
    "MODEL_ROUTING", lambda: _env_model_routing("BREVANTA_MODEL_ROUTING", {"analysis": MODEL_REASONING}), {}
)

MAX_TOKENS_ANALYSIS: int = _setting("MAX_TOKENS_ANALYSIS", lambda: _env_int("BREVANTA_MAX_TOKENS_ANALYSIS", 8000), 0)

# Every direct or relayed model request: seconds to wait for an answer (for a
# streamed document, for its next part), and how many times the SDK retries a
# failed or timed-out attempt.
REQUEST_TIMEOUT: float = _setting("REQUEST_TIMEOUT", lambda: _env_seconds("BREVANTA_REQUEST_TIMEOUT", 120.0), 0.0)
REQUEST_RETRIES: int = _setting(
    "REQUEST_RETRIES", lambda: _env_int("BREVANTA_REQUEST_RETRIES", 2, minimum=0), 0
)

# The largest interview sent for analysis, in estimated tokens: what fits the
# model's context beside the prompt and the reply.
MAX_INTERVIEW_TOKENS: int = _setting(
    "MAX_INTERVIEW_TOKENS", lambda: _env_int("BREVANTA_MAX_INTERVIEW_TOKENS", 150_000), 0
)

CORVANE_HOME: Path = _corvane_home()

# An Anthropic-compatible relay or gateway; when set, calls go through it.
RELAY_URL: str | None = _env("BREVANTA_RELAY_URL")
RELAY_TOKEN: str | None = _env("BREVANTA_RELAY_TOKEN")

# -- documents ------------------------------------------------------------------

# Output tokens for one PRD or TRD: a full document with every section runs to
# about 6,000-10,000 tokens, and a reply cut off at the limit is not written.
MAX_TOKENS_DOCUMENT: int = _setting(
    "MAX_TOKENS_DOCUMENT", lambda: _env_int("BREVANTA_MAX_TOKENS_DOCUMENT", 16000), 0
)


# Both documents are requested at once, the second as soon as the first's
# reply has begun; 0 asks for one after the other, for services that limit
# concurrent requests.
PARALLEL_DOCUMENTS: bool = _setting("PARALLEL_DOCUMENTS", lambda: _env_flag("BREVANTA_PARALLEL_DOCUMENTS", True), True)

# The prompt the two document requests share is marked for the service's
# prompt cache; 0 sends it unmarked (to measure what the cache saves).
PROMPT_CACHE: bool = _setting("PROMPT_CACHE", lambda: _env_flag("BREVANTA_PROMPT_CACHE", True), True)

# -- cost -------------------------------------------------------------------------

# List prices in dollars per million tokens (input, output), for the cost
# estimate at the end of a run; BREVANTA_MODEL_PRICES adds or replaces models
# as a JSON object {"model": [input, output]}. A model not listed shows tokens only.
MODEL_PRICES: dict[str, tuple[float, float]] = _setting("MODEL_PRICES", lambda: _env_prices("BREVANTA_MODEL_PRICES", {
    "claude-opus-4-5": (5.0, 25.0),
    "claude-opus-4-1": (15.0, 75.0),
    "claude-opus-4-0": (15.0, 75.0),
    "claude-sonnet-4-5": (3.0, 15.0),
    "claude-sonnet-4-0": (3.0, 15.0),
    "claude-haiku-4-5": (1.0, 5.0),
    "claude-3-5-haiku-latest": (0.8, 4.0),
}), {})
# Prompt tokens written to the cache cost more than plain input, those read from it far less.
CACHE_WRITE_FACTOR = 1.25
CACHE_READ_FACTOR = 0.1

def _unset_unusable() -> None:
    for name in _problems:
        del globals()[name]


_unset_unusable()


def __getattr__(name: str) -> object:
    # Reached only for names not in the module: an unusable setting, or a typo.
    if name in _problems:
        raise SettingError(_problems[name])
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def check() -> None:
    """Raises SettingError for the first setting whose variable cannot be used."""
    for problem in _problems.values():
        raise SettingError(problem)
