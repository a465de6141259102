"""The module as the interpreter sees it: attributes, signatures, import-time behaviour."""

import inspect
import json

import pytest
from waymark_support import run_python

FUNCTIONS = [
    "_ensure_dirs", "save_state", "load_incomplete_sessions", "mark_complete", "archive_session", "_safe_org_id",
    "build_serialisable_state",
]


def test_attributes_in_binding_order(waymark):
    own = [name for name in vars(waymark) if not name.startswith("__")]
    assert own == ["json", "shutil", "datetime", "Path", "Any", "config", "SESSIONS_DIR", "ARCHIVE_DIR", "PHASES",
                   *FUNCTIONS]
    import datetime
    import pathlib
    import shutil
    import typing

    assert (waymark.json, waymark.shutil, waymark.datetime, waymark.Path, waymark.Any) == (
        json, shutil, datetime.datetime, pathlib.Path, typing.Any)
    assert waymark.PHASES == ["interview", "analysis", "strategy", "render", "execute", "complete"]
    assert type(waymark.PHASES) is list


def test_docstrings(waymark):
    assert waymark.__doc__ == (
        "Session state persistence for resume capability (D194).\n\nSaves pipeline state after each major phase so "
        "interrupted runs can resume.\nState files live in ~/.corvane/sessions/{org_id}_{timestamp}.json.\n")
    assert waymark._ensure_dirs.__doc__ is None
    assert waymark._safe_org_id.__doc__ == "Make org_id safe for use in a filename (keep first 8 chars of UUID)."
    assert waymark.mark_complete.__doc__ == "Mark a session as complete so it won't appear in resume prompts."
    assert waymark.archive_session.__doc__ == "Move to archive subdirectory — used when user declines to resume."
    assert waymark.save_state.__doc__.startswith("Save current session state. Returns session file path.\n\n    Args:")
    assert "(not 'complete' — use mark_complete for that)" in waymark.save_state.__doc__
    assert waymark.load_incomplete_sessions.__doc__.endswith("sessions marked complete.\n    ")
    assert waymark.build_serialisable_state.__doc__ == (
        "Build a clean serialisable state dict from pipeline variables.\n\n"
        "    Only primitive / JSON-safe types — no Pydantic models or async objects.\n    ")


@pytest.mark.parametrize(("name", "signature"), [
    ("_ensure_dirs", "() -> 'None'"),
    ("_safe_org_id", "(org_id: 'str') -> 'str'"),
    ("save_state", "(org_id: 'str', state: 'dict[str, Any]', phase: 'str', session_file: 'str | None' = None)"
                   " -> 'str'"),
    ("load_incomplete_sessions", "(org_id: 'str') -> 'list[dict[str, Any]]'"),
    ("mark_complete", "(session_path: 'str') -> 'None'"),
    ("archive_session", "(session_path: 'str') -> 'None'"),
])
def test_signatures(waymark, name, signature):
    function = getattr(waymark, name)
    assert str(inspect.signature(function)) == signature
    assert (function.__name__, function.__module__) == (name, "brevanta.waymark")


def test_state_builder_is_keyword_only(waymark):
    function = waymark.build_serialisable_state
    parameters = inspect.signature(function).parameters
    assert all(p.kind is inspect.Parameter.KEYWORD_ONLY and p.default is None for p in parameters.values())
    assert function.__kwdefaults__ == dict.fromkeys(parameters)


@pytest.mark.parametrize(("call", "message"), [
    (lambda w: w._ensure_dirs(1), "_ensure_dirs() takes no arguments (1 given)"),
    (lambda w: w._ensure_dirs(x=1), "_ensure_dirs() takes no keyword arguments"),
    (lambda w: w._safe_org_id(None), "Argument 'org_id' has incorrect type (expected str, got NoneType)"),
    (lambda w: w.save_state("o", [], "p"), "Argument 'state' has incorrect type (expected dict, got list)"),
    (lambda w: w.save_state("o", {}, None), "Argument 'phase' has incorrect type (expected str, got NoneType)"),
    (lambda w: w.save_state("o", {}, "p", 1), "Argument 'session_file' has incorrect type (expected str, got int)"),
    (lambda w: w.save_state("o", {}), "save_state() takes at least 3 positional arguments (2 given)"),
    (lambda w: w.save_state("o", {}, "p", None, 5), "save_state() takes at most 4 positional arguments (5 given)"),
    (lambda w: w.mark_complete(session_path=None),
     "Argument 'session_path' has incorrect type (expected str, got NoneType)"),
    (lambda w: w.archive_session("x", session_path="y"),
     "archive_session() got multiple values for keyword argument 'session_path'"),
    (lambda w: w.load_incomplete_sessions(org="x"), "load_incomplete_sessions() got an unexpected keyword argument 'org'"),
])
def test_argument_errors(waymark, call, message):
    with pytest.raises(TypeError) as caught:
        call(waymark)
    assert str(caught.value) == message


def test_str_subclass_refused_with_note(waymark):
    class Name(str):
        pass

    with pytest.raises(TypeError, match=r"expected str, got Name") as caught:
        waymark._safe_org_id(Name("acme"))
    assert any("ubclasses" in note for note in caught.value.__notes__)


IMPORT_REPORT = """
import json, sys
from pathlib import Path
home = Path(sys.argv[1])
from brevanta import waymark
created_at_import = home.exists()
path = waymark.save_state("acme", {}, "interview")
print(json.dumps([str(waymark.SESSIONS_DIR), str(waymark.ARCHIVE_DIR), created_at_import,
                  sorted(str(p.relative_to(home)) for p in home.rglob("*")), path.startswith(str(home))]))
"""


def test_import_reads_home_once_and_creates_nothing(tmp_path):
    home = tmp_path / "missing" / "home"
    result = run_python(IMPORT_REPORT, home, home=home)
    assert result.returncode == 0, result.stderr
    sessions, archive, created_at_import, tree, inside = json.loads(result.stdout)
    assert (sessions, archive) == (str(home / "sessions"), str(home / "sessions" / "archive"))
    assert created_at_import is False
    assert tree[0] == "sessions" and "sessions/archive" in tree and len(tree) == 3 and inside


def test_import_fails_without_home_setting(tmp_path):
    code = ("from brevanta import config\ndel config.CORVANE_HOME\n"
            "try:\n    from brevanta import waymark\nexcept AttributeError as e:\n    print('refused', e)\n"
            "import sys; print('brevanta.waymark' in sys.modules)")
    result = run_python(code, home=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "refused module 'brevanta.config' has no attribute 'CORVANE_HOME'", "False"]


def test_reimport_gives_the_same_module(waymark):
    import importlib
    import sys

    del sys.modules["brevanta.waymark"]
    try:
        assert importlib.import_module("brevanta.waymark") is waymark
    finally:
        sys.modules["brevanta.waymark"] = waymark
