"""archive_session: moving a declined session out of the listing, never over another file."""

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


@pytest.mark.parametrize("target", ["", ".", "directory"])
def test_directories_refused(store, session, tmp_path, monkeypatch, target):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "directory").mkdir()
    with pytest.raises(IsADirectoryError, match="moves session files, not directories"):
        store.archive_session(target)
    assert (tmp_path / "directory").is_dir() and session.exists()
    assert file_names(store.ARCHIVE_DIR) == []


def test_special_file_refused(store, tmp_path):
    fifo = tmp_path / "pipe.json"
    os.mkfifo(fifo)
    with pytest.raises(ValueError, match="is not a regular file"):
        store.archive_session(str(fifo))
    assert fifo.exists()


def test_missing_path_moves_nothing(store, tmp_path):
    assert store.archive_session(str(tmp_path / "gone.json")) is None
    assert store.ARCHIVE_DIR.is_dir() and file_names(store.ARCHIVE_DIR) == []


def test_symlink_moved_as_a_link(store, session, tmp_path):
    link = store.SESSIONS_DIR / "acme_link.json"
    link.symlink_to(session)
    store.archive_session(str(link))
    moved = store.ARCHIVE_DIR / "acme_link.json"
    assert moved.is_symlink() and moved.resolve() == session and session.exists()


@pytest.mark.skipif(not os.path.isdir("/dev/shm"), reason="needs a second file system")
def test_move_across_file_systems(store, session, tmp_path):
    source = Path(os.environ.get("WAYMARK_OTHER_FS", "/dev/shm")) / f"waymark-{os.getpid()}-acme.json"
    if os.stat(source.parent).st_dev == os.stat(tmp_path).st_dev:
        pytest.skip("the temporary directory is on the same file system")
    source.write_text("across")
    os.chmod(source, 0o600)
    os.utime(source, (1_000_000_000, 1_000_000_000))
    store.ARCHIVE_DIR.joinpath(source.name).write_text("taken")
    store.archive_session(str(source))
    moved = store.ARCHIVE_DIR / f"{source.stem}_archived_101500.json"
    assert not source.exists() and moved.read_text() == "across"
    assert (oct(moved.stat().st_mode & 0o777), moved.stat().st_mtime) == (oct(0o600), 1_000_000_000)


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
from brevanta import waymark
source, start = sys.argv[1], float(sys.argv[2])
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
def source_directory(request, tmp_path):
    if request.param == "one file system":
        directory = tmp_path / "home" / "sessions"
    else:
        directory = Path(os.environ.get("WAYMARK_OTHER_FS", "/dev/shm")) / f"waymark-race-{os.getpid()}"
    directory.mkdir(parents=True)
    if request.param == "two file systems" and os.stat(directory).st_dev == os.stat(tmp_path).st_dev:
        pytest.skip("no second file system")
    yield directory
    shutil.rmtree(directory, ignore_errors=True)


def test_concurrent_archivers_leave_one_copy(tmp_path, source_directory):
    archive = tmp_path / "home" / "sessions" / "archive"
    env = {**os.environ, "CORVANE_HOME": str(tmp_path / "home")}
    for round_number in range(4):
        source = source_directory / f"acme_20250314_09050{round_number}.json"
        source.write_text(f"round {round_number}")
        start = time.time() + 1.0
        archivers = [subprocess.Popen([sys.executable, "-c", ARCHIVER, str(source), str(start)], env=env,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True) for _ in range(4)]
        outcomes = [archiver.communicate(timeout=120) for archiver in archivers]
        assert all(out.strip() in ("done", "vanished True") for out, _ in outcomes), outcomes
        copies = [p.read_text() for p in archive.iterdir() if p.name.startswith(source.stem)]
        assert copies == [f"round {round_number}"]
    assert [p.name for p in source_directory.iterdir() if p.name != "archive"] == []
