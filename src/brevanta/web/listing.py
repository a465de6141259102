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
from datetime import datetime
from typing import Any

from brevanta.pipeline.interview import STDIN
from brevanta.pipeline.lock import LOCK_SUFFIX, holder, holder_words
from brevanta.pipeline.usage import totals
from brevanta.pipeline.session import state_of
from brevanta.pipeline.session_files import glance
from brevanta.web.sessionfiles import SessionRef, directory_of

UNFINISHED, COMPLETE, ARCHIVED = "unfinished", "complete", "archived"


@dataclass(frozen=True)
class SessionSummary:
    ref: SessionRef
    org_id: str
    status: str
    phase: str
    saved_at: str  # ISO, as stored; sorts by time
    round: int
    answers: int
    bypassed: int
    open_gaps: int | None
    interview: str
    documents: tuple[str, ...]
    cost: str  # what its model requests cost at list prices, "" when unknown
    saved: str  # saved_at as shown
    title: str  # what names it in the list: its interview, else its file

    held_by: str = ""  # who holds the session now, when anybody does


def shown_time(saved_at: str) -> str:
    try:
        return datetime.fromisoformat(saved_at).strftime("%Y-%m-%d %H:%M")
    except ValueError:
        return saved_at or "unknown"


def _count(state: dict[str, Any], key: str) -> int:
    value = state.get(key)
    return sum(1 for item in value if isinstance(item, dict)) if isinstance(value, list) else 0


def _whole(value: Any, default: int) -> int:
    return value if isinstance(value, int) and not isinstance(value, bool) and value >= 0 else default


def _interview_name(state: dict[str, Any]) -> str:
    """The uploaded or read file's name as its reader kept it; for an older session, its path's."""
    path, kept = state.get("interview_file"), state.get("interview_source")
    name = kept.get("name") if isinstance(kept, dict) else None
    if isinstance(name, str) and name:
        return name
    if not isinstance(path, str):
        return ""
    return "pasted interview" if path == STDIN else os.path.basename(path)


def _cost(records: Any) -> str:
    """The session's model cost, "$0.12" (with "~" when the counts are estimates); "" without usage or
    when a model's price is unknown."""
    if not isinstance(records, list) or not records:
        return ""
    total = totals(records)
    if total.cost is None:
        return ""
    return f"{'~' if total.estimated else ''}${total.cost:,.2f}"


def summarise(ref: SessionRef, data: dict[str, Any]) -> SessionSummary:
    """What the sessions page shows of one session file; every value read defensively."""
    state = state_of(data)
    phase = str(data.get("phase") or "unknown")
    status = ARCHIVED if ref.place == "archive" else COMPLETE if phase == "complete" else UNFINISHED
    interview = _interview_name(state)
    written = state.get("documents_written")
    open_gaps = state.get("open_gaps")
    return SessionSummary(
        ref=ref,
        org_id=str(data.get("org_id") or "unknown"),
        status=status,
        phase=phase,
        saved_at=str(data.get("saved_at") or ""),
        round=max(1, _whole(state.get("round"), 1)),
        answers=_count(state, "interview_answers"),
        bypassed=_count(state, "bypassed_gaps"),
        open_gaps=_whole(open_gaps, 0) if isinstance(open_gaps, int) else None,
        interview=interview,
        documents=tuple(str(kind).upper() for kind in written if isinstance(kind, str))
        if isinstance(written, list) else (),
        cost=_cost(state.get("usage")),
        saved=shown_time(str(data.get("saved_at") or "")),
        title=interview or ref.name,
    )


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
        groups: dict[str, list[SessionSummary]] = {}
        for summary in sorted(self.sessions(), key=lambda item: item.saved_at, reverse=True):
            groups.setdefault(summary.org_id, []).append(summary)
        return [Organisation(org_id, sessions) for org_id, sessions in groups.items()]
