"""One session file of the store, named in a page's address and read without trusting the disk:
only a regular file directly inside the sessions or archive directory, never a link or a FIFO."""

from __future__ import annotations

import re
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from starlette.exceptions import HTTPException
from starlette.requests import Request

from brevanta import waymark
from brevanta.pipeline.session import read_session_file
from brevanta.pipeline.session_files import glance

# What a session file name can be: the store names them <org>_<date>_<time>[...].json.
_NAME = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]*\.json")
PLACES = ("live", "archive")  # the sessions directory and its archive, as the addresses say
SESSION_PATH = "/session/{place}/{name}"  # the address of a session's pages, by place and file name
NO_SUCH_SESSION = "There is no such session (it may have been archived or restored since): go back to the sessions."


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


def session_ref(request: Request) -> SessionRef:
    """The session a page's address names; 404 for a name the store would never give."""
    ref = SessionRef.parse(request.path_params["place"], request.path_params["name"])
    if ref is None:
        raise HTTPException(404, NO_SUCH_SESSION)
    return ref


def session_data(ref: SessionRef) -> dict[str, Any]:
    """The session of `ref` for showing it (a large file's long texts shortened); 404 when it is none."""
    data = glance(ref.path)
    if data is None:
        raise HTTPException(404, NO_SUCH_SESSION)
    return data
