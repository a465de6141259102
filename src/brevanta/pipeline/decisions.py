"""What the user decides about each gap of an analysis, and changing it later. Every decision is
saved in the session before the function returns, so the next question is asked with it on disk."""

from __future__ import annotations

from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

from brevanta.pipeline import session
from brevanta.pipeline.session import Run
from brevanta.pipeline.severity import is_critical as is_critical  # asked before a bypass

if TYPE_CHECKING:
    from brevanta import gapscope

ANSWERED, BYPASSED = "answered", "bypassed"
# Asked before a critical gap is bypassed, by either front end.
CRITICAL_BYPASS_QUESTION = "This gap is critical: bypass it anyway?"


def gap_question(gap: dict[str, Any]) -> str:
    return str(gap.get("question") or gap.get("title") or "What is missing here?")


def open_gaps(result: gapscope.AnalysisResult, run: Run) -> list[dict[str, Any]]:
    """The gaps neither answered nor bypassed nor left for a later round."""
    return [gap for gap in result.get_unanswered_gaps() if gap not in run.left_open]


def answer(run: Run, result: gapscope.AnalysisResult, gap: dict[str, Any], text: str) -> None:
    result.answered_gaps.append(gap.get("id"))
    run.answers.append({"question": gap_question(gap), "answer": text, "gap_id": gap.get("id"), "round": run.round})
    session.save(run, result)


def bypass(run: Run, result: gapscope.AnalysisResult, gap: dict[str, Any]) -> None:
    result.bypassed_gaps.append(gap)
    session.save(run, result)


def leave_open(run: Run, result: gapscope.AnalysisResult, gap: dict[str, Any]) -> None:
    run.left_open.append(gap)
    session.save(run, result)


def bypass_all(run: Run, result: gapscope.AnalysisResult) -> int:
    """Bypasses every open gap; returns how many."""
    gaps = open_gaps(result, run)
    result.bypassed_gaps.extend(gaps)
    session.save(run, result)
    return len(gaps)


# -- revisiting ---------------------------------------------------------------


@dataclass(frozen=True)
class Decision:
    """One decision of the session as the user reviews it: an answer or a bypass."""

    kind: str  # ANSWERED or BYPASSED
    title: str
    answer: str  # the answer's text; "" for a bypass
    record: dict[str, Any]  # the answer in run.answers, or the gap in the bypassed gaps


def _title_of_answer(result: gapscope.AnalysisResult, record: dict[str, Any]) -> str:
    gap_id = record.get("gap_id")
    for gap in result.gaps:
        if gap_id is not None and gap.get("id") == gap_id:
            return str(gap.get("title") or gap_question(gap))
    return str(record.get("question") or "An earlier question")


def decisions(run: Run, result: gapscope.AnalysisResult) -> list[Decision]:
    """Every answer (of every round), then every bypass, in the order they were made."""
    answered = [Decision(ANSWERED, _title_of_answer(result, record), str(record.get("answer", "")), record)
                for record in run.answers]
    bypassed = [Decision(BYPASSED, str(gap.get("title", "Unknown")), "", gap) for gap in result.bypassed_gaps]
    return answered + bypassed


def question_of(decision: Decision) -> str:
    """The question a decision answers, or would answer: the one asked, else the gap's own."""
    if decision.kind == ANSWERED and decision.record.get("question"):
        return str(decision.record["question"])
    return gap_question(decision.record)


def _remove(items: list[Any], record: object) -> None:
    """Removes `record` itself (not an equal one) from `items`."""
    for position, item in enumerate(items):
        if item is record:
            del items[position]
            return


def _changed(run: Run, result: gapscope.AnalysisResult) -> None:
    """A changed decision makes the documents written on the old ones, and the replies they came from, out of date."""
    run.written, run.replies = [], {}
    if run.phase == session.RENDER_PHASE:
        run.phase = session.ANALYSIS_PHASE
    session.save(run, result)


def edit_answer(run: Run, result: gapscope.AnalysisResult, decision: Decision, text: str) -> None:
    decision.record["answer"] = text
    _changed(run, result)


def answer_bypassed(run: Run, result: gapscope.AnalysisResult, decision: Decision, text: str) -> None:
    """Turns a bypass into an answer."""
    _remove(result.bypassed_gaps, decision.record)
    result.answered_gaps.append(decision.record.get("id"))
    run.answers.append({"question": gap_question(decision.record), "answer": text,
                        "gap_id": decision.record.get("id"), "round": run.round})
    _changed(run, result)


def reopen(run: Run, result: gapscope.AnalysisResult, decision: Decision) -> None:
    """Takes a decision back: the gap is open again (an answer of an earlier round is dropped)."""
    if decision.kind == BYPASSED:
        _remove(result.bypassed_gaps, decision.record)
    else:
        _remove(run.answers, decision.record)
        gap_id = decision.record.get("gap_id")
        if decision.record.get("round") == run.round and gap_id in result.answered_gaps:
            result.answered_gaps.remove(gap_id)
    _changed(run, result)


def take_back_leave(run: Run, result: gapscope.AnalysisResult, gap: dict[str, Any]) -> None:
    """A gap left for a later round is open again in this one."""
    run.left_open.remove(gap)
    session.save(run, result)
