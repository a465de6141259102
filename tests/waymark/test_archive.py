"""archive_session: moving a declined session out of the listing, never over another file; it and
mark_complete act only on the store's own files."""

import json
import os
import shutil
import subprocess
import sys
import time
from datetime import datetime
from pathlib import Path, PosixPath

import pytest
from waymark_support import FixedClock, file_names

ARCHIVED_AT = datetime(2025, 3, 14, 10, 15, 0)


@pytest.fixture
def session(store, monkeypatch):
    monkeypatch.setattr(store, "datetime", FixedClock(datetime(2025, 3, 14, 9, 5, 7), ARCHIVED_AT))
    return Path(store.save_state("acme", {"n": 1}, "interview"))


def test_moved_under_its_own_name(store, session):
    content = session.read_bytes()
    assert store.archive_session(str(session)) is None
    assert not session.exists()
    assert (store.ARCHIVE_DIR / session.name).read_bytes() == content
    assert store.load_incomplete_sessions("acme") == []


def test_taken_names_get_the_time_then_a_counter(store, session, monkeypatch):
    store.ARCHIVE_DIR.joinpath(session.name).write_text("earlier")
    store.ARCHIVE_DIR.joinpath("acme_20250314_090507_archived_101500.json").write_text("earlier too")
    store.archive_session(str(session))
    assert file_names(store.ARCHIVE_DIR) == [
        "acme_20250314_090507.json", "acme_20250314_090507_archived_101500.json",
        "acme_20250314_090507_archived_101500_2.json"]
    assert store.ARCHIVE_DIR.joinpath(session.name).read_text() == "earlier"


class UnawarePath(PosixPath):
    """Reports every destination as free, as if a file appeared only after the check."""

    def exists(self, **kwargs):
        return False


def test_file_appearing_after_the_check_is_not_replaced(store, session, monkeypatch):
    store.ARCHIVE_DIR.mkdir(parents=True, exist_ok=True)
    store.ARCHIVE_DIR.joinpath(session.name).write_text("appeared meanwhile")
    monkeypatch.setattr(store, "ARCHIVE_DIR", UnawarePath(store.ARCHIVE_DIR))
    store.archive_session(str(session))
    assert store.ARCHIVE_DIR.joinpath(session.name).read_text() == "appeared meanwhile"
    assert os.path.exists(store.ARCHIVE_DIR / "acme_20250314_090507_archived_101500.json")


def snapshot(root):
    """Every entry under `root` as lstat sees it: a file's bytes, a link's target, a FIFO, a directory."""
    entries = {}
    for directory, names, files in os.walk(root):
        for name in names + files:
            path = Path(directory, name)
            if path.is_symlink():
                entries[str(path)] = ("link", os.readlink(path))
            elif path.is_fifo():
                entries[str(path)] = ("fifo",)
            elif path.is_dir():
                entries[str(path)] = ("directory",)
            else:
                entries[str(path)] = ("file", path.read_bytes(), path.stat().st_mode)
    return entries


def outside_file(store, session, tmp_path):
    path = tmp_path / "outside" / session.name
    path.write_bytes(session.read_bytes())
    return str(path)


def link_in_store_to_outside(store, session, tmp_path):
    (tmp_path / "outside" / "passwd").write_text("root:x:0:0")
    (store.SESSIONS_DIR / "acme_link.json").symlink_to(tmp_path / "outside" / "passwd")
    return str(store.SESSIONS_DIR / "acme_link.json")


def link_outside_to_session(store, session, tmp_path):
    (tmp_path / "outside" / "link.json").symlink_to(session)
    return str(tmp_path / "outside" / "link.json")


def fifo_in_store(store, session, tmp_path):
    os.mkfifo(store.SESSIONS_DIR / "acme_pipe.json")
    return str(store.SESSIONS_DIR / "acme_pipe.json")


def fifo_outside(store, session, tmp_path):
    os.mkfifo(tmp_path / "outside" / "pipe.json")
    return str(tmp_path / "outside" / "pipe.json")


def directory_in_store(store, session, tmp_path):
    (store.SESSIONS_DIR / "acme_dir.json").mkdir()
    return str(store.SESSIONS_DIR / "acme_dir.json")


def archived_file(store, session, tmp_path):
    (store.ARCHIVE_DIR / "acme_old.json").write_bytes(session.read_bytes())
    return str(store.ARCHIVE_DIR / "acme_old.json")


def through_dot_dot(store, session, tmp_path):
    return str(store.ARCHIVE_DIR) + "/../" + session.name


def through_linked_directory(store, session, tmp_path):
    (tmp_path / "outside" / "sessions").symlink_to(store.SESSIONS_DIR)
    return str(tmp_path / "outside" / "sessions" / session.name)


REFUSED = {
    "file outside": (outside_file, "directly in"),
    "link in the store to a file outside": (link_in_store_to_outside, "not a regular file"),
    "link outside to a session file": (link_outside_to_session, "not a regular file"),
    "FIFO in the store": (fifo_in_store, "not a regular file"),
    "FIFO outside": (fifo_outside, "not a regular file"),
    "directory in the store": (directory_in_store, "not a regular file"),
    "the store itself": (lambda store, session, tmp_path: str(store.SESSIONS_DIR), "not a regular file"),
    "the working directory": (lambda store, session, tmp_path: "", "not a regular file"),
    "file in the archive": (archived_file, "directly in"),
    "path through ..": (through_dot_dot, "directly in"),
    "path through a linked directory": (through_linked_directory, "directly in"),
}


@pytest.mark.parametrize("operation", ["archive_session", "mark_complete"])
@pytest.mark.parametrize(("target", "message"), REFUSED.values(), ids=REFUSED.keys())
def test_acts_only_on_its_own_files(store, session, tmp_path, monkeypatch, operation, target, message):
    (tmp_path / "outside").mkdir()
    monkeypatch.chdir(tmp_path / "outside")
    path = target(store, session, tmp_path)
    before = snapshot(tmp_path)
    with pytest.raises(ValueError, match=message) as raised:
        getattr(store, operation)(path)
    assert repr(str(Path(path))) in str(raised.value)
    assert snapshot(tmp_path) == before


ACCEPTED = {
    "as saved": lambda store, session, tmp_path: str(session),
    "relative": lambda store, session, tmp_path: os.path.relpath(session),
    "resolved, the store's directory written through a link": lambda store, session, tmp_path: str(session.resolve()),
}


@pytest.mark.parametrize("operation", ["archive_session", "mark_complete"])
@pytest.mark.parametrize("given", ACCEPTED.values(), ids=ACCEPTED.keys())
def test_its_own_files_however_written(store, session, tmp_path, monkeypatch, operation, given):
    (tmp_path / "linked-home").symlink_to(tmp_path / "home")
    monkeypatch.setattr(store, "SESSIONS_DIR", tmp_path / "linked-home" / "sessions")
    session = store.SESSIONS_DIR / session.name
    monkeypatch.chdir(tmp_path)
    getattr(store, operation)(given(store, session, tmp_path))
    if operation == "archive_session":
        assert file_names(store.ARCHIVE_DIR) == [session.name] and not session.exists()
    else:
        assert json.loads(session.read_text())["phase"] == "complete"


def test_missing_path_moves_nothing(store, tmp_path):
    assert store.archive_session(str(tmp_path / "gone.json")) is None
    assert store.ARCHIVE_DIR.is_dir() and file_names(store.ARCHIVE_DIR) == []


@pytest.mark.skipif(not os.path.isdir("/dev/shm"), reason="needs a second file system")
def test_move_across_file_systems(store, session, tmp_path, monkeypatch):
    archive = Path(os.environ.get("WAYMARK_OTHER_FS", "/dev/shm")) / f"waymark-{os.getpid()}-archive"
    if os.stat(archive.parent).st_dev == os.stat(tmp_path).st_dev:
        pytest.skip("the temporary directory is on the same file system")
    monkeypatch.setattr(store, "ARCHIVE_DIR", archive)
    source = store.SESSIONS_DIR / "acme_across.json"
    source.write_text("across")
    os.chmod(source, 0o600)
    os.utime(source, (1_000_000_000, 1_000_000_000))
    try:
        store._ensure_dirs()
        archive.joinpath(source.name).write_text("taken")
        store.archive_session(str(source))
        moved = archive / f"{source.stem}_archived_101500.json"
        assert not source.exists() and moved.read_text() == "across"
        assert (oct(moved.stat().st_mode & 0o777), moved.stat().st_mtime) == (oct(0o600), 1_000_000_000)
    finally:
        shutil.rmtree(archive, ignore_errors=True)


def test_rebound_shutil_gets_the_move(store, session, monkeypatch):
    moves = []

    class Recorder:
        @staticmethod
        def move(source, destination):
            moves.append((source, destination))

    monkeypatch.setattr(store, "shutil", Recorder)
    store.ARCHIVE_DIR.joinpath(session.name).write_text("taken")
    store.archive_session(str(session))
    assert moves == [(str(session), str(store.ARCHIVE_DIR / "acme_20250314_090507_archived_101500.json"))]


class CrowdedPath(PosixPath):
    """Reports every destination as taken."""

    def exists(self, **kwargs):
        return True


def test_gives_up_when_no_name_is_free(store, session, monkeypatch):
    monkeypatch.setattr(store, "ARCHIVE_DIR", CrowdedPath(store.ARCHIVE_DIR))
    with pytest.raises(FileExistsError, match="no free file name up to"):
        store.archive_session(str(session))
    assert session.exists()


ARCHIVER = """
import sys, time
from pathlib import Path
from brevanta import waymark
source, start = sys.argv[1], float(sys.argv[2])
waymark.ARCHIVE_DIR = Path(sys.argv[3])
time.sleep(max(0.0, start - time.time() - 0.05))
while time.time() < start:
    pass
try:
    waymark.archive_session(source)
    print("done")
except FileNotFoundError as error:
    print("vanished", error.filename == source)
"""


@pytest.fixture(params=["one file system", "two file systems"])
def archive_directory(request, tmp_path):
    if request.param == "one file system":
        directory = tmp_path / "home" / "sessions" / "archive"
    else:
        directory = Path(os.environ.get("WAYMARK_OTHER_FS", "/dev/shm")) / f"waymark-race-{os.getpid()}"
    directory.mkdir(parents=True)
    if request.param == "two file systems" and os.stat(directory).st_dev == os.stat(tmp_path).st_dev:
        pytest.skip("no second file system")
    yield directory
    shutil.rmtree(directory, ignore_errors=True)


def test_concurrent_archivers_leave_one_copy(tmp_path, archive_directory):
    source_directory = tmp_path / "home" / "sessions"
    source_directory.mkdir(parents=True, exist_ok=True)
    archive = archive_directory
    env = {**os.environ, "CORVANE_HOME": str(tmp_path / "home")}
    for round_number in range(4):
        source = source_directory / f"acme_20250314_09050{round_number}.json"
        source.write_text(f"round {round_number}")
        start = time.time() + 1.0
        archivers = [subprocess.Popen([sys.executable, "-c", ARCHIVER, str(source), str(start), str(archive)], env=env,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for _ in range(4)]
        outcomes = [archiver.communicate(timeout=120) for archiver in archivers]
        assert all(out.strip() in ("done", "vanished True") for out, _ in outcomes), outcomes
        copies = [p.read_text() for p in archive.iterdir() if p.name.startswith(source.stem)]
        assert copies == [f"round {round_number}"]
    assert [p.name for p in source_directory.iterdir() if p.name != "archive"] == []
