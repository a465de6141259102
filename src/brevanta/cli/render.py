"""`brevanta render`: a session's documents written again from what the session stores, without a new
analysis: from the model's replies the session keeps, with no model request (in other formats, into
another folder, after a document check changed), or with --ask-model from new replies (after a better
prompt, another model). Earlier versions of the files are kept as numbered backups."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import TYPE_CHECKING, Any

from brevanta import display, waymark
from brevanta import signals
from brevanta.pipeline import documents
from brevanta.pipeline.inputs import check_formats, check_org_id, read_replies, read_source_file
from brevanta.pipeline.home import check_session_home
from brevanta.errors import EXIT_OK, CommandError, EnvironmentProblem, UsageError
from brevanta.cli.document_lines import say_finished
from brevanta.cli.run import _interrupted, _print_usage, finish, render
from brevanta.cli.terminal import Spinner
from brevanta.pipeline import models, rendering
from brevanta.pipeline.inputs import DOCUMENT_KINDS
from brevanta.pipeline import session
from brevanta.pipeline import organisation as organisations
from brevanta.pipeline.interview import STDIN, Interview
from brevanta.pipeline.organisation import Organisation, default_output_dir
from brevanta.pipeline.lock import SessionLocked
from brevanta.pipeline.session import COMPLETE_PHASE, RENDER_PHASE, Run, saved_analysis, state_of, when

if TYPE_CHECKING:
    from brevanta import gapscope
from brevanta.untrusted import for_terminal


def _org_of(args: argparse.Namespace) -> Organisation:
    if args.org is not None:
        return organisations.named(check_org_id(args.org, "--org"))
    if args.interview is None or args.interview == STDIN:
        raise UsageError("name the interview file or the organisation (--org ORG_ID) whose documents to write")
    return organisations.for_interview(Interview(args.interview, ""))  # a file's organisation follows its path


def renderable_sessions(organisation: Organisation) -> list[dict[str, Any]]:
    """The organisation's sessions that have reached their documents (unfinished at rendering, or
    complete), newest first."""
    waymark._ensure_dirs()
    return [record for record in session.newest_first(
                lambda org_id: session.session_records(waymark.SESSIONS_DIR, org_id), organisation.ids)
            if record["phase"] in (RENDER_PHASE, COMPLETE_PHASE)]


def _interview_text(state: dict[str, Any], args: argparse.Namespace) -> str:
    """The interview the session was analysed on: as the session stores it, else from its file."""
    stored = state.get("interview_text")
    if isinstance(stored, str) and stored.strip():
        return stored
    saved_file = session.interview_file(state)
    path = saved_file if saved_file is not None and saved_file != STDIN else args.interview
    if path is None or path == STDIN:
        raise CommandError("the session does not hold its interview, and it was read from standard input",
                           hint="Name the interview file: brevanta render INTERVIEW_FILE --org ORG_ID.")
    return read_source_file(path, "interview file").text


def _session_run(record: dict[str, Any], args: argparse.Namespace) -> Run:
    """The session of `record` as a run, locked by this process for its whole life."""
    lock, current = session.take(record)
    if current is None:
        lock.release()
        raise CommandError(f"the session {for_terminal(record['path'])} is gone", hint="Run the command again.")
    state = state_of(current)
    interview_path = session.interview_file(state) or args.interview or STDIN
    interview = Interview(interview_path, _interview_text(state, args))
    run = session.resumed(current, interview, current["org_id"], None, lock)
    if not run.output_dir:
        run.output_dir = default_output_dir(run.org_id)
    if args.out and not args.only:  # both documents move there; one alone is a copy, the record stays
        run.output_dir = str(Path(args.out).absolute())
    run.phase = RENDER_PHASE
    return run


def _sources(run: Run, args: argparse.Namespace) -> tuple[list[str], list[str]]:
    """The documents to write from the replies the session keeps, and those to ask the model for: a
    document without a kept reply that was never written (an unfinished session), or every one asked
    for with --ask-model. A written document without its reply is refused unless --ask-model is given."""
    wanted = [args.only] if args.only else list(DOCUMENT_KINDS)
    kept = [] if args.ask_model else [kind for kind in wanted if kind in run.replies]
    asked = [kind for kind in wanted if kind not in kept]
    unkept = [kind.upper() for kind in asked if kind in run.written and not args.ask_model]
    if unkept:
        names = " and the ".join(unkept)
        raise CommandError(f"the session keeps no reply of the {names} to write it again from (it was written "
                           "before replies were kept)",
                           hint="Pass --ask-model to have the model write it again: a new request, paid for.")
    return kept, asked


def _ask_model(run: Run, result: gapscope.AnalysisResult, args: argparse.Namespace,
               replies: dict[str, str] | None, kinds: list[str], directory: Path) -> None:
    run.written = [kind for kind in run.written if kind not in kinds]  # written again
    access = models.open_access(args.replay, replies, activity=lambda label: Spinner(label, sys.stderr))
    access.on_usage = run.usage.append
    try:
        render(run, result, run.interview_text, access, args.formats, kinds, directory)
    finally:
        _print_usage(access)


def render_command(args: argparse.Namespace) -> int:
    organisation = _org_of(args)
    check_formats(args.formats)
    replies = read_replies(args.replay) if args.replay else None
    check_session_home()
    signals.install()
    run = None
    try:
        sessions = renderable_sessions(organisation)
        if not sessions:
            raise CommandError(f"no session of {organisation.org_id} has reached its documents",
                               hint="Run brevanta analyze first; brevanta sessions lists the sessions.")
        record = sessions[0]
        display.info(f"Writing the documents of the session saved {for_terminal(when(record['saved_at']))} "
                     f"({for_terminal(record['phase'])}): {for_terminal(record['path'])}")
        run = _session_run(record, args)
        result = saved_analysis(run)
        if result is None:
            raise CommandError("the session holds no analysis to write the documents from",
                               hint="Run brevanta analyze on the interview to analyse it again.")
        kept, asked = _sources(run, args)
        directory = Path(args.out).absolute() if args.out else Path(str(run.output_dir))
        documents.check_output_dir(directory)
        for finished in rendering.rewrite_documents(run, result, run.interview_text, kept, formats=args.formats,
                                                    directory=directory):
            display.info(f"The {documents.short_name(finished.kind)} written again from the model's kept reply "
                         "(no request).")
            say_finished(finished)
        if asked:
            _ask_model(run, result, args, replies, asked, directory)
        finish(run, args.formats, directory)
        if args.out and args.only:
            display.info(f"The session's documents stay recorded in {for_terminal(run.output_dir)}.")
        return EXIT_OK
    except KeyboardInterrupt as interrupt:
        return _interrupted(interrupt, run)
    except SessionLocked as exc:
        raise EnvironmentProblem(str(exc), hint="Wait for that run to end, then run the command again.") from None
    finally:
        if run is not None:
            run.release()
