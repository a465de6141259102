"""One run of `brevanta analyze`, as its phases: open or resume the session, analyse, let the user
decide, write the documents, finish."""

from __future__ import annotations

import argparse
import itertools
import logging
import shlex
import sys
from pathlib import Path
from typing import Any

from brevanta import display, gapscope, waymark
from brevanta.cli import documents, signals
from brevanta.cli.document_lines import DocumentLines
from brevanta.cli.args import STDIN, check_size, read_text_file
from brevanta.cli.environment import check_session_home
from brevanta.cli.errors import EXIT_OK, InputProblem, UsageError, saving
from brevanta.cli.session import (ANALYSIS_PHASE, RENDER_PHASE, Run, archive_declined, choose_session, keep_analysis,
                                  save_session, saved_analysis)
from brevanta.cli.terminal import Spinner, ask, ask_answer, ask_choice, ask_decision, count
from brevanta.pipeline import models, rendering
from brevanta.pipeline.usage import request_tokens, usage_summary

# The ways forward that the report offers when critical gaps exist.
CONTINUE, ANSWER, ATTACH = "1", "2", "3"


def model_input(interview: str, run: Run) -> str:
    """The interview as the model reads it: the file, each attached document under its file name,
    then the follow-up answers, one section per round in which they were given."""
    sections = [interview.rstrip()]
    for attachment in run.attachments:
        sections.append(f"## Attached document: {attachment.get('name')}\n\n{str(attachment.get('text')).strip()}")
    for round_number, group in itertools.groupby(run.answers, key=lambda answer: answer.get("round")):
        lines = [f"## Follow-up answers (round {round_number})"]
        for answer in group:
            lines += ["", f"Q: {answer.get('question', '')}", f"A: {answer.get('answer', '')}"]
        sections.append("\n".join(lines))
    return interview if len(sections) == 1 else "\n\n".join(sections) + "\n"


# -- analyse ------------------------------------------------------------------


def analyse(args: argparse.Namespace, run: Run, interview: str, access: models.ModelAccess) -> gapscope.AnalysisResult:
    """A new analysis of this round, saved with the session before anything is asked."""
    display.info(f"Analysing {args.interview}, round {run.round} ({access.source}).")
    result: gapscope.AnalysisResult = access.analyze(model_input(interview, run), run.round)
    if access.usage:
        print(display.dim(f"  Tokens: {request_tokens(access.usage[-1])}"))
    keep_analysis(run, result)
    run.walking, run.left_open = False, []
    save_session(run, result)
    archive_declined(run)
    return result


# -- decide ---------------------------------------------------------------------


def _gap_question(gap: dict[str, Any]) -> str:
    return str(gap.get("question") or gap.get("title") or "What is missing here?")


def _open_gaps(result: gapscope.AnalysisResult, run: Run) -> list[dict[str, Any]]:
    return [gap for gap in result.get_unanswered_gaps() if gap not in run.left_open]


def bypass_all(result: gapscope.AnalysisResult, run: Run) -> str:
    """Bypasses every open gap; says how many."""
    gaps = _open_gaps(result, run)
    result.bypassed_gaps.extend(gaps)
    save_session(run, result)
    return count(len(gaps), "open gap")


def walk_gaps(result: gapscope.AnalysisResult, run: Run) -> bool:
    """Asks about each open gap, saving after every decision; False when gaps were left open."""
    gaps = _open_gaps(result, run)
    print()
    display.info(f"{count(len(gaps), 'open gap')}: answer each one, bypass it, or leave it open.")
    for gap in gaps:
        gapscope.display_gap_with_impact(gap, result.gaps.index(gap) + 1)
        print(f"  {display.bold('Question:')} {_gap_question(gap)}")
        decision = ask_decision()
        answer = ask_answer() if decision == "a" else ""
        if decision is None or answer is None:
            display.info("End of input: the remaining gaps stay open.")
            return False
        if decision == "a":
            result.answered_gaps.append(gap.get("id"))
            run.answers.append({"question": _gap_question(gap), "answer": answer, "gap_id": gap.get("id"),
                                "round": run.round})
        elif decision == "b":
            result.bypassed_gaps.append(gap)
        else:
            run.left_open.append(gap)
        save_session(run, result)
    return not run.left_open


def attach_document(run: Run, result: gapscope.AnalysisResult, interview: str) -> bool:
    """Adds a document the user names to the interview; False when the user named none."""
    while True:
        path = ask("  Document to attach (a file path; empty to go back): ")
        if not path:
            return False
        try:
            if path == STDIN:
                raise UsageError("name a file: standard input is where your answers come from")
            text = read_text_file(path, "document")
            check_size(f"{model_input(interview, run)}\n\n{text}", "the interview with this document")
        except (UsageError, InputProblem) as exc:
            print(f"  {exc}")
            continue
        run.attachments.append({"name": Path(path).name, "text": text, "round": run.round})
        run.analysis = None  # the round is analysed again, with the document
        save_session(run, result)
        display.info(f"Attached {Path(path).name}; analysing round {run.round} again.")
        return True


def way_forward(result: gapscope.AnalysisResult, run: Run, interview: str) -> str | None:
    """The user's pick among the report's options, once per analysis; None at end of input."""
    if run.walking or not any(gap.get("impact_level") == "critical" for gap in result.gaps):
        return ANSWER
    while True:
        choice = ask_choice("Your choice [1/2/3]: ", CONTINUE + ANSWER + ATTACH)
        if choice != ATTACH or attach_document(run, result, interview):
            return choice


def decide(args: argparse.Namespace, run: Run, interview: str, access: models.ModelAccess,
           not_asking: str | None, saved: gapscope.AnalysisResult | None) -> gapscope.AnalysisResult | None:
    """The analysis with every gap decided, or None when gaps stay open for a later round.
    `saved` is the resumed session's own analysis of this round: it is not paid for again."""
    if saved is None:
        result = analyse(args, run, interview, access)
    else:
        display.info(f"Round {run.round} was analysed in an earlier run: using that analysis.")
        result = saved
    while True:
        gapscope.display_analysis(result)
        if not _open_gaps(result, run):
            if not run.left_open:
                return result
            end_round(args, run, result)  # stopped just before the walk's end was saved
            return None
        if not_asking:
            display.info(f"Bypassing {bypass_all(result, run)} without asking ({not_asking}).")
            return result
        choice = way_forward(result, run, interview)
        if choice == ATTACH:
            result = analyse(args, run, interview, access)
            continue
        if choice == CONTINUE:
            display.info(f"Continuing anyway: bypassing {bypass_all(result, run)}.")
            return result
        if choice == ANSWER:
            run.walking = True
            save_session(run, result)
            if walk_gaps(result, run):
                return result
        elif choice is None:
            display.info("End of input: the gaps stay open.")
        end_round(args, run, result)
        return None


# -- finish a round that leaves gaps open -------------------------------------------


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
    for option in ("out", "replay"):
        if getattr(args, option):
            words += [f"--{option}", getattr(args, option)]
    return shlex.join(words)


def show_bypass_summary(result: gapscope.AnalysisResult) -> None:
    print()
    bypass_summary = result.get_bypass_summary()
    if bypass_summary:
        display.info("Document generation will be told:")
        print(bypass_summary)
    else:
        display.info("No gaps bypassed.")
    print()


def end_round(args: argparse.Namespace, run: Run, result: gapscope.AnalysisResult) -> None:
    """Gaps stay open: the session waits for the next round, which analyses the interview again."""
    show_bypass_summary(result)
    new_answers = run.answers_of_round(run.round)
    open_gaps = result.get_unanswered_gaps()
    if new_answers:
        display.info(f"{count(len(new_answers), 'new answer')} for round {run.round + 1}.")
        run.round += 1
    display.info(f"{count(len(open_gaps), 'gap')} still open.")
    run.analysis, run.walking, run.left_open = None, False, []
    save_session(run, result)
    display.info("Run the next round with:")
    print(f"  {next_round_command(args, run)}")


# -- render -------------------------------------------------------------------------


def _record_written(run: Run, result: gapscope.AnalysisResult, kind: str) -> None:
    run.written.append(kind)
    save_session(run, result)


def render(run: Run, result: gapscope.AnalysisResult, interview: str, access: models.ModelAccess) -> None:
    """Writes each document still missing, saving the session after each one."""
    if run.phase != RENDER_PHASE:
        run.phase = RENDER_PHASE
        save_session(run, result)
    show_bypass_summary(result)
    directory = Path(str(run.output_dir))
    for kind in run.written:
        display.info(f"The {documents.short_name(kind)} was written in an earlier run: "
                     f"{directory / documents.FILE_NAMES[kind]}")
    missing = [kind for kind in documents.FILE_NAMES if kind not in run.written]
    if not missing:
        return
    material = model_input(interview, run)
    names = " and the ".join(documents.short_name(kind) for kind in missing)
    with Spinner(f"Writing the {names}...", sys.stderr) as spinner:
        rendering.Rendering(
            access,
            content=lambda kind: documents.compose(kind, material, result),
            finish=lambda kind, completion: rendering.finish_document(kind, completion, result.bypassed_gaps,
                                                                      directory),
            saved=lambda kind: _record_written(run, result, kind),
            progress=DocumentLines(access.source, spinner).show,
        ).run(missing)


def finish(run: Run) -> None:
    with saving(waymark.SESSIONS_DIR):
        waymark.mark_complete(str(run.session_file))
    print()
    display.success(f"Session complete: {run.session_file}")
    display.info(f"The documents are in {run.output_dir}:")
    for name in documents.FILE_NAMES.values():
        print(f"    {Path(str(run.output_dir)) / name}")


# -- the run --------------------------------------------------------------------------


def default_output_dir(args: argparse.Namespace, org_id: str) -> str:
    """A folder under the current directory named after the organisation (`--org`), or else after
    the interview file, which then stands for the organisation."""
    name = args.org or Path(args.interview).stem
    return str(Path(name if name not in ("", "-") else org_id).absolute())


def pipeline(args: argparse.Namespace, run: Run, interview: str, access: models.ModelAccess,
             not_asking: str | None) -> int:
    result = saved_analysis(run)
    if result is not None and run.phase == RENDER_PHASE:
        display.info(f"Resuming at the documents, with the analysis of round {run.round} from an earlier run.")
    else:
        run.phase = ANALYSIS_PHASE
        result = decide(args, run, interview, access, not_asking, result)
        if result is None:
            return EXIT_OK
    render(run, result, interview, access)
    finish(run)
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


def _interrupted(interrupt: KeyboardInterrupt, run: Run | None) -> int:
    """Every decision was saved when it was made: say where, without failing on a closed terminal."""
    signals.ignore_further()
    try:
        print("\nInterrupted.", file=sys.stderr)
        if run is not None and run.session_file:
            print(f"The session is saved in {run.session_file}; run the command again to resume it.",
                  file=sys.stderr)
        sys.stderr.flush()
    except OSError:  # the terminal is gone (SIGHUP)
        pass
    return signals.exit_status(interrupt)


def analyze(args: argparse.Namespace) -> int:
    interview, replies, org_id = args.inputs.interview, args.inputs.replies, args.inputs.org_id
    check_session_home()
    _configure_logging(args.verbose)
    not_asking = _why_not_asking(args)
    signals.install()
    run = None
    access: models.ModelAccess | None = None
    try:
        run = choose_session(args, org_id, interactive=not_asking is None)
        output_dir = str(Path(args.out).absolute()) if args.out else run.output_dir or default_output_dir(args, org_id)
        if output_dir != run.output_dir:
            run.output_dir, run.written = output_dir, []  # documents written elsewhere are written again here
        documents.check_output_dir(Path(run.output_dir))
        access = models.open_access(args.replay, replies, activity=lambda label: Spinner(label, sys.stderr))
        access.on_usage = run.usage.append
        return pipeline(args, run, interview, access, not_asking)
    except KeyboardInterrupt as interrupt:
        return _interrupted(interrupt, run)
    finally:
        if access is not None:
            _print_usage(access)


def _print_usage(access: models.ModelAccess) -> None:
    """This run's model usage, in one line, however the run ended."""
    if not access.usage:
        return
    try:
        print(display.dim(f"Model usage of this run: {usage_summary(access.usage)}."))
        sys.stdout.flush()
    except OSError:  # the terminal is gone, or the reader of the output
        pass
