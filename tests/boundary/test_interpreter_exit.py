"""A daemon thread inside one of our functions when the interpreter exits.

The interpreter ends such a thread when it next asks for the GIL, by unwinding its stack with
pthread_exit: the unwinding must pass through every frame of ours (or, inside a destructor, where
it cannot, the thread waits for the process to end), and the process must exit as it meant to.
Each case runs in a fresh interpreter whose daemon thread spins in Python code called from our
function while the main thread exits; a garbage collection callback keeps the exit going long
enough for the thread to ask for the GIL and be ended.
"""

import os
import subprocess
import sys
import textwrap

import pytest
from support.children import SDK_ON_FIRST_USE

# The address sanitizer's runtime does not unpoison the frames a thread's end unwinds (it does for a C++
# throw), and then reports its own use of that stack: it cannot watch these cases.
pytestmark = pytest.mark.skipif(bool(os.environ.get("BREVANTA_SANITIZED")),
                                reason="the sanitizer cannot follow the unwinding of a thread's end")

# Sets `inside` and runs Python code for ever: the thread gives the GIL up every few milliseconds
# and asks for it again.
PRELUDE = """
import asyncio, gc, sys, threading, time
from brevanta import gapscope, waymark
inside = threading.Event()
def spin(*args, **kwargs):
    inside.set()
    while True:
        pass
def linger(phase, info):  # the daemon thread has been told to end once the interpreter is finalising
    if phase == "start" and sys.is_finalizing():
        time.sleep(0.3)
gc.callbacks.append(linger)
"""

CASES = {
    "the analysis coroutine's model call": """
        class Relay:
            full_hosted, token_log, _call_ai_proxy = True, [], spin
        work = lambda: asyncio.run(gapscope.analyze_requirements("interview", 1, Relay()))
    """,
    "a finalizer run when a reference of ours is released": """
        class Reply:
            def __iter__(self):
                return iter(("{}", 1, 1))
            __del__ = spin
        class Relay:
            full_hosted, token_log = True, []
            def _call_ai_proxy(self, **request):
                return Reply()
        work = lambda: asyncio.run(gapscope.analyze_requirements("interview", 1, Relay()))
    """,
    "a method called by a function body": """
        class Level:
            __str__ = spin
        work = lambda: gapscope.display_gap_with_impact({"impact_level": Level()}, 1)
    """,
    "an argument conversion of a class call": """
        class Score:
            __float__ = spin
        work = lambda: gapscope.AnalysisResult(completeness_score=Score())
    """,
    "the session writer's str() of an unknown value": """
        class Value:
            __str__ = spin
        work = lambda: waymark.save_state("acme", {"value": Value()}, "analysis")
    """,
}


@pytest.mark.parametrize("case", CASES)
def test_the_process_exits_cleanly_while_a_daemon_thread_is_inside_our_call(case, tmp_path):
    code = SDK_ON_FIRST_USE + PRELUDE + textwrap.dedent(CASES[case]) + textwrap.dedent("""
        threading.Thread(target=work, daemon=True).start()
        print("exiting" if inside.wait(timeout=60) else "the thread never reached the callback", flush=True)
    """)
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), CORVANE_HOME=str(tmp_path))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=environment, timeout=120)
    assert (done.returncode, done.stdout.splitlines()[-1:]) == (0, ["exiting"]), done.stderr
