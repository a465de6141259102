"""The sessions of the store as both front ends list them: each one's status (unfinished, complete,
archived), what it holds, its interview, when it was saved and what its model requests cost."""

from __future__ import annotations

from collections.abc import Iterable
from dataclasses import dataclass
from datetime import datetime
from typing import Any, TypeVar

from brevanta.pipeline import session
from brevanta.pipeline.session import Holdings, holdings, interview_name, state_of
from brevanta.pipeline.usage import cost_text, usage_summary

UNFINISHED, COMPLETE, ARCHIVED = "unfinished", "complete", "archived"


@dataclass(frozen=True)
class SessionSummary:
    path: str
    org_id: str
    status: str
    phase: str
    saved_at: str  # ISO, as stored; sorts by time
    saved: str  # saved_at as shown
    holdings: Holdings
    interview: str  # its interview, as `interview_name` shows it
    cost: str  # its model requests at list prices, "$0.12" ("~" for estimates); "" when unknown
    usage: str  # its model usage in words; "" without any


def shown_time(saved_at: str) -> str:
    try:
        return datetime.fromisoformat(saved_at).strftime("%Y-%m-%d %H:%M")
    except ValueError:
        return saved_at or "unknown"


def status_of(phase: str, archived: bool) -> str:
    return ARCHIVED if archived else COMPLETE if phase == session.COMPLETE_PHASE else UNFINISHED


def summarise(path: str, data: dict[str, Any], archived: bool) -> SessionSummary:
    """What a listing shows of one session file's content; every value read defensively."""
    state = state_of(data)
    phase = str(data.get("phase") or "unknown")
    saved_at = str(data.get("saved_at") or "")
    usage = state.get("usage")
    records = usage if isinstance(usage, list) else []
    return SessionSummary(
        path=path, org_id=str(data.get("org_id") or "unknown"), status=status_of(phase, archived), phase=phase,
        saved_at=saved_at, saved=shown_time(saved_at), holdings=holdings(state), interview=interview_name(state),
        cost=cost_text(records), usage=usage_summary(records) if records else "",
    )


Summary = TypeVar("Summary", bound=SessionSummary)


def by_organisation(summaries: Iterable[Summary]) -> dict[str, list[Summary]]:
    """The sessions grouped by organisation, the organisation worked on last first, each group newest first."""
    groups: dict[str, list[Summary]] = {}
    for summary in sorted(summaries, key=lambda item: item.saved_at, reverse=True):
        groups.setdefault(summary.org_id, []).append(summary)
    return groups


def sessions(org_ids: Iterable[str] | None) -> dict[str, list[SessionSummary]]:
    """The sessions of the organisation (under each of its ids), or of every organisation for None, by
    status, each list newest first."""
    ids = list(org_ids) if org_ids is not None else None

    def found(find: Any) -> list[dict[str, Any]]:
        return find(None) if ids is None else session.newest_first(find, ids)

    listed = {UNFINISHED: found(session.unfinished_sessions), COMPLETE: found(session.completed_sessions),
              ARCHIVED: found(session.archived_sessions)}
    return {status: [summarise(record["path"], record, status == ARCHIVED) for record in records]
            for status, records in listed.items()}
