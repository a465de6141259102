"""Every session of the store for the sessions page: unfinished and complete ones in the sessions
directory, archived ones in the archive, grouped by organisation, newest first.

A page with a thousand sessions is shown often and changes little, so each file's summary is kept
until the file changes (its inode, size or modification time); only new or changed files are read.
"""

from __future__ import annotations

import dataclasses
import os
import threading
from dataclasses import dataclass
from typing import Any

from brevanta.pipeline import listing
from brevanta.pipeline.lock import LOCK_SUFFIX, holder, holder_words
from brevanta.pipeline.session_files import glance
from brevanta.web.sessionfiles import SessionRef, directory_of


@dataclass(frozen=True, kw_only=True)
class SessionSummary(listing.SessionSummary):
    """A session as the sessions page lists it: the pipeline's summary, where its page is, who holds it."""

    ref: SessionRef
    held_by: str = ""  # who holds the session now, when anybody does

    @property
    def title(self) -> str:
        """What names it in the list: its interview, else its file."""
        return self.interview or self.ref.name


def summarise(ref: SessionRef, data: dict[str, Any]) -> SessionSummary:
    """What the pages show of one session file; every value read defensively."""
    summary = listing.summarise(str(ref.path), data, archived=ref.place == "archive")
    return SessionSummary(**vars(summary), ref=ref)


def _holder_text(ref: SessionRef) -> str:
    held = holder(ref.path)
    return "" if held is None else holder_words(*held)


@dataclass(frozen=True)
class Organisation:
    org_id: str
    sessions: list[SessionSummary]


class SessionIndex:
    """The summaries of the store's session files, re-read only when a file changes."""

    def __init__(self) -> None:
        self._known: dict[str, tuple[tuple[int, int, int], SessionSummary | None]] = {}
        self._lock = threading.Lock()

    def _scan(self, place: str, seen: set[str]) -> list[SessionSummary]:
        summaries = []
        try:
            entries = list(os.scandir(directory_of(place)))
        except FileNotFoundError:
            return []
        names = {entry.name for entry in entries}
        for entry in entries:
            # The directory entry's type: a link, a FIFO or a directory is passed over unopened.
            if not entry.name.endswith(".json") or not entry.is_file(follow_symlinks=False):
                continue
            try:
                info = entry.stat(follow_symlinks=False)
            except OSError:
                continue
            key, version = f"{place}/{entry.name}", (info.st_ino, info.st_size, info.st_mtime_ns)
            seen.add(key)
            known = self._known.get(key)
            if known is None or known[0] != version:
                known = (version, self._read(place, entry.name))
                self._known[key] = known
            summary = known[1]
            if summary is None:
                continue
            held = _holder_text(summary.ref) if entry.name + LOCK_SUFFIX in names else ""
            summaries.append(dataclasses.replace(summary, held_by=held) if held else summary)
        return summaries

    @staticmethod
    def _read(place: str, name: str) -> SessionSummary | None:
        ref = SessionRef.parse(place, name)
        data = glance(ref.path) if ref is not None else None
        return summarise(ref, data) if ref is not None and data is not None else None

    def sessions(self) -> list[SessionSummary]:
        with self._lock:
            seen: set[str] = set()
            found = self._scan("live", seen) + self._scan("archive", seen)
            for gone in self._known.keys() - seen:
                del self._known[gone]
        return found

    def organisations(self) -> list[Organisation]:
        """Every organisation's sessions, newest first; the organisation worked on last comes first."""
        return [Organisation(org_id, sessions) for org_id, sessions in listing.by_organisation(self.sessions()).items()]
