"""Reviewing the session's decisions at the terminal: edit an answer, turn a bypass into an answer,
or reopen a gap. Each change is saved at once."""

from __future__ import annotations

from typing import TYPE_CHECKING

from brevanta import display
from brevanta.cli.terminal import ask, ask_answer, ask_word
from brevanta.untrusted import for_terminal
from brevanta.pipeline import decisions
from brevanta.pipeline.decisions import ANSWERED, Decision
from brevanta.pipeline.session import Run

if TYPE_CHECKING:
    from brevanta import gapscope

REVIEW_PROMPT = "Change a decision? Type its number, or press Enter to go on: "
ANSWERED_CHOICES = {"e": "edit", "r": "reopen", "k": "keep"}
BYPASSED_CHOICES = {"a": "answer", "r": "reopen", "k": "keep"}

_SHOWN_ANSWER = 70  # characters of an answer shown in the list


def _line(number: int, decision: Decision) -> str:
    if decision.kind == ANSWERED:
        shown = " ".join(decision.answer.split())
        if len(shown) > _SHOWN_ANSWER:
            shown = shown[:_SHOWN_ANSWER - 3] + "..."
        return f"  {number}. {for_terminal(decision.title)}: answered \"{for_terminal(shown)}\""
    return f"  {number}. {for_terminal(decision.title)}: bypassed"


def _ask_number(count: int) -> int | None:
    """A number from 1 to `count`, 0 for Enter (go on), None at end of input."""
    while True:
        reply = ask(REVIEW_PROMPT)
        if reply is None:
            return None
        if reply == "":
            return 0
        if reply.isdigit() and 1 <= int(reply) <= count:
            return int(reply)
        print(f"  Please type a number from 1 to {count}, or press Enter.")


def _show_question(decision: Decision) -> None:
    """The question being answered again, and the answer it has now, whole, line by line."""
    print(f"  {display.bold('Question:')} {for_terminal(decisions.question_of(decision))}")
    if decision.kind == ANSWERED:
        print("  The answer now:")
        for line in decision.answer.split("\n"):
            print(f"  | {for_terminal(line)}")


def _change(run: Run, result: gapscope.AnalysisResult, decision: Decision) -> bool:
    """Asks what to do with one decision and does it; False at end of input."""
    if decision.kind == ANSWERED:
        choice = ask_word("  [e]dit the answer, [r]eopen the gap, or [k]eep it? ", ANSWERED_CHOICES)
    else:
        choice = ask_word("  [a]nswer the gap, [r]eopen it, or [k]eep the bypass? ", BYPASSED_CHOICES)
    if choice is None:
        return False
    if choice == "r":
        decisions.reopen(run, result, decision)
        display.info(f"Reopened: {for_terminal(decision.title)}.")
    elif choice in ("e", "a"):
        _show_question(decision)
        text = ask_answer()
        if text is None:
            return False
        if choice == "e":
            decisions.edit_answer(run, result, decision, text)
        else:
            decisions.answer_bypassed(run, result, decision, text)
        display.info(f"Saved the answer to: {for_terminal(decision.title)}.")
    return True


def review(run: Run, result: gapscope.AnalysisResult) -> bool:
    """Lists the decisions and lets the user change any, until Enter; False at end of input
    (every change made so far is saved)."""
    while True:
        listed = decisions.decisions(run, result)
        if not listed:
            return True
        print()
        display.info("The decisions of this session:")
        for shown, decision in enumerate(listed, 1):
            print(_line(shown, decision))
        chosen = _ask_number(len(listed))
        if chosen is None or chosen == 0:
            return chosen == 0
        if not _change(run, result, listed[chosen - 1]):
            return False
