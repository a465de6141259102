"""The coroutine objects of our coroutine functions, step by step beside a
native `async def` coroutine that does the same work."""

import asyncio
import gc
import os
import subprocess
import sys
import textwrap
import types
import warnings

import pytest

import brevanta.gapscope as gapscope
from support.children import SDK_ON_FIRST_USE
from support.leaks import assert_no_leak

NO_KEY = "No ANTHROPIC_API_KEY \u2014 AI analysis skipped"


class Hooks:
    """Stands in for `config`: reading the API key runs `hook`, so a test can
    act from inside a running coroutine (re-entrant steps, raising)."""

    def __init__(self):
        self.hook = lambda: None
        self.MODEL_ROUTING = {}
        self.MODEL_REASONING = "model"
        self.MAX_TOKENS_ANALYSIS = 10

    @property
    def ANTHROPIC_API_KEY(self):
        return self.hook()


@pytest.fixture
def hooks(monkeypatch):
    hooks = Hooks()
    monkeypatch.setattr(gapscope, "config", hooks)
    return hooks


def make_pair(hooks):
    """(ours, reference): two coroutines that read the key through `hooks`
    and, when there is none, return the empty result."""

    async def analyze_requirements(interview_text, loop_number=1, api_client=None):
        if not hooks.hook():
            return gapscope.AnalysisResult.empty(NO_KEY)

    return gapscope.analyze_requirements.__wrapped__("interview"), analyze_requirements("interview")


def outcome(action):
    """What an action did, in comparable form."""
    try:
        value = action()
    except StopIteration as stop:
        return ("stop", describe(stop.value))
    except BaseException as error:  # noqa: BLE001 - every outcome is compared
        return ("raise", type(error), str(error), type(error.__cause__))
    return ("return", describe(value))


def describe(value):
    if isinstance(value, gapscope.AnalysisResult):
        return ("result", value.completeness_reasoning)
    return value


def both(hooks, *steps):
    ours, reference = make_pair(hooks)
    results = []
    for coro in (ours, reference):
        results.append([outcome(lambda: step(coro)) for step in steps])
    ours.close(), reference.close()
    return results


def send(value):
    return lambda coro: coro.send(value)


def throw(*args):
    return lambda coro: coro.throw(*args)


def close(coro):
    return coro.close()


def await_next(coro):
    return next(coro.__await__())


SCENARIOS = {
    "send None": [send(None)],
    "send value before start": [send(1), send(None)],
    "send after completion": [send(None), send(None), send(1)],
    "throw before start": [throw(ValueError("boom")), send(None)],
    "throw class before start": [throw(KeyError), send(None)],
    "throw after completion": [send(None), throw(ValueError("late"))],
    "throw non-exception": [throw(42), send(None)],
    "throw instance with value": [throw(ValueError("x"), 1)],
    "throw StopIteration": [throw(StopIteration)],
    "close before start": [close, send(None), close],
    "close after completion": [send(None), close, close],
    "await iterator": [await_next, await_next],
}


@pytest.mark.parametrize("steps", SCENARIOS.values(), ids=SCENARIOS.keys())
def test_steps_match_native_coroutines(hooks, steps):
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)
        ours, reference = both(hooks, *steps)
    assert ours == reference


def test_reentrant_step_is_refused_like_native(hooks):
    holder = {}

    def step_myself():
        holder["coro"].send(None)

    hooks.hook = step_myself
    results = []
    for coro in make_pair(hooks):
        holder["coro"] = coro
        results.append([outcome(lambda: coro.send(None)), outcome(lambda: coro.send(None))])
    assert results[0] == results[1]
    assert results[0][0][1:3] == (ValueError, "coroutine already executing")


def test_running_state_is_visible_from_inside(hooks):
    seen = []
    holder = {}
    hooks.hook = lambda: seen.append((holder["coro"].cr_running, outcome(holder["coro"].close)))
    for coro in make_pair(hooks):
        holder["coro"] = coro
        outcome(lambda: coro.send(None))
    assert seen[0] == seen[1]
    assert seen[0][0] is True


def test_stop_iteration_from_the_body_becomes_runtime_error(hooks):
    def stop():
        raise StopIteration("inner")

    hooks.hook = stop
    ours, reference = both(hooks, send(None))
    assert ours == reference == [("raise", RuntimeError, "coroutine raised StopIteration", StopIteration)]


def test_throw_three_argument_form_is_deprecated(hooks):
    for coro in make_pair(hooks):
        with pytest.warns(DeprecationWarning, match="signature of throw"):
            with pytest.raises(ValueError):
                coro.throw(ValueError, ValueError("v"), None)


THROW_WITH_ANY_QUALNAME = """
    import sys, traceback
    from brevanta import gapscope
    function = gapscope.analyze_requirements.__wrapped__
    function.__qualname__ = "\\udc80"          # a str without a UTF-8 form
    coroutine = function("interview")
    target = coroutine.__await__() if sys.argv[1] == "await" else coroutine
    try:
        target.throw(ValueError("thrown"))
    except ValueError as error:
        print(error, traceback.extract_tb(error.__traceback__)[-1].name)
"""


@pytest.mark.parametrize("via", ["coroutine", "await"])
def test_throw_names_the_declared_function_whatever_its_qualname(via):
    # In a fresh interpreter: a crash there fails this test instead of ending the run.
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", SDK_ON_FIRST_USE + textwrap.dedent(THROW_WITH_ANY_QUALNAME), via],
                          capture_output=True, text=True, env=environment, timeout=120)
    assert (done.returncode, done.stdout) == (0, "thrown analyze_requirements\n"), done.stderr


def test_asyncio_runs_and_awaits_it(hooks):
    coro = gapscope.analyze_requirements.__wrapped__("text")
    assert asyncio.iscoroutine(coro)
    result = asyncio.run(coro)
    assert result.completeness_reasoning == NO_KEY

    async def outer():
        return await gapscope.analyze_requirements.__wrapped__("text")

    assert asyncio.run(outer()).completeness_reasoning == NO_KEY


def test_public_wrapper_awaits_through_the_retry_decorator(hooks):
    assert asyncio.iscoroutinefunction(gapscope.analyze_requirements)
    assert asyncio.run(gapscope.analyze_requirements("text")).completeness_reasoning == NO_KEY


def test_never_awaited_warning_matches_native(hooks):
    pending = list(make_pair(hooks))
    messages = []
    gc.collect()  # what earlier tests left for the collector warns on its own account
    while pending:
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            pending.pop(0)
            gc.collect()
        messages.append([(w.category, str(w.message).split("\n")[0]) for w in caught])
    ours, reference = messages
    assert ours == [(RuntimeWarning, "coroutine 'analyze_requirements' was never awaited")]
    # The native one is qualified by the test function that defines it.
    assert reference == [(RuntimeWarning, "coroutine 'make_pair.<locals>.analyze_requirements' was never awaited")]


def test_started_or_closed_coroutines_do_not_warn(hooks):
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        coro = gapscope.analyze_requirements.__wrapped__("x")
        coro.close()
        del coro
        coro = gapscope.analyze_requirements.__wrapped__("x")
        with pytest.raises(StopIteration):
            coro.send(None)
        del coro
        gc.collect()


def test_introspection(hooks):
    coro = gapscope.analyze_requirements.__wrapped__("x")
    assert coro.__name__ == coro.__qualname__ == "analyze_requirements"
    assert coro.cr_running is False and coro.cr_await is None and coro.cr_frame is None
    assert repr(coro).startswith("<coroutine object analyze_requirements at ")
    coro.close()


def test_arguments_are_checked_before_any_coroutine_exists():
    gc.collect()
    before = sum(type(o).__name__ == "coroutine" for o in gc.get_objects())
    with pytest.raises(TypeError):
        gapscope.analyze_requirements.__wrapped__(None)
    assert sum(type(o).__name__ == "coroutine" for o in gc.get_objects()) == before


def test_a_cycle_through_the_arguments_is_collected(hooks):
    class Client:
        full_hosted = False

    client = Client()
    client.coro = gapscope.analyze_requirements.__wrapped__("x", 1, client)
    client.coro.close()
    probe = types.SimpleNamespace()
    import weakref

    ref = weakref.ref(client)
    del client
    gc.collect()
    assert ref() is None and probe is not None


def test_coroutines_do_not_leak(hooks):
    def run_once():
        coro = gapscope.analyze_requirements.__wrapped__("x")
        try:
            coro.send(None)
        except StopIteration:
            pass

    def throw_once():
        coro = gapscope.analyze_requirements.__wrapped__("x")
        try:
            coro.throw(ValueError("x"))
        except ValueError:
            pass

    def close_once():
        gapscope.analyze_requirements.__wrapped__("x").close()

    for block in (run_once, throw_once, close_once):
        assert_no_leak(block)
