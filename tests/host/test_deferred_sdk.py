"""The SDK's stand-in, in a fresh interpreter: gapscope imports it without loading the SDK, and threads that
read it at once all get the SDK's own objects, loaded once; an interrupt during the load is raised as itself."""

import importlib
import json
import os
import signal
import subprocess
import sys
import textwrap

import pytest

from brevanta import deferred_sdk

RACE = textwrap.dedent("""
    import json, sys, threading
    from brevanta import deferred_sdk
    assert deferred_sdk.defer()
    import brevanta.gapscope as gapscope
    before = "anthropic.types" in sys.modules
    start, seen = threading.Barrier(8), []
    def read():
        start.wait()
        seen.append(gapscope.anthropic.Anthropic)
    threads = [threading.Thread(target=read) for _ in range(8)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    import anthropic
    real = sys.modules["anthropic"]
    print(json.dumps({"loaded_at_import": before, "all_real": all(c is real.Anthropic for c in seen),
                      "seen": len(seen), "same_module": anthropic is real,
                      "errors": gapscope.anthropic.APIStatusError is real.APIStatusError}))
""")


def test_threads_reading_the_stand_in_at_once_all_get_the_sdk(tmp_path):
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), CORVANE_HOME=str(tmp_path))
    done = subprocess.run([sys.executable, "-c", RACE], capture_output=True, text=True, env=env, timeout=120)
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == {"loaded_at_import": False, "all_real": True, "seen": 8, "same_module": True,
                                       "errors": True}


def test_an_interrupt_during_the_load_is_raised_as_itself(monkeypatch):
    """pydantic-core, building the SDK's models, turns the KeyboardInterrupt of a Ctrl-C that lands inside
    it into an error of its own; the load raises the interrupt."""
    def import_module(name):
        try:
            signal.raise_signal(signal.SIGINT)  # the Ctrl-C, whose handler raises where the load is
        except KeyboardInterrupt as interrupt:
            raise ValueError(f"Error building `literal` validator:\n  {type(interrupt).__name__}: ") from None

    monkeypatch.setitem(sys.modules, deferred_sdk.NAME, deferred_sdk._Deferred(deferred_sdk.NAME))
    monkeypatch.setattr(importlib, "import_module", import_module)
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        with pytest.raises(KeyboardInterrupt):
            deferred_sdk.load()
        assert signal.getsignal(signal.SIGINT) is signal.default_int_handler
    finally:
        signal.signal(signal.SIGINT, previous)
