"""Files written whole or not at all, beside numbered backups of what they replace.

Every write goes through a temporary file in the target's directory, is flushed to the disk, and
takes the target's name in one rename; the directory is flushed after it. A replaced file is kept
as `NAME.~N~`, a name claimed with a hard link, which fails when the name is taken, so two writers
never claim the same backup. The backup and the rename happen under an advisory lock on the
directory, so two writers of one file cannot both back up the same old version and lose the other's.

A writer killed with -9 leaves its temporary file behind; its name (`.NAME.tmp-PID-XXXX`, as the session
store names its own) says which process wrote it, so the next write into that folder removes those
whose writer is gone, once they are a few minutes old.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import re
import stat
import tempfile
import time
from collections.abc import Iterator
from pathlib import Path

_BACKUP_NUMBER = r"\.~(\d+)~"
# Hard links are not offered by every file system; these errors say so, and a rename stands in.
_NO_HARD_LINKS = (errno.EPERM, errno.EXDEV, errno.EMLINK, errno.ENOTSUP, errno.EOPNOTSUPP)

# A temporary file of ours or of the session store: `.NAME.tmp-PID-XXXX`; and of earlier versions of this
# module, which did not name the writer: `.NAME.XXXXXXXX.tmp`.
_TEMPORARY = re.compile(r"\..+\.tmp-(\d+)-\w+")
_UNNAMED_WRITER = re.compile(r"\..+\.\w{8}\.tmp")
LEFTOVER_AGE = 300.0  # seconds: far longer than any write takes
_SWEEP_INTERVAL = 60.0  # seconds between two sweeps of one folder by one process
_swept: dict[str, float] = {}


def _running(pid: int) -> bool:
    if pid <= 0:
        return False
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OverflowError:  # no process has such a number
        return False
    except PermissionError:  # another user's process
        return True
    return True


def _leftover(entry: os.DirEntry[str], now: float) -> bool:
    """Whether `entry` is a temporary file a gone writer left: its name, its age and its writer say so."""
    named = _TEMPORARY.fullmatch(entry.name)
    if named is None and _UNNAMED_WRITER.fullmatch(entry.name) is None:
        return False
    try:
        info = entry.stat(follow_symlinks=False)
    except OSError:
        return False
    if not stat.S_ISREG(info.st_mode) or now - info.st_mtime < LEFTOVER_AGE:
        return False
    return named is None or not _running(int(named.group(1)))


def sweep_leftovers(directory: Path) -> int:
    """Removes the temporary files that writers killed before they finished left in `directory`: at most
    once a minute per folder. Returns how many were removed; a folder that cannot be read is left alone."""
    key = os.path.abspath(directory)
    started = time.monotonic()
    if started - _swept.get(key, -_SWEEP_INTERVAL) < _SWEEP_INTERVAL:
        return 0
    _swept[key] = started
    removed = 0
    try:
        with os.scandir(directory) as entries:
            now = time.time()
            for entry in entries:
                if entry.name.startswith(".") and _leftover(entry, now):
                    with contextlib.suppress(OSError):
                        os.unlink(entry.path)
                        removed += 1
    except OSError:
        pass
    return removed


def _next_backup(path: Path) -> Path:
    """The next numbered backup name, one above the highest in the directory."""
    pattern = re.compile(re.escape(path.name) + _BACKUP_NUMBER)
    numbers = [int(match.group(1)) for entry in os.listdir(path.parent) if (match := pattern.fullmatch(entry))]
    return path.with_name(f"{path.name}.~{max(numbers, default=0) + 1}~")


def _keep_existing(path: Path) -> Path | None:
    """Keeps what is at `path` under a numbered backup name claimed exclusively; None when nothing is there."""
    if not os.path.lexists(path):
        return None
    if path.is_dir() and not path.is_symlink():
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), str(path))
    while True:
        backup = _next_backup(path)
        try:
            # A second name for the old file: the document keeps its name until the new one replaces it.
            os.link(path, backup, follow_symlinks=False)
            return backup
        except FileExistsError:
            continue  # claimed by another writer since the directory was read
        except OSError as exc:
            if exc.errno not in _NO_HARD_LINKS:
                raise
        try:
            # No hard links here: claim the name with an empty file, then move the old file onto it.
            os.close(os.open(backup, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o600))
        except FileExistsError:
            continue
        os.rename(path, backup)
        return backup


def _new_file_mode(path: Path) -> int:
    if path.is_file():
        return path.stat().st_mode & 0o7777
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


def fsync_directory(directory: Path) -> None:
    """Makes the names in `directory` (a rename, a new link) survive a crash."""
    descriptor = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


@contextlib.contextmanager
def _directory_locked(directory: Path) -> Iterator[None]:
    """Holds an exclusive advisory lock on `directory` itself: no lock file is left behind."""
    descriptor = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        try:
            fcntl.flock(descriptor, fcntl.LOCK_EX)
        except OSError as exc:
            # A file system without advisory locks: the exclusive backup names still keep
            # concurrent writers apart, only the rare lost version is no longer ruled out.
            if exc.errno not in (errno.ENOLCK, errno.EOPNOTSUPP, errno.ENOTSUP):
                raise
        yield
    finally:
        os.close(descriptor)  # releases the lock


def _temporary_copy(path: Path, data: bytes, mode: int | None) -> str:
    """`data` in a new temporary file beside `path`, on the disk, with the mode `path` will have."""
    descriptor, temporary = tempfile.mkstemp(prefix=f".{path.name}.tmp-{os.getpid()}-", dir=path.parent)
    try:
        with open(descriptor, "wb") as file:
            file.write(data)
            file.flush()
            os.fchmod(file.fileno(), _new_file_mode(path) if mode is None else mode)
            os.fsync(file.fileno())
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    return temporary


def write_file(path: Path, data: bytes, *, keep_backup: bool = True, mode: int | None = None) -> Path | None:
    """Writes `data` to `path` whole or not at all. With `keep_backup`, what was at `path` is kept
    as the next numbered backup (`PRD.md.~1~`), whose path is returned; else None. `mode`, when given,
    is the file's (0o600 for a private one); else an existing file's mode is kept."""
    path.parent.mkdir(parents=True, exist_ok=True)
    sweep_leftovers(path.parent)
    temporary = _temporary_copy(path, data, mode)
    try:
        with _directory_locked(path.parent):
            backup = _keep_existing(path) if keep_backup else None
            os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    fsync_directory(path.parent)
    return backup


def _not_regular(source: Path) -> OSError:
    return OSError(errno.EINVAL, "not a regular file", str(source))


def _copy_exclusively(source: Path, target: Path) -> None:
    """`source`'s bytes in the new file `target`, for a file system without hard links; nothing at
    `target` when it fails. A link or a FIFO at `source` is neither followed nor waited on."""
    descriptor = os.open(source, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    with open(descriptor, "rb") as original:
        if not stat.S_ISREG(os.fstat(descriptor).st_mode):
            raise _not_regular(source)
        data = original.read()
    try:
        with open(target, "xb") as copy:
            copy.write(data)
            copy.flush()
            os.fsync(copy.fileno())
    except FileExistsError:
        raise
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(target)
        raise


def move_without_replacing(source: Path, target: Path) -> None:
    """Moves the regular file `source` to `target`; FileExistsError, and nothing moved, when `target`
    exists; an OSError, and nothing moved, when `source` is not a regular file (a link, a FIFO, a folder)."""
    try:
        os.link(source, target, follow_symlinks=False)  # fails when the name is taken, however it was taken
    except OSError as exc:
        if exc.errno not in _NO_HARD_LINKS:
            raise
        _copy_exclusively(source, target)  # a folder (EPERM) or a file system without hard links
    else:
        if not stat.S_ISREG(os.lstat(target).st_mode):  # a link or a FIFO, linked as itself
            os.unlink(target)
            raise _not_regular(source)
    os.unlink(source)
    fsync_directory(target.parent)
