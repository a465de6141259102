"""The decisions the browser sends: one gap answered, bypassed or left open, an earlier decision
changed, every open gap bypassed, a document attached, the round closed. Each is made on the session
taken for that one request and saved by the pipeline before the answer goes back."""

from __future__ import annotations

from typing import TYPE_CHECKING, Any

from brevanta.pipeline import decisions
from brevanta.web.runs import STALE, Opened, Refused, opened
from brevanta.web.sessionfiles import SessionRef

if TYPE_CHECKING:
    from brevanta.pipeline.readers import SourceText

ANSWER, BYPASS, LEAVE, REOPEN = "answer", "bypass", "leave", "reopen"
EMPTY_ANSWER = "An empty answer tells the model nothing: type your answer."


class NeedsConfirmation(Exception):
    """Bypassing a critical gap asks first; the gap is passed back for the question."""

    def __init__(self, gap: dict[str, Any]) -> None:
        super().__init__("critical gap")
        self.gap = gap


def _analysis(taken: Opened) -> Any:
    if taken.result is None:
        raise Refused("This round has no analysis yet: analyse it first.")
    return taken.result


def _gap(taken: Opened, number: int, gap_id: str) -> dict[str, Any]:
    """The gap numbered `number` of the analysis, checked against the id the page showed."""
    gaps = _analysis(taken).gaps
    if not 1 <= number <= len(gaps) or str(gaps[number - 1].get("id") or "") != gap_id:
        raise Refused(STALE)
    gap: dict[str, Any] = gaps[number - 1]
    return gap


def _answer_text(text: str) -> str:
    text = text.replace("\r\n", "\n").strip()
    if not text:
        raise Refused(EMPTY_ANSWER)
    return text


def decide_gap(ref: SessionRef, number: int, gap_id: str, choice: str, text: str, confirmed: bool) -> None:
    with opened(ref) as taken:
        result = _analysis(taken)
        gap = _gap(taken, number, gap_id)
        run = taken.run
        if choice == REOPEN:
            if gap not in run.left_open:
                raise Refused(STALE)
            decisions.take_back_leave(run, result, gap)
            return
        if gap not in decisions.open_gaps(result, run):
            raise Refused(STALE)
        run.walking = True  # a terminal run that takes the session up goes on gap by gap
        if choice == ANSWER:
            decisions.answer(run, result, gap, _answer_text(text))
        elif choice == BYPASS:
            if decisions.is_critical(gap) and not confirmed:
                raise NeedsConfirmation(gap)
            decisions.bypass(run, result, gap)
        elif choice == LEAVE:
            decisions.leave_open(run, result, gap)
        else:
            raise Refused(STALE)


def revisit(ref: SessionRef, index: int, title: str, action: str, text: str) -> None:
    """Changes decision `index` of the session's list (every answer, then every bypass)."""
    with opened(ref) as taken:
        result = _analysis(taken)
        made = decisions.decisions(taken.run, result)
        if not 0 <= index < len(made) or made[index].title != title:
            raise Refused(STALE)
        decision = made[index]
        if action == REOPEN:
            decisions.reopen(taken.run, result, decision)
        elif action == ANSWER and decision.kind == decisions.ANSWERED:
            decisions.edit_answer(taken.run, result, decision, _answer_text(text))
        elif action == ANSWER:
            decisions.answer_bypassed(taken.run, result, decision, _answer_text(text))
        else:
            raise Refused(STALE)


def bypass_open_gaps(ref: SessionRef) -> int:
    """Continue anyway: every open gap bypassed; returns how many."""
    with opened(ref) as taken:
        return decisions.bypass_all(taken.run, _analysis(taken))


def attach(ref: SessionRef, document: SourceText) -> None:
    """Adds a document to the session's interview; the round is to be analysed again with it."""
    from brevanta.pipeline import analysis

    with opened(ref) as taken:
        analysis.attach(taken.run, _analysis(taken), document)


def close_round(ref: SessionRef) -> int:
    """Gaps were left open: the round ends; returns the answers that make a next round worth analysing."""
    from brevanta.pipeline.analysis import next_round

    with opened(ref) as taken:
        return next_round(taken.run, _analysis(taken))
