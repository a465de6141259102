"""One run per session: an advisory lock on a file beside the session file.

The lock is `flock` on `<session>.json.lock`, taken without waiting. The kernel drops it when
the holding process ends, however it ends, so a killed run never leaves a stale lock. The file
holds the holder's process id and start time, so a refused run can say who holds the session.
The store's listing takes only `.json` files, so a lock file is never taken for a session.
"""

from __future__ import annotations

import contextlib
import fcntl
import json
import os
from datetime import datetime
from pathlib import Path
from types import TracebackType

LOCK_SUFFIX = ".lock"


def lock_path(session_path: str | Path) -> Path:
    path = Path(session_path)
    return path.with_name(path.name + LOCK_SUFFIX)


class SessionLocked(Exception):
    """Another process holds the session; `pid` and `since` (ISO local time) say which and since when,
    None when it had not yet written them."""

    def __init__(self, session_path: str, pid: int | None, since: str | None) -> None:
        super().__init__(f"{session_path} is in use by process {pid or 'unknown'} since {since or 'an unknown time'}")
        self.session_path = session_path
        self.pid = pid
        self.since = since


def _open_lock_file(path: Path, flags: int) -> int:
    # O_NOFOLLOW: a symlink planted at the lock's name must not make us create or lock another file.
    return os.open(path, flags | os.O_NOFOLLOW | os.O_CLOEXEC, 0o600)


def _read_holder(descriptor: int) -> tuple[int | None, str | None]:
    try:
        data = json.loads(os.pread(descriptor, 4096, 0).decode("utf-8"))
        pid, since = data.get("pid"), data.get("since")
    except (OSError, ValueError, AttributeError):
        return None, None  # not yet written by the holder, or not ours
    return (pid if isinstance(pid, int) else None), (since if isinstance(since, str) else None)


def _same_file(descriptor: int, path: Path) -> bool:
    """Whether `path` still names the file open at `descriptor` (a releasing holder unlinks it)."""
    try:
        named = os.stat(path, follow_symlinks=False)
    except FileNotFoundError:
        return False
    held = os.fstat(descriptor)
    return (named.st_dev, named.st_ino) == (held.st_dev, held.st_ino)


class SessionLock:
    """An exclusive hold on one session for this process; use `acquire`, release with `release`
    or by leaving a `with` block."""

    def __init__(self, session_path: str, descriptor: int) -> None:
        self.session_path = session_path
        self._descriptor: int | None = descriptor

    @classmethod
    def acquire(cls, session_path: str | Path) -> SessionLock:
        """Takes the session's lock at once; SessionLocked when another process holds it."""
        path = lock_path(session_path)
        while True:
            descriptor = _open_lock_file(path, os.O_RDWR | os.O_CREAT)
            try:
                fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)
            except BlockingIOError:
                pid, since = _read_holder(descriptor)
                os.close(descriptor)
                raise SessionLocked(str(session_path), pid, since) from None
            except BaseException:
                os.close(descriptor)
                raise
            if _same_file(descriptor, path):
                break
            os.close(descriptor)  # its holder released and removed it while we waited: take the new one
        holder = json.dumps({"pid": os.getpid(), "since": datetime.now().isoformat(timespec="seconds")})
        os.ftruncate(descriptor, 0)
        os.pwrite(descriptor, holder.encode("utf-8"), 0)
        return cls(str(session_path), descriptor)

    def release(self) -> None:
        """Gives the session up; the lock file goes with it. Calling it again does nothing."""
        if self._descriptor is None:
            return
        with contextlib.suppress(OSError):
            # Removed while still held: a run that opens it later finds it gone and makes a new one.
            if _same_file(self._descriptor, lock_path(self.session_path)):
                os.unlink(lock_path(self.session_path))
        os.close(self._descriptor)
        self._descriptor = None

    def __enter__(self) -> SessionLock:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.release()


def holder(session_path: str | Path) -> tuple[int | None, str | None] | None:
    """Who holds the session, as (pid, since), or None when nobody does; for showing a session
    read-only without taking it."""
    try:
        descriptor = _open_lock_file(lock_path(session_path), os.O_RDONLY)
    except FileNotFoundError:
        return None
    try:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_SH | fcntl.LOCK_NB)
        except BlockingIOError:
            return _read_holder(descriptor)
        return None
    finally:
        os.close(descriptor)
