"""Import-time behaviour of the native modules, each case in a fresh
interpreter."""

import json
import os
import subprocess
import sys
import textwrap

import pytest
from support.children import SDK_ON_FIRST_USE


def run_python(code, **env):
    environment = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p), **env)
    done = subprocess.run(
        [sys.executable, "-c", SDK_ON_FIRST_USE + textwrap.dedent(code)], capture_output=True, text=True, env=environment, timeout=120
    )
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


def test_with_retry_called_once_and_reimport_reuses_the_module():
    report = run_python(
        """
        import json, logging, sys
        import brevanta.resilience as resilience
        calls, loggers = [], []
        real = resilience.with_retry
        def recording(*args, **kwargs):
            calls.append((args, sorted((k, type(v).__name__, v) for k, v in kwargs.items())))
            return real(*args, **kwargs)
        resilience.with_retry = recording
        real_get = logging.getLogger
        logging.getLogger = lambda *a: (loggers.append(a), real_get(*a))[1]
        import importlib
        import brevanta.gapscope as first
        del sys.modules["brevanta.gapscope"]
        import brevanta.gapscope as second
        third = importlib.reload(second)
        loggers = [a for a in loggers if a and a[0].startswith("corvane")]
        print(json.dumps({"same": first is second is third, "calls": calls, "loggers": loggers,
                          "logger": first.logger.name, "wrapped": first.analyze_requirements.__wrapped__.__name__}))
        """
    )
    assert report["same"] is True
    assert report["calls"] == [
        [[], [["backoff_base", "int", 2], ["max_attempts", "int", 2], ["operation_name", "str", "AI Analysis"]]]
    ]
    assert report["loggers"] == [["corvane.analyzer"]]
    assert report["logger"] == "corvane.analyzer"
    assert report["wrapped"] == "analyze_requirements"


def test_missing_with_retry_fails_and_a_later_import_succeeds():
    report = run_python(
        """
        import json, sys, traceback, types
        import brevanta.resilience as real
        sys.modules["brevanta.resilience"] = types.ModuleType("brevanta.resilience")
        try:
            import brevanta.gapscope
        except ImportError as error:
            failure = [type(error).__name__, str(error), traceback.format_exc()]
        in_modules = "brevanta.gapscope" in sys.modules
        sys.modules["brevanta.resilience"] = real
        import brevanta.gapscope as gapscope
        print(json.dumps({"failure": failure, "left_in_modules": in_modules,
                          "works": gapscope.AnalysisResult.empty("x").completeness_reasoning}))
        """
    )
    kind, message, trace = report["failure"]
    assert (kind, message) == ("ImportError", "cannot import name with_retry")
    assert 'File "brevanta/gapscope", line 1, in init brevanta.gapscope' in trace
    assert report["left_in_modules"] is False
    assert report["works"] == "x"


def test_relaygate_is_not_needed_at_run_time():
    report = run_python(
        """
        import json, sys
        sys.modules["brevanta.relaygate"] = None   # any import of it fails
        import brevanta.gapscope as gapscope
        print(json.dumps({"type_checking": gapscope.TYPE_CHECKING, "has_relaygate": hasattr(gapscope, "RelayGate")}))
        """
    )
    assert report == {"type_checking": False, "has_relaygate": False}


@pytest.mark.parametrize(("replacement", "outcome"), [
    ("types.ModuleType('asyncio.coroutines')", ["imported", True]),   # no marker: True stands in
    ("Failing('asyncio.coroutines')", ["RuntimeError", "marker lookup failed"]),  # not swallowed
])
def test_coroutine_marker_falls_back_only_when_missing(replacement, outcome):
    report = run_python(
        f"""
        import asyncio, json, sys, types
        class Failing(types.ModuleType):
            def __getattr__(self, name):
                raise RuntimeError("marker lookup failed")
        sys.modules["asyncio.coroutines"] = {replacement}
        try:
            import brevanta.gapscope as gapscope
            outcome = ["imported", gapscope.analyze_requirements.__wrapped__._is_coroutine]
        except RuntimeError as error:
            outcome = [type(error).__name__, str(error)]
        print(json.dumps(outcome))
        """
    )
    assert report == outcome


@pytest.mark.parametrize("module", ["brevanta.gapscope", "brevanta.waymark"])
def test_a_subinterpreter_is_refused(module, tmp_path):
    report = run_python(
        f"""
        import json
        import sys
        import {module}
        if sys.version_info >= (3, 13):  # the private module was renamed, and reports instead of raising
            import _interpreters as interpreters
            failure = interpreters.exec(interpreters.create("legacy"), "import {module}")
            outcome = failure and failure.msg
        else:
            import _xxsubinterpreters as interpreters
            interp = interpreters.create(isolated=False)
            try:
                interpreters.run_string(interp, "import {module}")
                outcome = None
            except Exception as error:
                outcome = str(error)
        print(json.dumps({{"outcome": outcome}}))
        """,
        CORVANE_HOME=str(tmp_path),
    )
    assert report["outcome"].endswith(
        "Interpreter change detected - this module can only be loaded into one interpreter per process."
    )


def test_attributes_in_definition_order():
    report = run_python(
        """
        import json
        import brevanta.gapscope as g
        print(json.dumps([k for k in vars(g) if not k.startswith("__") or k == "__test__"]))
        """
    )
    assert report == [
        "json", "logging", "Any", "TYPE_CHECKING", "with_retry", "anthropic", "config", "display", "logger",
        "ANALYSIS_PROMPT", "analyze_requirements", "AnalysisResult", "_completeness_label", "display_analysis",
        "display_gap_with_impact", "_extract_json", "__test__",
    ]


def test_module_attributes_come_from_the_spec():
    report = run_python(
        """
        import json, sys
        import brevanta.gapscope as g
        print(json.dumps({"name": g.__name__, "package": g.__package__, "file": g.__file__.endswith(".so"),
                          "loader": type(g.__loader__).__name__, "builtins": g.__builtins__ is __builtins__,
                          "in_modules": sys.modules["brevanta.gapscope"] is g, "test": g.__test__}))
        """
    )
    assert report == {"name": "brevanta.gapscope", "package": "brevanta", "file": True,
                      "loader": "ExtensionFileLoader", "builtins": True, "in_modules": True, "test": {}}
