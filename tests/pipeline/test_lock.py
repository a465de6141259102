"""One run per session: the lock names its holder, refuses a second taker, and is gone with its holder."""

import os

import pytest

from brevanta.pipeline.lock import SessionLock, SessionLocked, holder, lock_path


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


def test_a_link_planted_at_the_locks_name_is_never_followed(tmp_path):
    path = tmp_path / "acme_20261201_100000.json"
    victim = tmp_path / "victim"
    victim.write_text("keep", encoding="utf-8")
    lock_path(path).symlink_to(victim)
    with pytest.raises(OSError):
        SessionLock.acquire(path)
    assert victim.read_text(encoding="utf-8") == "keep"
