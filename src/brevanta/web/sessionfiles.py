"""One session file of the store, named in a page's address and read without trusting the disk:
only a regular file directly inside the sessions or archive directory, never a link or a FIFO."""

from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from brevanta import waymark
from brevanta.pipeline.session import read_session_file

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


def read_session(ref: SessionRef) -> dict[str, Any] | None:
    return read_session_file(ref.path)

