"""Every function, on its success path and on each failure path, leaves no memory behind."""

import json
import os
import shutil
import sys
import tempfile
from datetime import datetime
from pathlib import Path, PosixPath

import pytest
from support.leaks import assert_no_leak, raising
from waymark_support import FixedClock

# Blocks that create files remove them again: pathlib interns every new file
# name it parses, which would look like growth.


@pytest.fixture
def ram_store(store, monkeypatch):
    """The store in a RAM-backed directory, where syncing costs nothing."""
    base = "/dev/shm" if os.path.isdir("/dev/shm") else None
    directory = Path(tempfile.mkdtemp(prefix="waymark-leaks-", dir=base))
    monkeypatch.setattr(store, "SESSIONS_DIR", directory / "sessions")
    monkeypatch.setattr(store, "ARCHIVE_DIR", directory / "sessions" / "archive")
    monkeypatch.setattr(store, "datetime", FixedClock())
    yield store
    shutil.rmtree(directory)


def assert_steady(block, **kwargs):
    """assert_no_leak for blocks that run the interpreter's file code.  io.open looks some methods up with
    new strings, and the interpreter's type attribute cache keeps each of them (up to the cache's size); the
    cache is cleared after every call so that only real growth counts."""

    def cleared():
        block()
        sys._clear_type_cache()

    assert_no_leak(cleared, **kwargs)


STATE = {"answers": [{"q": "Größe?", "a": "😀"}], "n": 1.5, "path": Path("/x"), 7: None}


def test_ensure_dirs(ram_store):
    assert_steady(ram_store._ensure_dirs)
    assert_steady(raising(TypeError, ram_store._ensure_dirs, 1))
    ram_store.SESSIONS_DIR.joinpath("archive").rmdir()
    ram_store.SESSIONS_DIR.joinpath("archive").write_text("")
    assert_steady(raising(FileExistsError, ram_store._ensure_dirs))


def test_safe_org_id(waymark):
    assert_no_leak(lambda: waymark._safe_org_id("3f2a9c1e-7b4d"))
    assert_no_leak(lambda: waymark._safe_org_id("../a\0b"))
    assert_no_leak(raising(TypeError, waymark._safe_org_id, None))


def test_save_state_success_paths(ram_store, monkeypatch):
    path = ram_store.save_state("acme", STATE, "interview")
    assert_steady(lambda: ram_store.save_state("acme", STATE, "analysis", path))

    def new_files_with_a_collision():
        first = ram_store.save_state("acme", STATE, "interview")
        second = ram_store.save_state("acme", STATE, "interview")
        os.unlink(first)
        os.unlink(second)

    os.unlink(path)
    assert_steady(new_files_with_a_collision, iterations=500)
    path = ram_store.save_state("acme", STATE, "interview")

    class Json:
        dumps = staticmethod(json.dumps)

    monkeypatch.setattr(ram_store, "json", Json)
    assert_steady(lambda: ram_store.save_state("acme", STATE, "analysis", path))


def test_save_state_failure_paths(ram_store, monkeypatch):
    path = ram_store.save_state("acme", {}, "interview")
    loop = []
    loop.append(loop)
    assert_steady(raising(TypeError, ram_store.save_state, "acme", {(1,): 1}, "p", path))
    assert_steady(raising(ValueError, ram_store.save_state, "acme", {"l": loop}, "p", path))
    # Deeper than the C encoder's limit too: 3.13 runs it for an indent, building
    # each level's indent anew, so each of its calls takes long and fewer suffice.
    c_encoder = sys.version_info >= (3, 13)
    assert_steady(raising(RecursionError, ram_store.save_state, "acme", {"d": nested(50_000)}, "p", path),
                  iterations=20 if c_encoder else 200, warmup=5 if c_encoder else 300)
    assert_steady(raising(IsADirectoryError, ram_store.save_state, "acme", {}, "p", str(ram_store.SESSIONS_DIR)))
    assert_steady(raising(TypeError, ram_store.save_state, "acme", [], "p"))
    with monkeypatch.context() as patch:
        patch.setattr(ram_store, "_ensure_dirs", lambda: None)
        patch.setattr(ram_store, "SESSIONS_DIR", ram_store.SESSIONS_DIR / "gone")
        assert_steady(raising(FileNotFoundError, ram_store.save_state, "acme", {}, "p"))

    class Json:
        dumps = staticmethod(lambda *args, **kwargs: b"bytes")

    monkeypatch.setattr(ram_store, "json", Json)
    assert_steady(raising(TypeError, ram_store.save_state, "acme", {}, "p", path))


def nested(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


class OtherPath(PosixPath):
    pass


def test_load_incomplete_sessions(ram_store, monkeypatch):
    monkeypatch.setattr(ram_store, "datetime", FixedClock(*(datetime(2025, 1, n + 1) for n in range(3))))
    for n in range(3):
        ram_store.save_state("acme", STATE, "interview")
    for name, content in [("acme_bad.json", b"{"), ("acme_list.json", b"[1]"), ("acme_latin.json", b"\xff")]:
        ram_store.SESSIONS_DIR.joinpath(name).write_bytes(content)
    assert_steady(lambda: ram_store.load_incomplete_sessions("acme"))
    monkeypatch.setattr(ram_store, "SESSIONS_DIR", OtherPath(ram_store.SESSIONS_DIR))
    assert_steady(lambda: ram_store.load_incomplete_sessions("acme"))
    assert_steady(raising(TypeError, ram_store.load_incomplete_sessions, 1))
    monkeypatch.setattr(ram_store, "_ensure_dirs", lambda: None)
    monkeypatch.setattr(ram_store, "SESSIONS_DIR", ram_store.SESSIONS_DIR / "gone")
    assert_steady(raising(FileNotFoundError, ram_store.load_incomplete_sessions, "acme"))


def test_mark_complete(ram_store):
    path = ram_store.save_state("acme", STATE, "render")
    assert_steady(lambda: ram_store.mark_complete(path))
    assert_steady(lambda: ram_store.mark_complete(path + ".missing"))
    broken = ram_store.SESSIONS_DIR / "broken.json"
    broken.write_text("{")
    assert_steady(lambda: ram_store.mark_complete(str(broken)))
    broken.write_text("[1]")
    assert_steady(raising(TypeError, ram_store.mark_complete, str(broken)))
    assert_steady(raising(TypeError, ram_store.mark_complete, None))


def test_archive_session(ram_store, tmp_path):
    ram_store._ensure_dirs()
    source = ram_store.SESSIONS_DIR / "acme_taken.json"

    def archive_under_its_name():
        source.write_text("{}")
        ram_store.archive_session(str(source))
        ram_store.ARCHIVE_DIR.joinpath(source.name).unlink()

    assert_steady(archive_under_its_name, iterations=500)
    ram_store.ARCHIVE_DIR.joinpath(source.name).write_text("taken")

    def archive_under_the_archived_name():
        source.write_text("{}")
        ram_store.archive_session(str(source))
        ram_store.ARCHIVE_DIR.joinpath("acme_taken_archived_090507.json").unlink()

    assert_steady(archive_under_the_archived_name, iterations=500)
    assert_steady(lambda: ram_store.archive_session(str(source)))
    assert_steady(raising(ValueError, ram_store.archive_session, str(tmp_path)))
    fifo = ram_store.SESSIONS_DIR / "acme_fifo.json"
    os.mkfifo(fifo)
    assert_steady(raising(ValueError, ram_store.archive_session, str(fifo)))
    outside = tmp_path / "outside.json"
    outside.write_text("{}")
    assert_steady(raising(ValueError, ram_store.archive_session, str(outside)))
    assert_steady(raising(ValueError, ram_store.mark_complete, str(outside)))
    assert_steady(raising(TypeError, ram_store.archive_session, 3))


def test_build_serialisable_state(waymark):
    answers = [{"q": 1}]
    assert_no_leak(lambda: waymark.build_serialisable_state(
        interview_answers=answers, selected_strategy_number=2.9, analysis_completeness=1, output_dir="/o"))
    assert_no_leak(lambda: waymark.build_serialisable_state())
    assert_no_leak(raising(TypeError, waymark.build_serialisable_state, 1))
    assert_no_leak(raising(TypeError, waymark.build_serialisable_state, analysis_completeness="1"))
    assert_no_leak(raising(ValueError, waymark.build_serialisable_state, selected_strategy_number=float("nan")))
    assert_no_leak(raising(OverflowError, waymark.build_serialisable_state, analysis_completeness=10**400))
