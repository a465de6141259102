"""Where a session's decisions stand, for the report page: each gap's decision, the session's list
of decisions to change, what can be done next, and whether this page may change anything at all."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from brevanta.pipeline import decisions, severity
from brevanta.pipeline.lock import SessionLocked, holding
from brevanta.pipeline.readers import describe
from brevanta.pipeline.session import saved_analysis, session_record
from brevanta.pipeline.words import sentence
from brevanta.web.runs import run_of
from brevanta.web.sessionfiles import SessionRef

OPEN, ANSWERED, BYPASSED, LEFT_OPEN = "open", "answered", "bypassed", "left open"


@dataclass(frozen=True)
class GapDecision:
    status: str
    answer: str = ""


@dataclass(frozen=True)
class ListedDecision:
    index: int
    kind: str
    title: str
    answer: str


@dataclass(frozen=True)
class AttachedView:
    """One attached document as the page lists it: its name, "PDF, 1.2 MB", and its round."""

    name: str
    described: str
    round: int


def attached_views(attachments: list[dict[str, Any]]) -> list[AttachedView]:
    return [AttachedView(str(item.get("name") or "unnamed document"), describe(item.get("kind"), item.get("size")),
                         item["round"] if isinstance(item.get("round"), int) else 1) for item in attachments]


@dataclass
class WalkView:
    editable: bool
    read_only_reason: str
    in_use: bool  # another run, or another task of this server, holds the session
    analysed: bool  # the round's analysis is the one shown; False: the round waits for its analysis
    round: int
    by_number: dict[int, GapDecision] = field(default_factory=dict)
    decisions: list[ListedDecision] = field(default_factory=list)
    open_count: int = 0
    first_open: int = 0  # the number of the first open gap as the report lists them, 0 without one
    left_open_count: int = 0
    new_answers: int = 0
    attachments: list[AttachedView] = field(default_factory=list)


def _reason(ref: SessionRef, phase: str, held: SessionLocked | None) -> str:
    """Why the page may change nothing, or "" when it may."""
    if ref.place == "archive":
        return "This session is archived: restore it to work on it."
    if phase == "complete":
        return "This session is complete: reopen it to change its decisions and write the documents again."
    return "" if held is None else f"{sentence(str(held)).removesuffix('.')}: shown read-only."


def walk_of(ref: SessionRef, data: dict[str, Any]) -> WalkView:
    record = session_record(ref.path, data)
    run = run_of(record)
    result = saved_analysis(run)
    held = holding(ref.path)
    reason = _reason(ref, record["phase"], held)
    view = WalkView(editable=not reason, read_only_reason=reason, in_use=held is not None, analysed=result is not None, round=run.round,
                    new_answers=len(run.answers_of_round(run.round)),
                    attachments=attached_views(run.attachments))
    if result is None:
        return view
    answers = {answer.get("gap_id"): str(answer.get("answer", "")) for answer in run.answers_of_round(run.round)}
    for number, gap in enumerate(result.gaps, 1):
        if gap in run.left_open:
            view.by_number[number] = GapDecision(LEFT_OPEN)
        elif gap in result.bypassed_gaps:
            view.by_number[number] = GapDecision(BYPASSED)
        elif gap.get("id") in result.answered_gaps:
            view.by_number[number] = GapDecision(ANSWERED, answers.get(gap.get("id"), ""))
        else:
            view.by_number[number] = GapDecision(OPEN)
    open_numbers = [number for number, item in view.by_number.items() if item.status == OPEN]
    view.open_count = len(open_numbers)
    # The first as the report lists them: by rank, then in the analysis's order.
    view.first_open = min(open_numbers, key=lambda number: (severity.rank(result.gaps[number - 1]), number), default=0)
    view.left_open_count = len(run.left_open)
    view.decisions = [ListedDecision(index, decision.kind, decision.title, decision.answer)
                      for index, decision in enumerate(decisions.decisions(run, result))]
    return view
