"""Attempts at one model request: which failures are worth another attempt, how long to wait before it,
and telling the caller about each attempt and wait as they happen.

The command makes the retries itself rather than leaving them to the SDK, so that the user sees the
attempt number and the wait, and so that a cancelled run stops waiting at once.
"""

from __future__ import annotations

import random
import threading
import time
from collections.abc import Callable
from typing import Protocol, TypeVar

import anthropic

from brevanta import config

T = TypeVar("T")

# The SDK's own backoff: half a second, doubling, at most eight, less up to a quarter of jitter.
_FIRST_WAIT, _LONGEST_WAIT = 0.5, 8.0
# A server's retry-after is followed only when it is a reasonable wait.
_LONGEST_ANNOUNCED_WAIT = 60.0


class Cancelled(Exception):
    """The run was cancelled while this request waited for an attempt or for its reply."""


class RequestWatch(Protocol):
    """What a caller learns of one request while it runs; every method is called on the request's thread."""

    def retrying(self, attempt: int, attempts: int, wait: float) -> None:
        """Attempt `attempt - 1` failed; attempt `attempt` of `attempts` is made after `wait` seconds.
        Called again with a wait of 0 when that attempt starts."""

    def began(self) -> None:
        """The reply's stream has begun: the request was accepted and its prompt is in the cache."""

    def received(self, characters: int) -> None:
        """`characters` characters of the reply have arrived so far."""


class Unwatched:
    """A RequestWatch for callers that want to know nothing."""

    def retrying(self, attempt: int, attempts: int, wait: float) -> None:
        pass

    def began(self) -> None:
        pass

    def received(self, characters: int) -> None:
        pass


def attempt_note(attempt: int, attempts: int, wait: float) -> str:
    """"attempt 2 of 3 in 1.5s" while waiting for it, "attempt 2 of 3" once it is made."""
    return f"attempt {attempt} of {attempts}" + (f" in {wait:.1f}s" if wait > 0 else "")


def is_rate_limit(error: BaseException) -> bool:
    return isinstance(error, anthropic.RateLimitError)


def retryable(error: BaseException) -> bool:
    """Whether another attempt may succeed where this one failed, as the API documents it: the server's
    x-should-retry when it says so, else a timeout, a lost connection, 408, 409, 429 or a server error."""
    if isinstance(error, anthropic.APIStatusError):
        announced = error.response.headers.get("x-should-retry")
        if announced in ("true", "false"):
            return announced == "true"
        return error.status_code in (408, 409, 429) or error.status_code >= 500
    return isinstance(error, anthropic.APIConnectionError)  # a timeout is one too


def _announced_wait(error: BaseException) -> float | None:
    if not isinstance(error, anthropic.APIStatusError):
        return None
    headers = error.response.headers
    for name, scale in (("retry-after-ms", 0.001), ("retry-after", 1.0)):
        try:
            wait = float(headers.get(name, "")) * scale
        except ValueError:
            continue
        if 0 <= wait <= _LONGEST_ANNOUNCED_WAIT:
            return wait
    return None


def retry_wait(error: BaseException, failed_attempt: int) -> float:
    """Seconds to wait after attempt `failed_attempt` (1 for the first) failed with `error`."""
    announced = _announced_wait(error)
    if announced is not None:
        return announced
    backoff: float = min(_FIRST_WAIT * 2.0 ** (failed_attempt - 1), _LONGEST_WAIT)
    return backoff * (1 - 0.25 * random.random())


def with_attempts(call: Callable[[], T], *, watch: RequestWatch, cancel: threading.Event | None = None,
                  retry_rate_limit: bool = True) -> T:
    """`call()`, attempted again after a retryable failure, up to 1 + REQUEST_RETRIES attempts in all.
    Raises the last failure; Cancelled when `cancel` is set before an attempt or during a wait. With
    `retry_rate_limit` false a 429 is raised at once, for a caller with a better plan than waiting."""
    attempts = 1 + config.REQUEST_RETRIES
    attempt = 1
    while True:
        if cancel is not None and cancel.is_set():
            raise Cancelled()
        try:
            return call()
        except Exception as error:
            if attempt >= attempts or not retryable(error) or (is_rate_limit(error) and not retry_rate_limit):
                raise
            wait = retry_wait(error, attempt)
        attempt += 1
        watch.retrying(attempt, attempts, wait)
        if cancel is None:
            time.sleep(wait)
        elif cancel.wait(wait):
            raise Cancelled()
        watch.retrying(attempt, attempts, 0.0)
