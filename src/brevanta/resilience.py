"""Retry with exponential backoff for the pipeline's flaky async calls (model APIs, relays)."""

from __future__ import annotations

import asyncio
import functools
import logging
from collections.abc import Awaitable, Callable
from typing import Any, TypeVar

from tenacity import AsyncRetrying, RetryCallState, retry_if_exception_type, stop_after_attempt, wait_exponential

logger = logging.getLogger("corvane.resilience")

# Looked up on every wait so tests can swap in a recorder instead of sleeping.
_sleep: Callable[[float], Awaitable[None]] = asyncio.sleep

T = TypeVar("T")


async def _backoff_sleep(seconds: float) -> None:
    await _sleep(seconds)


def _retry_logger(operation_name: str, max_attempts: int) -> Callable[[RetryCallState], None]:
    def log_retry(state: RetryCallState) -> None:
        error = state.outcome.exception() if state.outcome else None
        # Some errors (a bare TimeoutError) have no message; name the type instead.
        error_text = str(error) or type(error).__name__
        delay = state.next_action.sleep if state.next_action else 0.0
        logger.warning(
            "%s failed (attempt %d/%d): %s — retrying in %.1fs",
            operation_name,
            state.attempt_number,
            max_attempts,
            error_text,
            delay,
        )

    return log_retry


def with_retry(
    max_attempts: int = 3,
    backoff_base: float = 2.0,
    operation_name: str = "operation",
) -> Callable[[Callable[..., Awaitable[T]]], Callable[..., Awaitable[T]]]:
    """Decorate a coroutine function so failures are retried with exponential backoff.

    Attempt n waits ``backoff_base ** (n - 1)`` seconds before the next try.
    Only ``Exception`` subclasses are retried: cancellation and interrupts pass
    straight through. After the last attempt the original error is re-raised.

    The wrapped object only has to return an awaitable when called, so native
    callables work as well as ``async def`` functions.
    """
    if max_attempts < 1:
        raise ValueError(f"max_attempts must be at least 1, got {max_attempts!r}")
    if backoff_base <= 0:
        raise ValueError(f"backoff_base must be positive, got {backoff_base!r}")

    def decorate(fn: Callable[..., Awaitable[T]]) -> Callable[..., Awaitable[T]]:
        @functools.wraps(fn)
        async def call_with_retry(*args: Any, **kwargs: Any) -> T:
            retrying = AsyncRetrying(
                stop=stop_after_attempt(max_attempts),
                wait=wait_exponential(multiplier=1, exp_base=backoff_base),
                retry=retry_if_exception_type(Exception),
                before_sleep=_retry_logger(operation_name, max_attempts),
                sleep=_backoff_sleep,
                reraise=True,
            )
            async for attempt in retrying:
                with attempt:
                    return await fn(*args, **kwargs)
            raise AssertionError("unreachable: tenacity either returns or re-raises")

        return call_with_retry

    return decorate
