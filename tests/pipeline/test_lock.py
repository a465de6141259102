"""The locks of the store: looking at a session never makes it look taken, and whatever stands at a
lock file's name is a refusal that says so, never a hang."""

from __future__ import annotations

import fcntl
import os
import threading

import pytest

from brevanta.pipeline.lock import (InterviewBusy, InterviewLock, SessionLock, SessionLocked, holder,
                                   interview_lock_path, lock_path)

ACQUISITIONS = 3000
WAIT = 10.0  # seconds for a call that must not block: ten times a quiet machine's, and more


def test_looking_at_a_session_never_makes_it_look_taken(tmp_path):
    session = tmp_path / "acme_20261201_100000.json"
    done = threading.Event()
    looked = [0]

    def look() -> None:
        while not done.is_set():
            holder(session)
            looked[0] += 1

    prober = threading.Thread(target=look)
    prober.start()
    refused = 0
    try:
        for _ in range(ACQUISITIONS):
            try:
                SessionLock.acquire(session).release()
            except SessionLocked:
                refused += 1
    finally:
        done.set()
        prober.join()
    assert looked[0] > 0
    assert refused == 0


def test_a_holder_is_seen_without_being_disturbed(tmp_path):
    session = tmp_path / "acme_20261201_100000.json"
    assert holder(session) is None
    with SessionLock.acquire(session):
        pid, since = holder(session)
        assert pid == os.getpid() and since
        with pytest.raises(SessionLocked, match=r"the session acme_20261201_100000\.json is in use by another task "
                                                rf"of this process \({os.getpid()}\) since \d{{4}}-"):
            SessionLock.acquire(session)
    assert holder(session) is None and not lock_path(session).exists()


def test_a_run_of_an_earlier_version_holding_flock_keeps_the_session(tmp_path):
    session = tmp_path / "acme_20261201_100000.json"
    earlier = os.open(lock_path(session), os.O_RDWR | os.O_CREAT, 0o600)
    try:
        fcntl.flock(earlier, fcntl.LOCK_EX | fcntl.LOCK_NB)
        with pytest.raises(SessionLocked):
            SessionLock.acquire(session)
    finally:
        os.close(earlier)
    SessionLock.acquire(session).release()


def _plant(path, kind):
    if kind == "fifo":
        os.mkfifo(path)
    elif kind == "link":
        path.symlink_to("/etc/passwd")
    else:
        path.mkdir()


def _within_wait(call):
    """call()'s result or exception, failing the test when it does not return in time."""
    outcome = []

    def run() -> None:
        try:
            outcome.append(("value", call()))
        except Exception as exc:  # handed to the test
            outcome.append(("raised", exc))

    worker = threading.Thread(target=run, daemon=True)
    worker.start()
    worker.join(WAIT)
    assert outcome, "blocked"
    return outcome[0]


@pytest.mark.parametrize("kind", ["fifo", "link", "directory"])
def test_anything_but_a_file_at_the_lock_name_is_a_refusal(tmp_path, kind):
    session = tmp_path / "acme_20261201_100000.json"
    _plant(lock_path(session), kind)
    assert _within_wait(lambda: holder(session)) == ("value", (None, None))  # held by an unknown process
    how, refusal = _within_wait(lambda: SessionLock.acquire(session))
    assert how == "raised" and isinstance(refusal, SessionLocked)
    assert str(refusal) == (f"the session {session.name} cannot be taken: its lock file {lock_path(session)} "
                            "is not a regular file; remove it and try again")
    how, busy = _within_wait(lambda: InterviewLock.acquire(tmp_path, "0" * 64, wait=True))
    assert how == "value"  # the interview's lock is a file of its own
    busy.release()
    _plant(interview_lock_path(tmp_path, "0" * 64), kind)
    how, busy = _within_wait(lambda: InterviewLock.acquire(tmp_path, "0" * 64, wait=True))
    assert how == "raised" and isinstance(busy, InterviewBusy) and "is not a regular file" in str(busy)
    assert os.path.lexists(lock_path(session))  # nothing it did not make is removed


def test_a_held_session_is_refused_with_its_holder_and_free_once_released(tmp_path):
    path = tmp_path / "acme_20261201_100000.json"
    path.write_text("{}", encoding="utf-8")
    assert holder(path) is None
    with SessionLock.acquire(path):
        pid, since = holder(path)
        assert pid == os.getpid() and since
        with pytest.raises(SessionLocked) as refused:  # another open of the file: another taker
            SessionLock.acquire(path)
        assert refused.value.pid == os.getpid()
    assert holder(path) is None
