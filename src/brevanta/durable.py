"""Files written whole or not at all, beside numbered backups of what they replace.

Every write goes through a temporary file in the target's directory, is flushed to the disk, and
takes the target's name in one rename; the directory is flushed after it. A replaced file is kept
as `NAME.~N~`, a name claimed with a hard link, which fails when the name is taken, so two writers
never claim the same backup. The backup and the rename happen under an advisory lock on the
directory, so two writers of one file cannot both back up the same old version and lose the other's.
"""

from __future__ import annotations

import contextlib
import errno
import fcntl
import os
import re
import tempfile
from collections.abc import Iterator
from pathlib import Path

_BACKUP_NUMBER = r"\.~(\d+)~"
# Hard links are not offered by every file system; these errors say so, and a rename stands in.
_NO_HARD_LINKS = (errno.EPERM, errno.EXDEV, errno.EMLINK, errno.ENOTSUP, errno.EOPNOTSUPP)


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
    descriptor, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=path.parent)
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


def move_without_replacing(source: Path, target: Path) -> None:
    """Moves `source` to `target`; FileExistsError, and nothing moved, when `target` exists."""
    try:
        os.link(source, target, follow_symlinks=False)  # fails when the name is taken, however it was taken
    except OSError as exc:
        if exc.errno not in _NO_HARD_LINKS:
            raise
        with open(target, "xb") as copy:  # a file system without hard links
            copy.write(source.read_bytes())
            copy.flush()
            os.fsync(copy.fileno())
    os.unlink(source)
    fsync_directory(target.parent)
