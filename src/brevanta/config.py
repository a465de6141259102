"""Settings read from the environment when this module is imported, and again by `load(environ)`.

Every value has a working default so the pipeline starts with no setup
beyond an API key. A malformed or out-of-range override never breaks the
import: the setting is left unset, reading it raises SettingError naming the
variable, its value and what it accepts, and `check()` raises the same error up
front, so the command can report it as one line before it does anything else.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Mapping
from pathlib import Path
from typing import NamedTuple, TypeVar

T = TypeVar("T")


class SettingError(ValueError):
    """An environment variable whose value cannot be used; the message names both."""


# Setting name -> why its variable cannot be used. Such settings are removed
# from the module below, so that reading one raises instead of quietly
# falling back to the default.
_problems: dict[str, str] = {}

# The environment the settings are read from: the process's, or the one handed to `load`.
_environ: Mapping[str, str] = os.environ

# Upper bounds: what the models accept, and what the clock and the file system can take.
MAX_OUTPUT_TOKENS = 128_000  # the most output tokens the Claude models write in one reply
MAX_CONTEXT_TOKENS = 1_000_000  # the largest context window among the Claude models
MAX_SECONDS = 86_400.0  # a day: a longer wait is a typo, and far beyond it the clock overflows
MAX_RETRIES = 10
_NAME_MAX = 255  # bytes in one file name (Linux)
_HOME_MAX = 4095 - 256  # bytes in the home's path, leaving room below it for the session files


def _env(name: str) -> str | None:
    """The variable's value, treating an empty string the same as unset."""
    value = _environ.get(name)
    return value or None


def _env_int(name: str, default: int, *, maximum: int, minimum: int = 1) -> int:
    raw = _env(name)
    if raw is None:
        return default
    try:
        value = int(raw.strip())
    except ValueError:
        value = minimum - 1
    if not minimum <= value <= maximum:
        raise SettingError(f"{name} must be a whole number from {minimum} to {maximum}, got {raw!r}")
    return value


def _env_seconds(name: str, default: float) -> float:
    raw = _env(name)
    if raw is None:
        return default
    try:
        value = float(raw.strip())
    except ValueError:
        value = math.nan
    if not 0 < value <= MAX_SECONDS:  # NaN too
        raise SettingError(f"{name} must be a number of seconds above 0 and at most {MAX_SECONDS:g} (a day), "
                           f"got {raw!r}")
    return value


def _env_json_object(name: str, holding: str) -> dict[str, object] | None:
    """The JSON object in `name` (None when unset); `holding` says what it maps, for the message."""
    raw = _env(name)
    if raw is None:
        return None
    import json  # only here: the command's start-up does without it

    try:
        value = json.loads(raw)
    except json.JSONDecodeError as exc:
        raise SettingError(f"{name} must hold a JSON object, but it is not valid JSON: {exc}") from None
    if not isinstance(value, dict):
        raise SettingError(f"{name} must hold a JSON object mapping {holding}, got {raw!r}")
    return value


def _env_model_routing(name: str, default: dict[str, str]) -> dict[str, str]:
    """Default routing with the JSON object from `name` merged over it."""
    overrides = _env_json_object(name, "operation to model id")
    if overrides is None:
        return dict(default)
    routing = dict(default)
    for operation, model in overrides.items():
        if not isinstance(model, str) or not model:
            raise SettingError(f"{name}: the model for {operation!r} must be a non-empty string, got {model!r}")
        routing[operation] = model
    return routing


def _env_flag(name: str, default: bool) -> bool:
    raw = _env(name)
    if raw is None:
        return default
    value = raw.strip().lower()
    if value not in ("0", "1", "yes", "no", "true", "false", "on", "off"):
        raise SettingError(f"{name} must be 1 or 0, got {raw!r}")
    return value in ("1", "yes", "true", "on")


class Prices(NamedTuple):
    """A model's list prices in dollars per million tokens: interactive requests, and requests made in a
    batch of the service's Message Batches API."""

    input: float
    output: float
    batch_input: float
    batch_output: float


def prices(input_price: float, output_price: float) -> Prices:
    """A model's prices with the batch column at the service's batch discount."""
    return Prices(input_price, output_price, input_price * BATCH_DISCOUNT, output_price * BATCH_DISCOUNT)


def _env_prices(name: str, default: dict[str, Prices]) -> dict[str, Prices]:
    """Default prices with the JSON object from `name` (model -> [input, output], or [input, output,
    batch input, batch output], dollars per million tokens) merged over them."""
    overrides = _env_json_object(name, "each model to [input, output] dollars per million tokens")
    if overrides is None:
        return dict(default)
    table = dict(default)
    for model, given in overrides.items():
        if not (isinstance(given, list) and len(given) in (2, 4)
                and all(isinstance(price, int | float) and not isinstance(price, bool) and 0 <= price < math.inf
                        for price in given)):
            raise SettingError(f"{name}: the prices of {model!r} must be [input, output] dollars per million "
                               f"tokens, or [input, output, batch input, batch output], got {given!r}")
        table[model] = prices(*map(float, given)) if len(given) == 2 else Prices(*map(float, given))
    return table


def _setting(name: str, read: Callable[[], T], fallback: T) -> T:
    """`read()`, or `fallback` with the problem noted under `name`; the name is unset at the end of the import."""
    try:
        return read()
    except SettingError as exc:
        _problems[name] = str(exc)
        return fallback


def _usable_path(name: str, raw: str, path: Path) -> Path:
    if "\0" in raw:
        raise SettingError(f"{name} must not contain a NUL character, got {raw!r}")
    encoded = os.fsencode(path)
    longest = max(len(part) for part in encoded.split(b"/"))
    if longest > _NAME_MAX:
        raise SettingError(f"{name} is too long: it holds a name of {longest} bytes, and a name takes at most "
                           f"{_NAME_MAX}")
    if len(encoded) > _HOME_MAX:
        raise SettingError(f"{name} is too long: a path of {len(encoded)} bytes, and it takes at most {_HOME_MAX}")
    return path


def _corvane_home() -> Path:
    raw = _env("CORVANE_HOME")
    try:
        home = Path(raw) if raw is not None else Path.home() / ".corvane"
        home = home.expanduser()
    except RuntimeError:  # "~user" of no such user, or no home directory at all
        if raw is None:
            raise SettingError("CORVANE_HOME is unset and the user's home directory is unknown, "
                               "so the default ~/.corvane cannot be used") from None
        raise SettingError(f"CORVANE_HOME names the home directory of an unknown user, got {raw!r}") from None
    return _usable_path("CORVANE_HOME", raw if raw is not None else str(home), home)


# The settings, each read by `load`; a setting whose variable cannot be used is missing.
ANTHROPIC_API_KEY: str | None
MODEL_REASONING: str
MODEL_ROUTING: dict[str, str]  # operation name -> model id, so a cheaper model can take over one step
MAX_TOKENS_ANALYSIS: int
# Every direct or relayed model request: seconds to wait for an answer (for a streamed document, for its
# next part), and how many times the SDK retries a failed or timed-out attempt.
REQUEST_TIMEOUT: float
REQUEST_RETRIES: int
# The largest interview sent for analysis, in estimated tokens: what fits the model's context beside the
# prompt and the reply.
MAX_INTERVIEW_TOKENS: int
CORVANE_HOME: Path
# An Anthropic-compatible relay or gateway; when set, calls go through it.
RELAY_URL: str | None
RELAY_TOKEN: str | None
# Output tokens for one PRD or TRD: a full document with every section runs to about 6,000-10,000 tokens,
# and a reply cut off at the limit is not written.
MAX_TOKENS_DOCUMENT: int
# Both documents are requested at once, the second as soon as the first's reply has begun; 0 asks for one
# after the other, for services that limit concurrent requests.
PARALLEL_DOCUMENTS: bool
# The prompt the two document requests share is marked for the service's prompt cache; 0 sends it
# unmarked (to measure what the cache saves).
PROMPT_CACHE: bool
MODEL_PRICES: dict[str, Prices]  # the list prices with BREVANTA_MODEL_PRICES over them
# Seconds before the first look at a batch's progress; the wait grows after each look, up to a minute.
BATCH_POLL: float


def load(environ: Mapping[str, str] | None = None) -> None:
    """Reads every setting again, from `environ` (the process's environment when None)."""
    global _environ, ANTHROPIC_API_KEY, MODEL_REASONING, MODEL_ROUTING, MAX_TOKENS_ANALYSIS, REQUEST_TIMEOUT
    global REQUEST_RETRIES, MAX_INTERVIEW_TOKENS, CORVANE_HOME, RELAY_URL, RELAY_TOKEN, MAX_TOKENS_DOCUMENT
    global PARALLEL_DOCUMENTS, PROMPT_CACHE, MODEL_PRICES, BATCH_POLL
    _environ = os.environ if environ is None else environ
    _problems.clear()
    ANTHROPIC_API_KEY = _environ.get("ANTHROPIC_API_KEY")
    MODEL_REASONING = _env("BREVANTA_MODEL_REASONING") or "claude-sonnet-4-5"
    MODEL_ROUTING = _setting(
        "MODEL_ROUTING", lambda: _env_model_routing("BREVANTA_MODEL_ROUTING", {"analysis": MODEL_REASONING}), {}
    )
    MAX_TOKENS_ANALYSIS = _setting("MAX_TOKENS_ANALYSIS", lambda: _env_int(
        "BREVANTA_MAX_TOKENS_ANALYSIS", 8000, maximum=MAX_OUTPUT_TOKENS), 0)
    REQUEST_TIMEOUT = _setting("REQUEST_TIMEOUT", lambda: _env_seconds("BREVANTA_REQUEST_TIMEOUT", 120.0), 0.0)
    REQUEST_RETRIES = _setting("REQUEST_RETRIES", lambda: _env_int(
        "BREVANTA_REQUEST_RETRIES", 2, minimum=0, maximum=MAX_RETRIES), 0)
    MAX_INTERVIEW_TOKENS = _setting("MAX_INTERVIEW_TOKENS", lambda: _env_int(
        "BREVANTA_MAX_INTERVIEW_TOKENS", 150_000, maximum=MAX_CONTEXT_TOKENS), 0)
    CORVANE_HOME = _setting("CORVANE_HOME", _corvane_home, Path())
    RELAY_URL = _env("BREVANTA_RELAY_URL")
    RELAY_TOKEN = _env("BREVANTA_RELAY_TOKEN")
    MAX_TOKENS_DOCUMENT = _setting("MAX_TOKENS_DOCUMENT", lambda: _env_int(
        "BREVANTA_MAX_TOKENS_DOCUMENT", 16000, maximum=MAX_OUTPUT_TOKENS), 0)
    PARALLEL_DOCUMENTS = _setting("PARALLEL_DOCUMENTS", lambda: _env_flag("BREVANTA_PARALLEL_DOCUMENTS", True), True)
    PROMPT_CACHE = _setting("PROMPT_CACHE", lambda: _env_flag("BREVANTA_PROMPT_CACHE", True), True)
    MODEL_PRICES = _setting("MODEL_PRICES", lambda: _env_prices("BREVANTA_MODEL_PRICES", LIST_PRICES), {})
    BATCH_POLL = _setting("BATCH_POLL", lambda: _env_seconds("BREVANTA_BATCH_POLL", 10.0), 0.0)
    _unset_unusable()


# A request made in a batch (the service's Message Batches API) costs half the list price.
BATCH_DISCOUNT = 0.5
# List prices in dollars per million tokens (input, output; in a batch, at the batch discount), for the
# cost estimate at the end of a run; BREVANTA_MODEL_PRICES adds or replaces models. A model not listed
# shows tokens only.
LIST_PRICES: dict[str, Prices] = {
    "claude-opus-4-5": prices(5.0, 25.0),
    "claude-opus-4-1": prices(15.0, 75.0),
    "claude-opus-4-0": prices(15.0, 75.0),
    "claude-sonnet-4-5": prices(3.0, 15.0),
    "claude-sonnet-4-0": prices(3.0, 15.0),
    "claude-haiku-4-5": prices(1.0, 5.0),
    "claude-3-5-haiku-latest": prices(0.8, 4.0),
}
# Prompt tokens written to the cache cost more than plain input, those read from it far less.
CACHE_WRITE_FACTOR = 1.25
CACHE_READ_FACTOR = 0.1

def _unset_unusable() -> None:
    for name in _problems:
        globals().pop(name, None)


def __getattr__(name: str) -> object:
    # Reached only for names not in the module: an unusable setting, or a typo.
    if name in _problems:
        raise SettingError(_problems[name])
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def check() -> None:
    """Raises SettingError for the first setting whose variable cannot be used."""
    for problem in _problems.values():
        raise SettingError(problem)


load()
