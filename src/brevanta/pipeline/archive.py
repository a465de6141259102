"""Taking a session up again by its file: an archived one restored into the sessions folder, a completed
one reopened. One rule for every front end: only a regular `.json` file directly inside the folder,
named by itself or by a path whose folder is that folder as written. Nothing is resolved, so a link
anywhere on the way is refused, never followed; a FIFO is never opened; nothing is left behind by a
refusal."""

from __future__ import annotations

import os
import stat
from pathlib import Path
from typing import Any

from brevanta import durable, waymark
from brevanta.errors import os_reason
from brevanta.pipeline import session


class NoSuchSessionFile(Exception):
    """`name` is not a session file of the folder; the message says where they are."""

    def __init__(self, what: str, name: str, directory: Path) -> None:
        super().__init__(f"no {what} {name} (they are the .json files in {directory})")


class NotRestored(Exception):
    """The archived session stays where it is; the message says why. `taken`: a file of its name is in
    the sessions folder already."""

    def __init__(self, message: str, *, taken: bool = False) -> None:
        super().__init__(message)
        self.taken = taken


class NotReopened(ValueError):
    """The session is not a completed one, so there is nothing to reopen; nothing was changed."""


def session_file_in(directory: Path, name: str, what: str) -> Path:
    """The regular file `name` directly inside `directory`; NoSuchSessionFile for anything else."""
    given = Path(name)
    path = directory / given if given.parent == Path(".") else given
    refused = NoSuchSessionFile(what, name, directory)
    if "\0" in name or os.path.abspath(path.parent) != os.path.abspath(directory) or path.suffix != ".json":
        raise refused
    try:
        mode = os.lstat(path).st_mode
    except OSError:
        raise refused from None
    if not stat.S_ISREG(mode):
        raise refused
    return path


def restore(name: str) -> Path:
    """Moves the archived session `name` back into the sessions folder, never replacing a file there;
    returns where it now is. NoSuchSessionFile or NotRestored, and nothing moved, otherwise."""
    source = session_file_in(waymark.ARCHIVE_DIR, name, "archived session")
    target = waymark.SESSIONS_DIR / source.name
    try:
        durable.move_without_replacing(source, target)
    except FileExistsError:
        raise NotRestored(f"cannot restore {source.name}: {target} already exists; nothing was moved",
                          taken=True) from None
    except OSError as exc:
        raise NotRestored(f"cannot restore {source.name}: {os_reason(exc)}; nothing was moved") from None
    return target


def reopen(name: str) -> dict[str, Any]:
    """Makes the completed session `name` of the sessions folder unfinished again (see
    `session.reopen_file`); NoSuchSessionFile, NotReopened, SessionLocked or SessionNotSaved otherwise."""
    path = session_file_in(waymark.SESSIONS_DIR, name, "session")
    try:
        return session.reopen_file(path)
    except ValueError:
        raise NotReopened(f"{path.name} is not a completed session") from None
