"""Advisory locks on files of the store: one run per session, and one analysis per interview text.

A session's lock is `<session>.json.lock` beside its file; the lock of an interview text being analysed
for a new session is `.analysing-<SHA-256>.lock` in the sessions folder. Either is taken without waiting
(an interview's can be waited for), as an open-file-description lock (`F_OFD_SETLK`): the kernel drops
it when the holding process ends, however it ends, so a killed run never leaves a stale lock, and two
holders in one process (two tasks of the server) exclude each other. Runs of earlier versions locked
with `flock`, a separate family: a holder takes both, so the two never hold one session at once.

Who holds a lock is read without taking any (`F_OFD_GETLK`), so looking never makes a free session
look taken. The file holds the holder's process id and start time, so a refusal can say who and since
when. A lock file is opened without following a link and without waiting on a FIFO, and only a regular
file is used: anything else at its name is a refusal that says so, never a hang or a failure.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import json
import os
import stat
import struct
import threading
import time
from datetime import datetime
from pathlib import Path
from types import TracebackType

from brevanta.pipeline.times import when

LOCK_SUFFIX = ".lock"
INTERVIEW_LOCK_PREFIX = ".analysing-"

# Python names the open-file-description commands on Linux from 3.9 on; their numbers are the kernel's.
_F_OFD_GETLK = getattr(fcntl, "F_OFD_GETLK", 36)
_F_OFD_SETLK = getattr(fcntl, "F_OFD_SETLK", 37)
# struct flock: l_type, l_whence, l_start, l_len, l_pid (0 for an open-file-description lock), padded.
_FLOCK = struct.Struct("hhqqi4x")
_WHOLE_FILE_WRITE = _FLOCK.pack(fcntl.F_WRLCK, os.SEEK_SET, 0, 0, 0)
_WAIT_STEP = 0.1  # seconds between two attempts of a waiting lock


def lock_path(session_path: str | Path) -> Path:
    path = Path(session_path)
    return path.with_name(path.name + LOCK_SUFFIX)


def interview_lock_path(directory: Path, interview_sha256: str) -> Path:
    return directory / f"{INTERVIEW_LOCK_PREFIX}{interview_sha256}{LOCK_SUFFIX}"


def holder_words(pid: int | None, since: str | None) -> str:
    """Who holds a lock, in words: "process 4242 since 2026-12-01 10:00:00"."""
    if pid is None:
        who = "an unknown process"
    elif pid == os.getpid():
        who = f"another task of this process ({pid})"
    else:
        who = f"process {pid}"
    return f"{who} since {when(since)}" if since else who


class Held(Exception):
    """A lock another holder has; `pid` and `since` (ISO local time) say who and since when, None when
    it has not written them (yet). `problem` says why the lock could not be taken at all, when that is
    the cause: the lock file is not a file, or cannot be opened."""

    def __init__(self, pid: int | None, since: str | None, problem: str | None = None) -> None:
        super().__init__(problem or holder_words(pid, since))
        self.pid = pid
        self.since = since
        self.problem = problem


class SessionLocked(Held):
    """Another run holds the session (or its lock file is unusable): the one wording of "in use"."""

    def __init__(self, session_path: str, pid: int | None, since: str | None, problem: str | None = None) -> None:
        super().__init__(pid, since, problem)
        self.session_path = session_path

    def __str__(self) -> str:
        name = Path(self.session_path).name
        if self.problem:
            return f"the session {name} cannot be taken: {self.problem}"
        return f"the session {name} is in use by {holder_words(self.pid, self.since)}"


class InterviewBusy(Held):
    """The same interview text is being analysed for a new session by another run."""

    def __str__(self) -> str:
        if self.problem:
            return f"this interview cannot be analysed now: {self.problem}"
        return f"this interview is being analysed by {holder_words(self.pid, self.since)}"


# -- the lock file ----------------------------------------------------------------------


def _problem(path: Path, error: OSError | None = None) -> str:
    if error is None or error.errno in (errno.ELOOP, errno.EISDIR, errno.ENXIO):
        return f"its lock file {path} is not a regular file; remove it and try again"
    return f"its lock file {path} cannot be opened ({error.strerror or error}); check the folder's permissions"


def _open_lock_file(path: Path, flags: int) -> int:
    """A descriptor of the regular file at `path`. O_NOFOLLOW: a link planted at the lock's name is never
    followed; O_NONBLOCK: a FIFO there does not make the open wait. ValueError for anything not a file."""
    descriptor = os.open(path, flags | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC, 0o600)
    try:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise ValueError(path)
    except BaseException:
        os.close(descriptor)
        raise
    return descriptor


def _read_holder(descriptor: int) -> tuple[int | None, str | None]:
    try:
        data = json.loads(os.pread(descriptor, 4096, 0).decode("utf-8"))
        pid, since = data.get("pid"), data.get("since")
    except (OSError, ValueError, AttributeError):
        return None, None  # not yet written by the holder, or not ours
    pid_ok = isinstance(pid, int) and not isinstance(pid, bool) and pid > 0
    return (pid if pid_ok else None), (since if isinstance(since, str) else None)


def _same_file(descriptor: int, path: Path) -> bool:
    """Whether `path` still names the file open at `descriptor` (a releasing holder unlinks it)."""
    try:
        named = os.stat(path, follow_symlinks=False)
    except FileNotFoundError:
        return False
    held = os.fstat(descriptor)
    return (named.st_dev, named.st_ino) == (held.st_dev, held.st_ino)


def _lock_now(descriptor: int) -> None:
    """Takes both lock families on the file at once; BlockingIOError when another holder has either."""
    try:
        fcntl.fcntl(descriptor, _F_OFD_SETLK, _WHOLE_FILE_WRITE)
    except PermissionError:  # EACCES: some systems say "held" so
        raise BlockingIOError(errno.EAGAIN, "held") from None
    fcntl.flock(descriptor, fcntl.LOCK_EX | fcntl.LOCK_NB)  # a run of an earlier version holds only this


def _take(path: Path) -> int:
    """The lock at `path`, taken at once: its descriptor, the holder written into it. Held when another
    holder has it, or when the lock file cannot be used."""
    while True:
        try:
            descriptor = _open_lock_file(path, os.O_RDWR | os.O_CREAT)
        except ValueError:
            raise Held(None, None, _problem(path)) from None
        except OSError as error:
            raise Held(None, None, _problem(path, error)) from None
        try:
            _lock_now(descriptor)
        except BlockingIOError:
            pid, since = _read_holder(descriptor)
            os.close(descriptor)
            raise Held(pid, since) from None
        except OSError as error:
            os.close(descriptor)
            raise Held(None, None, _problem(path, error)) from None
        except BaseException:
            os.close(descriptor)
            raise
        if _same_file(descriptor, path):
            break
        os.close(descriptor)  # its holder released and removed it while we waited: take the new one
    holder = json.dumps({"pid": os.getpid(), "since": datetime.now().isoformat(timespec="seconds")})
    with contextlib.suppress(OSError):  # a full disk: held all the same, by a holder others cannot name
        os.ftruncate(descriptor, 0)
        os.pwrite(descriptor, holder.encode("utf-8"), 0)
    return descriptor


def _probe(path: Path) -> Held | None:
    """Who holds the lock at `path`, or None when nobody does; takes no lock. A lock file that cannot
    be looked at reads as held by an unknown process, with the problem that says why."""
    try:
        descriptor = _open_lock_file(path, os.O_RDONLY)
    except FileNotFoundError:
        return None
    except ValueError:
        return Held(None, None, _problem(path))
    except OSError as error:
        return Held(None, None, _problem(path, error))
    try:
        found = _FLOCK.unpack(fcntl.fcntl(descriptor, _F_OFD_GETLK, _WHOLE_FILE_WRITE))
        return None if found[0] == fcntl.F_UNLCK else Held(*_read_holder(descriptor))
    except OSError as error:
        return Held(None, None, _problem(path, error))
    finally:
        os.close(descriptor)


class _FileLock:
    """A lock held by this process on one file; released with `release` or by leaving a `with` block."""

    def __init__(self, path: Path, descriptor: int) -> None:
        self.path = path
        self._descriptor: int | None = descriptor

    def release(self) -> None:
        """Gives the lock up; its file goes with it. Calling it again does nothing."""
        if self._descriptor is None:
            return
        with contextlib.suppress(OSError):
            # Removed while still held: whoever opens it later finds it gone and makes a new one.
            if _same_file(self._descriptor, self.path):
                os.unlink(self.path)
        os.close(self._descriptor)
        self._descriptor = None


class SessionLock(_FileLock):
    """An exclusive hold on one session for this process."""

    def __init__(self, session_path: str, descriptor: int) -> None:
        super().__init__(lock_path(session_path), descriptor)
        self.session_path = session_path

    @classmethod
    def acquire(cls, session_path: str | Path) -> SessionLock:
        """Takes the session's lock at once; SessionLocked when another process (or another holder in
        this one) has it, or when its lock file is unusable."""
        try:
            descriptor = _take(lock_path(session_path))
        except Held as held:
            raise SessionLocked(str(session_path), held.pid, held.since, held.problem) from None
        return cls(str(session_path), descriptor)

    def __enter__(self) -> SessionLock:
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self.release()


def holding(session_path: str | Path) -> SessionLocked | None:
    """Who holds the session, or None when nobody does; for showing a session read-only, or refusing
    it before the user is asked about it, without taking it."""
    held = _probe(lock_path(session_path))
    return None if held is None else SessionLocked(str(session_path), held.pid, held.since, held.problem)


def holder(session_path: str | Path) -> tuple[int | None, str | None] | None:
    """Who holds the session, as (pid, since), or None when nobody does."""
    held = _probe(lock_path(session_path))
    return None if held is None else (held.pid, held.since)


class InterviewLock(_FileLock):
    """This process analyses an interview text for a new session: nobody else does so at the same time.
    Held from before the session exists until the session file is there and locked."""

    @classmethod
    def acquire(cls, directory: Path, interview_sha256: str, *, wait: bool = False,
                cancel: threading.Event | None = None) -> InterviewLock:
        """Takes the lock of the interview text; InterviewBusy when another run has it, unless `wait`:
        then waits until it is free, or until `cancel` is set (InterviewBusy then too)."""
        path = interview_lock_path(directory, interview_sha256)
        while True:
            try:
                return cls(path, _take(path))
            except Held as held:
                if not wait or held.problem or (cancel is not None and cancel.is_set()):
                    raise InterviewBusy(held.pid, held.since, held.problem) from None
            if cancel is None:
                time.sleep(_WAIT_STEP)
            elif cancel.wait(_WAIT_STEP):
                raise InterviewBusy(None, None, "the wait was cancelled")


def interview_holder(directory: Path, interview_sha256: str) -> InterviewBusy | None:
    """Who is analysing the interview text for a new session, or None."""
    held = _probe(interview_lock_path(directory, interview_sha256))
    return None if held is None else InterviewBusy(held.pid, held.since, held.problem)
