"""One run of `brevanta analyze`: open or resume the session, analyse, let the user decide, finish."""

from __future__ import annotations

import argparse
import itertools
import logging
import shlex
import sys
from pathlib import Path
from typing import Any

from brevanta import display, gapscope, waymark
from brevanta.cli import models
from brevanta.cli.environment import check_session_home
from brevanta.cli.errors import EXIT_INTERRUPTED, EXIT_OK, saving
from brevanta.cli.session import Run, choose_session, save_session
from brevanta.cli.terminal import ask_answer, ask_decision, count


def interview_with_answers(interview: str, answers: list[dict[str, Any]]) -> str:
    """The interview followed by the follow-up answers, one section per round in which they were given."""
    if not answers:
        return interview
    sections = [interview.rstrip()]
    for round_number, group in itertools.groupby(answers, key=lambda answer: answer.get("round")):
        lines = [f"## Follow-up answers (round {round_number})"]
        for answer in group:
            lines += ["", f"Q: {answer.get('question', '')}", f"A: {answer.get('answer', '')}"]
        sections.append("\n".join(lines))
    return "\n\n".join(sections) + "\n"


# -- the gap walk -------------------------------------------------------------


def _gap_question(gap: dict[str, Any]) -> str:
    return str(gap.get("question") or gap.get("title") or "What is missing here?")


def walk_gaps(result: Any, run: Run, not_asking: str | None) -> list[dict[str, Any]]:
    """Records the user's decision on each open gap; returns the new answers."""
    gaps = result.get_unanswered_gaps()
    if not gaps:
        return []
    if not_asking:
        result.bypassed_gaps.extend(gaps)
        display.info(f"Bypassing {count(len(gaps), 'open gap')} without asking ({not_asking}).")
        return []
    print()
    display.info(f"{count(len(gaps), 'open gap')}: answer each one, bypass it, or leave it open.")
    new_answers = []
    for index, gap in enumerate(gaps, 1):
        gapscope.display_gap_with_impact(gap, index)
        print(f"  {display.bold('Question:')} {_gap_question(gap)}")
        decision = ask_decision()
        answer = ask_answer() if decision == "a" else ""
        if decision is None or answer is None:
            display.info("End of input: the remaining gaps stay open.")
            break
        if decision == "a":
            result.answered_gaps.append(gap.get("id"))
            new_answers.append({"question": _gap_question(gap), "answer": answer, "gap_id": gap.get("id"),
                                "round": run.round})
        elif decision == "b":
            result.bypassed_gaps.append(gap)
    return new_answers


# -- finishing ----------------------------------------------------------------


def _invocation() -> list[str]:
    """How this program was started, so the printed command runs as it is."""
    if Path(sys.argv[0]).name == "__main__.py":
        return [sys.executable, "-m", "brevanta"]
    return [sys.argv[0] or "brevanta"]


def next_round_command(args: argparse.Namespace, run: Run) -> str:
    words = [*_invocation(), "analyze", args.interview]
    if args.org:
        words += ["--org", args.org]
    words += ["--round", str(run.round)]
    if args.replay:
        words += ["--replay", args.replay]
    return shlex.join(words)


def finish(args: argparse.Namespace, run: Run, result: Any, new_answers: list[dict[str, Any]]) -> None:
    print()
    bypass_summary = result.get_bypass_summary()
    if bypass_summary:
        display.info("Document generation will be told:")
        print(bypass_summary)
    else:
        display.info("No gaps bypassed.")
    print()
    open_gaps = result.get_unanswered_gaps()
    if not open_gaps and not new_answers:
        with saving(waymark.SESSIONS_DIR):
            waymark.mark_complete(run.session_file)
        display.success(f"Session complete: {run.session_file}")
        return
    if new_answers:
        display.info(f"{count(len(new_answers), 'new answer')} for round {run.round}.")
    if open_gaps:
        display.info(f"{count(len(open_gaps), 'gap')} still open.")
    display.info("Run the next round with:")
    print(f"  {next_round_command(args, run)}")


# -- the round ----------------------------------------------------------------


def analysis_round(args: argparse.Namespace, run: Run, interview: str, replies: dict[str, str] | None,
                   not_asking: str | None) -> int:
    access = models.open_access(args.replay, replies)
    display.info(f"Analysing {args.interview}, round {run.round} ({access.source}).")
    result = access.analyze(interview_with_answers(interview, run.answers), run.round)
    access.print_token_usage()
    gapscope.display_analysis(result)

    result.bypassed_gaps.extend(run.bypassed)  # earlier rounds' bypasses stay bypassed
    run.bypassed = result.bypassed_gaps
    save_session(run, result)
    new_answers = walk_gaps(result, run, not_asking)
    run.answers += new_answers
    if new_answers:
        run.round += 1
    save_session(run, result)
    finish(args, run, result, new_answers)
    return EXIT_OK


def _why_not_asking(args: argparse.Namespace) -> str | None:
    """Why this run asks the user nothing, or None when it may ask."""
    if args.yes:
        return "--yes"
    if not sys.stdin.isatty():
        return "standard input is not a terminal"
    return None


def _configure_logging(verbose: bool) -> None:
    logging.basicConfig(
        level=logging.INFO if verbose else logging.ERROR,  # a failed analysis is reported once, by the command
        format="%(levelname)s %(name)s: %(message)s",
        stream=sys.stderr,
    )


def analyze(args: argparse.Namespace) -> int:
    interview, replies, org_id = args.inputs.interview, args.inputs.replies, args.inputs.org_id
    check_session_home()
    _configure_logging(args.verbose)
    not_asking = _why_not_asking(args)
    run = None
    try:
        run = choose_session(args, org_id, interactive=not_asking is None)
        return analysis_round(args, run, interview, replies, not_asking)
    except KeyboardInterrupt:
        print("\nInterrupted.", file=sys.stderr)
        if run is not None and run.session_file:
            print(f"The session is saved in {run.session_file}; run the command again to resume it.",
                  file=sys.stderr)
        return EXIT_INTERRUPTED
