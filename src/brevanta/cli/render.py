"""`brevanta render`: a session's documents written again from what the session stores (its analysis,
decisions, answers and attachments), without a new analysis: after a better prompt, another model, or
a changed decision. Earlier versions of the files are kept as numbered backups."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any

from brevanta import display, waymark
from brevanta import signals
from brevanta.pipeline import documents
from brevanta.pipeline.inputs import check_formats, check_org_id, read_replies, read_source_file
from brevanta.pipeline.home import check_session_home
from brevanta.errors import EXIT_OK, SESSION_KEPT, CommandError, EnvironmentProblem, UsageError, os_reason
from brevanta.cli.run import _interrupted, _print_usage, finish, render
from brevanta.cli.terminal import Spinner
from brevanta.pipeline import models
from brevanta.pipeline import session
from brevanta.pipeline.interview import STDIN, Interview, default_org_id
from brevanta.pipeline.lock import SessionLocked
from brevanta.pipeline.session import COMPLETE_PHASE, RENDER_PHASE, Run, saved_analysis, state_of, when
from brevanta.untrusted import for_terminal


def _org_of(args: argparse.Namespace) -> str:
    if args.org is not None:
        return check_org_id(args.org)
    if args.interview is None or args.interview == STDIN:
        raise UsageError("name the interview file or the organisation (--org ORG_ID) whose documents to write")
    return default_org_id(args.interview, "")  # a file's organisation follows its path alone


def renderable_sessions(org_id: str) -> list[dict[str, Any]]:
    """The organisation's sessions that have reached their documents (unfinished at rendering, or
    complete), newest first."""
    waymark._ensure_dirs()
    return [record for record in session.session_records(waymark.SESSIONS_DIR, org_id)
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


def _session_run(record: dict[str, Any], org_id: str, args: argparse.Namespace) -> Run:
    """The session of `record` as a run, locked by this process for its whole life."""
    lock, current = session.take(record)
    if current is None:
        lock.release()
        raise CommandError(f"the session {for_terminal(record['path'])} is gone", hint="Run the command again.")
    state = state_of(current)
    interview_path = session.interview_file(state) or args.interview or STDIN
    interview = Interview(interview_path, _interview_text(state, args))
    run = session.resumed(current, interview, org_id, None, lock)
    if record["phase"] == COMPLETE_PHASE or args.only:
        run.written = []  # written again, every document asked for
    if args.out:
        run.output_dir = str(Path(args.out).absolute())
    elif not run.output_dir:
        run.output_dir = str(Path(org_id).absolute())
    run.phase = RENDER_PHASE
    return run


def render_command(args: argparse.Namespace) -> int:
    org_id = _org_of(args)
    check_formats(args.formats)
    replies = read_replies(args.replay) if args.replay else None
    check_session_home()
    signals.install()
    run = None
    try:
        sessions = renderable_sessions(org_id)
        if not sessions:
            raise CommandError(f"no session of {org_id} has reached its documents",
                               hint="Run brevanta analyze first; brevanta sessions lists the sessions.")
        record = sessions[0]
        display.info(f"Writing the documents of the session saved {for_terminal(when(record['saved_at']))} "
                     f"({for_terminal(record['phase'])}): {for_terminal(record['path'])}")
        run = _session_run(record, org_id, args)
        result = saved_analysis(run)
        if result is None:
            raise CommandError("the session holds no analysis to write the documents from",
                               hint="Run brevanta analyze on the interview to analyse it again.")
        interview = run.interview_text
        documents.check_output_dir(Path(str(run.output_dir)))
        access = models.open_access(args.replay, replies, activity=lambda label: Spinner(label, sys.stderr))
        access.on_usage = run.usage.append
        try:
            render(run, result, interview, access, args.formats, [args.only] if args.only else None)
        finally:
            _print_usage(access)
        finish(run, args.formats)
        return EXIT_OK
    except KeyboardInterrupt as interrupt:
        return _interrupted(interrupt, run)
    except session.SessionNotSaved as exc:
        raise EnvironmentProblem(f"cannot {exc.action} in {exc.directory}: {os_reason(exc.error)}",
                                 hint=SESSION_KEPT) from None
    except SessionLocked as exc:
        raise EnvironmentProblem(str(exc), hint="Wait for that run to end, then run the command again.") from None
    finally:
        if run is not None:
            run.release()
