"""One run of `brevanta analyze`, as its phases: open or resume the session, analyse, let the user
decide, write the documents, finish."""

from __future__ import annotations

import argparse
import logging
import os
import shlex
import sys
from pathlib import Path
from typing import Any

from brevanta import display, gapscope
from brevanta import signals
from brevanta.pipeline import documents
from brevanta.pipeline.inputs import read_source_file
from brevanta.cli.document_lines import DocumentLines, say_traced
from brevanta.pipeline.home import check_session_home
from brevanta.errors import EXIT_OK, EnvironmentProblem, InputProblem, UsageError
from brevanta.cli.review import review
from brevanta.cli.session import archive_declined, choose_session, save_session
from brevanta.cli.terminal import Spinner, ask, ask_answer, ask_choice, ask_decision, ask_yes_no, count
from brevanta.pipeline import analysis, decisions, models, rendering, session
from brevanta.pipeline import organisation as organisations
from brevanta.pipeline.organisation import default_output_dir
from brevanta.pipeline.decisions import gap_question, open_gaps
from brevanta.pipeline.interview import STDIN
from brevanta.pipeline.lock import SessionLocked
from brevanta.pipeline.readers import describe
from brevanta.pipeline.session import ANALYSIS_PHASE, RENDER_PHASE, Run, saved_analysis
from brevanta.pipeline.usage import request_tokens, usage_summary
from brevanta.untrusted import for_terminal

# The ways forward that the report offers when critical gaps exist.
CONTINUE, ANSWER, ATTACH = "1", "2", "3"


# -- analyse ------------------------------------------------------------------


def analyse(args: argparse.Namespace, run: Run, interview: str, access: models.ModelAccess) -> gapscope.AnalysisResult:
    """A new analysis of this round, saved with the session before anything is asked."""
    display.info(f"Analysing {for_terminal(args.interview)}, round {run.round} ({for_terminal(access.source)}).")
    first_save = run.session_file is None
    result = analysis.analyse(run, interview, access)
    if access.usage:
        print(display.dim(f"  Tokens: {request_tokens(access.usage[-1])}"))
    if first_save:
        print(display.dim(f"Session saved: {for_terminal(run.session_file)}"))
    archive_declined(run)
    return result


# -- decide ---------------------------------------------------------------------


def _decide_gap(run: Run, result: gapscope.AnalysisResult, gap: dict[str, Any]) -> bool:
    """Asks until the user has decided about `gap` and saves the decision; False at end of input."""
    while True:
        decision = ask_decision()
        if decision is None:
            return False
        if decision == "a":
            text = ask_answer()
            if text is None:
                return False
            decisions.answer(run, result, gap, text)
        elif decision == "b":
            if decisions.is_critical(gap):
                sure = ask_yes_no(f"  {decisions.CRITICAL_BYPASS_QUESTION}", default=False)
                if sure is None:
                    return False
                if not sure:
                    continue
            decisions.bypass(run, result, gap)
        else:
            decisions.leave_open(run, result, gap)
        return True


def walk_gaps(result: gapscope.AnalysisResult, run: Run) -> bool | None:
    """Asks about each open gap, saving after every decision: True when every gap is decided, False
    when gaps were left open, None at end of input."""
    gaps = open_gaps(result, run)
    print()
    display.info(f"{count(len(gaps), 'open gap')}: answer each one, bypass it, or leave it open.")
    for gap in gaps:
        gapscope.display_gap_with_impact(gap, result.gaps.index(gap) + 1)
        print(f"  {display.bold('Question:')} {for_terminal(gap_question(gap))}")
        if not _decide_gap(run, result, gap):
            return None
    return not run.left_open


def stopped() -> None:
    """End of input: every decision and the analysis are saved; the next run goes on from here."""
    display.info("End of input: every decision is saved; run the command again to go on from here.")


def attach_document(run: Run, result: gapscope.AnalysisResult) -> bool:
    """Adds a document the user names to the interview; False when the user named none."""
    while True:
        typed = ask("  Document to attach (a file path; empty to go back): ")
        if not typed:
            return False
        path = os.path.expanduser(typed)  # typed as at a shell prompt: ~/notes.pdf
        try:
            if path == STDIN:
                raise UsageError("name a file: standard input is where your answers come from")
            document = read_source_file(path, "document")
            analysis.attach(run, result, document)
        except (UsageError, InputProblem) as exc:
            print(f"  {for_terminal(exc)}")
            continue
        display.info(f"Attached {for_terminal(document.name)} ({describe(document.kind, document.size)}); "
                     f"analysing round {run.round} again.")
        return True


def way_forward(result: gapscope.AnalysisResult, run: Run) -> str | None:
    """The user's pick among the report's options, once per analysis; None at end of input."""
    if run.walking or not any(decisions.is_critical(gap) for gap in result.gaps):
        return ANSWER
    while True:
        choice = ask_choice("Your choice [1/2/3]: ", CONTINUE + ANSWER + ATTACH)
        if choice != ATTACH or attach_document(run, result):
            return choice


def decide(args: argparse.Namespace, run: Run, interview: str, access: models.ModelAccess,
           not_asking: str | None, saved: gapscope.AnalysisResult | None) -> gapscope.AnalysisResult | None:
    """The analysis with every gap decided, or None when gaps stay open for a later round or the
    input ended. `saved` is the session's own analysis of this round: it is not paid for again."""
    if saved is None:
        result = analyse(args, run, interview, access)
    else:
        display.info(f"Round {run.round} was analysed in an earlier run: using that analysis.")
        result = saved
    while True:
        gapscope.display_analysis(result)
        if not open_gaps(result, run):
            if not run.left_open:
                return result
            end_round(args, run, result)  # stopped just before the walk's end was saved
            return None
        if not_asking:
            display.info(f"Bypassing {count(decisions.bypass_all(run, result), 'open gap')} "
                         f"without asking ({not_asking}).")
            return result
        choice = way_forward(result, run)
        if choice == ATTACH:
            result = analyse(args, run, interview, access)
            continue
        if choice == CONTINUE:
            display.info(f"Continuing anyway: bypassing {count(decisions.bypass_all(run, result), 'open gap')}.")
            return result
        if choice is None:
            stopped()
            return None
        run.walking = True
        save_session(run, result)
        walked = walk_gaps(result, run)
        if walked:
            return result
        if walked is None:
            stopped()
        else:
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
        print(for_terminal(bypass_summary))
    else:
        display.info("No gaps bypassed.")
    print()


def end_round(args: argparse.Namespace, run: Run, result: gapscope.AnalysisResult) -> None:
    """Gaps were left open. With new answers the session waits for the next round, which analyses the
    interview and the answers; without, the same analysis is offered again, never paid for twice."""
    show_bypass_summary(result)
    still_open = result.get_unanswered_gaps()
    new_answers = analysis.next_round(run, result)
    if new_answers:
        display.info(f"{count(new_answers, 'new answer')} for round {run.round}.")
    display.info(f"{count(len(still_open), 'gap')} still open.")
    display.info("Run the next round with:")
    print(f"  {for_terminal(next_round_command(args, run))}")


# -- render -------------------------------------------------------------------------


def render(run: Run, result: gapscope.AnalysisResult, interview: str, access: models.ModelAccess,
           formats: list[str] | None = None, only: list[str] | None = None, directory: Path | None = None) -> None:
    """Writes each document still missing (those in `only`, when given), saying what happens to each."""
    show_bypass_summary(result)
    directory = directory or Path(str(run.output_dir))
    wanted = only or list(documents.FILE_NAMES)
    for kind in wanted:
        if kind in run.written:
            display.info(f"The {documents.short_name(kind)} was written in an earlier run: "
                         f"{for_terminal(directory / documents.FILE_NAMES[kind])}")
    missing = [kind for kind in wanted if kind not in run.written]
    if not missing:
        return
    names = " and the ".join(documents.short_name(kind) for kind in missing)
    try:
        with Spinner(f"Writing the {names}...", sys.stderr) as spinner:
            rendering.write_documents(run, result, interview, access, formats=formats or ["md"], only=only,
                                      progress=DocumentLines(access.source, spinner).show, directory=directory)
    finally:
        say_traced(run.replies, [kind for kind in missing if kind in run.written])


def finish(run: Run, formats: list[str] | None = None, directory: Path | None = None) -> None:
    """The session marked complete once every document is written, and where the files are."""
    directory = directory or Path(str(run.output_dir))
    print()
    if all(kind in run.written for kind in documents.FILE_NAMES):
        session.complete(run)
        display.success(f"Session complete: {for_terminal(run.session_file)}")
    else:
        missing = " and the ".join(documents.short_name(kind) for kind in documents.FILE_NAMES
                                   if kind not in run.written)
        display.info(f"The session waits for the {missing}: {for_terminal(run.session_file)}")
    display.info(f"The documents are in {for_terminal(directory)}:")
    for kind in documents.FILE_NAMES:
        for fmt in formats or ["md"]:
            path = directory / documents.file_name(kind, fmt)
            if path.exists():  # `render --only` may leave the other document in fewer formats
                print(f"    {for_terminal(path)}")


# -- the run --------------------------------------------------------------------------


def _decisions_made(run: Run, result: gapscope.AnalysisResult) -> int:
    return len(run.answers) + len(result.bypassed_gaps)


def pipeline(args: argparse.Namespace, run: Run, interview: str, access: models.ModelAccess,
             not_asking: str | None) -> int:
    result = saved_analysis(run)
    reviewed_at = -1  # how many decisions there were at the last review in this run
    if result is not None and not_asking is None and _decisions_made(run, result):
        if not review(run, result):  # on resume: change any decision before going on
            stopped()
            return EXIT_OK
        reviewed_at = _decisions_made(run, result)
    if result is not None and run.phase == RENDER_PHASE and not open_gaps(result, run):
        display.info(f"Resuming at the documents, with the analysis of round {run.round} from an earlier run.")
    else:
        run.phase = ANALYSIS_PHASE
        result = decide(args, run, interview, access, not_asking, result)
        if result is None:
            return EXIT_OK
    while not_asking is None and reviewed_at != _decisions_made(run, result):
        # Before the documents: the last chance to change a decision; a reopened gap is asked again.
        if not review(run, result):
            stopped()
            return EXIT_OK
        reviewed_at = _decisions_made(run, result)
        if open_gaps(result, run):
            run.walking = True
            walked = walk_gaps(result, run)
            if walked is None:
                stopped()
            elif not walked:
                end_round(args, run, result)
            if not walked:
                return EXIT_OK
    render(run, result, interview, access, args.formats)
    finish(run, args.formats)
    return EXIT_OK


def _why_not_asking(args: argparse.Namespace) -> str | None:
    """Why this run asks the user nothing, or None when it may ask."""
    if args.yes:
        return "--yes"
    if not sys.stdin.isatty():
        return "standard input is not a terminal"
    return None


class _TerminalSafeFormatter(logging.Formatter):
    """Log lines carry the model's and the relay's text (a failed analysis logs the error body)."""

    def format(self, record: logging.LogRecord) -> str:
        return for_terminal(super().format(record))


def _configure_logging(verbose: bool) -> None:
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(_TerminalSafeFormatter("%(levelname)s %(name)s: %(message)s"))
    logging.basicConfig(
        level=logging.INFO if verbose else logging.ERROR,  # a failed analysis is reported once, by the command
        handlers=[handler],
    )


def _interrupted(interrupt: KeyboardInterrupt, run: Run | None) -> int:
    """Every decision was saved when it was made: say where, without failing on a closed terminal."""
    signals.ignore_further()
    try:
        print("\nInterrupted.", file=sys.stderr)
        if run is not None and run.session_file:
            print(f"The session is saved in {for_terminal(run.session_file)}; run the command again to resume it.",
                  file=sys.stderr)
        sys.stderr.flush()
    except OSError:  # the terminal is gone (SIGHUP)
        pass
    return signals.exit_status(interrupt)


def analyze(args: argparse.Namespace) -> int:
    replies, interview = args.inputs.replies, args.inputs.interview
    check_session_home()
    _configure_logging(args.verbose)
    signals.install()
    run = None
    try:
        given = args.inputs.org_id
        organisation = organisations.named(given) if given else organisations.for_interview(interview)
        run = choose_session(args, interview, organisation, interactive=_why_not_asking(args) is None)
        if run is None:
            display.info("End of input: nothing was changed.")
            return EXIT_OK
        return _run_session(args, run, replies)
    except KeyboardInterrupt as interrupt:
        return _interrupted(interrupt, run)
    except SessionLocked as exc:  # taken by another run the moment this one created it
        raise EnvironmentProblem(str(exc), hint="Run the command again.") from None
    finally:
        if run is not None:
            run.release()


def _run_session(args: argparse.Namespace, run: Run, replies: dict[str, str] | None) -> int:
    """The run in its session, which this process now holds."""
    interview, not_asking = args.inputs.interview.text, _why_not_asking(args)
    output_dir = str(Path(args.out).absolute()) if args.out else run.output_dir or default_output_dir(run.org_id)
    if output_dir != run.output_dir:
        run.output_dir, run.written = output_dir, []  # documents written elsewhere are written again here
    documents.check_output_dir(Path(run.output_dir))
    access = models.open_access(args.replay, replies, activity=lambda label: Spinner(label, sys.stderr))
    access.on_usage = run.usage.append
    try:
        return pipeline(args, run, interview, access, not_asking)
    finally:
        _print_usage(access)


def _print_usage(access: models.ModelAccess) -> None:
    """This run's model usage, in one line, however the run ended."""
    if not access.usage:
        return
    try:
        print(display.dim(f"Model usage of this run: {for_terminal(usage_summary(access.usage))}."))
        sys.stdout.flush()
    except OSError:  # the terminal is gone, or the reader of the output
        pass
