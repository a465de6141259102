"""One session file of the store, named in a page's address and read without trusting the disk:
only a regular file directly inside the sessions or archive directory, never a link or a FIFO."""

from __future__ import annotations

import json
import os
import re
import stat
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from brevanta import waymark

# What a session file name can be: the store names them <org>_<date>_<time>[...].json.
_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]*\.json")
PLACES = ("live", "archive")  # the sessions directory and its archive, as the addresses say


def directory_of(place: str) -> Path:
    return waymark.ARCHIVE_DIR if place == "archive" else waymark.SESSIONS_DIR


@dataclass(frozen=True)
class SessionRef:
    """A session file by where it lies and its name; only ever a name directly inside that directory."""

    place: str
    name: str

    @classmethod
    def parse(cls, place: str, name: str) -> SessionRef | None:
        if place not in PLACES or not _NAME.fullmatch(name):
            return None
        return cls(place, name)

    @property
    def path(self) -> Path:
        return directory_of(self.place) / self.name

    @property
    def key(self) -> str:
        return f"{self.place}/{self.name}"


def read_json_file(path: Path) -> dict[str, Any] | None:
    """The JSON object in a regular file, or None for anything else: a link, a FIFO, a device, a
    directory, a file that vanished, text that is not a JSON object. A FIFO is never opened."""
    try:
        if not stat.S_ISREG(os.lstat(path).st_mode):
            return None
        # O_NONBLOCK: should a FIFO take the file's place after the check, opening it does not wait.
        descriptor = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except OSError:
        return None
    try:
        with os.fdopen(descriptor, "rb") as file:
            if not stat.S_ISREG(os.fstat(file.fileno()).st_mode):
                return None
            data = json.loads(file.read().decode("utf-8"))
    except (OSError, ValueError):
        return None
    return data if isinstance(data, dict) else None


def read_session(ref: SessionRef) -> dict[str, Any] | None:
    return read_json_file(ref.path)


def state_of(data: dict[str, Any]) -> dict[str, Any]:
    state = data.get("state")
    return state if isinstance(state, dict) else {}
