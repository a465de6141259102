"""with_retry: backoff, logging, and faithful pass-through of arguments, results and errors."""

import asyncio
import inspect
import logging

import pytest

from brevanta import resilience
from brevanta.resilience import with_retry


@pytest.fixture
def waits(monkeypatch):
    """Backoff delays, recorded instead of slept."""
    recorded = []

    async def record(seconds):
        recorded.append(seconds)

    monkeypatch.setattr(resilience, "_sleep", record)
    return recorded


class Flaky:
    """Raises the queued errors one call at a time, then returns `result`."""

    def __init__(self, errors, result="ok"):
        self.errors, self.result, self.calls = list(errors), result, []

    async def __call__(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        if self.errors:
            raise self.errors.pop(0)
        return self.result


@pytest.mark.parametrize(("failures", "attempts"), [(0, 1), (2, 3), (3, 3), (4, 5)])
def test_retries_then_returns_or_reraises_the_last_error(waits, failures, attempts):
    flaky = Flaky([OSError(f"boom {n}") for n in range(1, failures + 1)], result=[42])
    call = with_retry(max_attempts=attempts)(flaky)
    if failures < attempts:
        assert asyncio.run(call("x", n=1)) == [42]
    else:
        with pytest.raises(OSError, match=f"^boom {attempts}$"):
            asyncio.run(call("x", n=1))
    assert flaky.calls == [(("x",), {"n": 1})] * min(failures + 1, attempts)


@pytest.mark.parametrize("error", [asyncio.CancelledError(), KeyboardInterrupt(), SystemExit(3)])
def test_base_exceptions_pass_straight_through(waits, error):
    flaky = Flaky([error, error])
    with pytest.raises(type(error)):
        asyncio.run(with_retry()(flaky)())
    assert (len(flaky.calls), waits) == (1, [])


@pytest.mark.parametrize(("base", "expected"), [(2.0, [1, 2, 4, 8]), (3.0, [1, 3, 9, 27]), (1.0, [1, 1, 1, 1])])
def test_backoff_is_exponential(waits, base, expected):
    with pytest.raises(OSError):
        asyncio.run(with_retry(max_attempts=5, backoff_base=base)(Flaky([OSError("down")] * 5))())
    assert waits == expected


def test_one_warning_per_retry(waits, caplog):
    caplog.set_level(logging.WARNING, logger="corvane.resilience")
    with pytest.raises(RuntimeError):
        asyncio.run(with_retry(max_attempts=2, operation_name="AI Analysis")(Flaky([RuntimeError("boom")] * 2))())
    assert [(r.name, r.levelno, r.getMessage()) for r in caplog.records] == [
        ("corvane.resilience", logging.WARNING, "AI Analysis failed (attempt 1/2): boom — retrying in 1.0s")
    ]


async def documented(a, b=2, *rest, key, **extra):
    """Adds things up."""
    return a, b, rest, key, extra


def test_wrapper_is_a_faithful_coroutine_function(waits):
    wrapped = with_retry()(documented)
    assert asyncio.iscoroutinefunction(wrapped) and inspect.iscoroutinefunction(wrapped)
    assert (wrapped.__name__, wrapped.__qualname__, wrapped.__doc__) == ("documented", "documented", "Adds things up.")
    assert (wrapped.__module__, wrapped.__wrapped__) == (__name__, documented)
    assert inspect.signature(wrapped) == inspect.signature(documented)
    payload = {"nested": [1]}
    result = asyncio.run(wrapped(payload, 5, 6, 7, key="k", flag=True))
    assert result == (payload, 5, (6, 7), "k", {"flag": True}) and result[0] is payload


def test_plain_callable_returning_an_awaitable(waits):
    """Native methods are not async functions; they only return awaitables."""
    calls = []

    def native(value):
        calls.append(value)
        if len(calls) == 1:
            raise TimeoutError("raised before any awaitable exists")
        future = asyncio.get_running_loop().create_future()
        if len(calls) == 2:
            future.set_exception(ConnectionError("failed after the call returned"))
        else:
            future.set_result(value * 2)
        return future

    assert asyncio.run(with_retry()(native)(21)) == 42
    assert calls == [21, 21, 21]


@pytest.mark.parametrize("max_attempts", [0, -1])
def test_max_attempts_must_be_positive(max_attempts):
    with pytest.raises(ValueError, match="max_attempts"):
        with_retry(max_attempts=max_attempts)
