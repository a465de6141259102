"""`brevanta render`: a session's documents written again from what the session stores (its analysis,
decisions, answers and attachments), without a new analysis: after a better prompt, another model, or
a changed decision. Earlier versions of the files are kept as numbered backups."""

from __future__ import annotations

import argparse
import json
import stat
from pathlib import Path
from typing import Any

from brevanta import display, waymark
from brevanta.cli import documents, models, signals
from brevanta.cli.args import STDIN, check_formats, check_org_id, default_org_id, read_replies, read_text_file
from brevanta.cli.environment import check_session_home
from brevanta.cli.errors import EXIT_OK, CommandError, UsageError
from brevanta.cli.run import _interrupted, finish, render
from brevanta.cli.session import RENDER_PHASE, Run, _resumed, saved_analysis, state_of, when

COMPLETE_PHASE = "complete"


def _org_of(args: argparse.Namespace) -> str:
    if args.org is not None:
        return check_org_id(args.org)
    if args.interview is None or args.interview == STDIN:
        raise UsageError("name the interview file or the organisation (--org ORG_ID) whose documents to write")
    return default_org_id(args.interview)


def _read_record(path: Path) -> dict[str, Any] | None:
    """A session file as a record, or None for anything that is not a regular file holding a session."""
    try:
        if not stat.S_ISREG(path.lstat().st_mode):
            return None
        data = json.loads(path.read_text(encoding="utf-8"))
    except (OSError, ValueError):
        return None
    if not isinstance(data, dict) or not isinstance(data.get("state"), dict):
        return None
    return {"path": str(path), "org_id": data.get("org_id"), "phase": data.get("phase"),
            "saved_at": str(data.get("saved_at", "")), "state": data["state"]}


def renderable_sessions(org_id: str) -> list[dict[str, Any]]:
    """The organisation's sessions that have reached their documents (unfinished at rendering, or
    complete), newest first."""
    records = (_read_record(path) for path in waymark.SESSIONS_DIR.glob("*.json"))
    chosen = [record for record in records if record is not None and record["org_id"] == org_id
              and record["phase"] in (RENDER_PHASE, COMPLETE_PHASE)]
    return sorted(chosen, key=lambda record: record["saved_at"], reverse=True)


def _interview_text(state: dict[str, Any], args: argparse.Namespace) -> str:
    """The interview the session was analysed on: as the session stores it, else from its file."""
    stored = state.get("interview_text")
    if isinstance(stored, str) and stored.strip():
        return stored
    saved_file = state.get("interview_file")
    path = saved_file if isinstance(saved_file, str) and saved_file != STDIN else args.interview
    if path is None or path == STDIN:
        raise CommandError("the session does not hold its interview, and it was read from standard input",
                           hint="Name the interview file: brevanta render INTERVIEW_FILE --org ORG_ID.")
    return read_text_file(path, "interview file")


def _session_run(record: dict[str, Any], org_id: str, args: argparse.Namespace) -> Run:
    state = state_of(record)
    saved_file = state.get("interview_file")
    interview_path = saved_file if isinstance(saved_file, str) else args.interview or STDIN
    run = _resumed(argparse.Namespace(interview=interview_path, round=None), org_id, record)
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
        display.info(f"Writing the documents of the session saved {when(record['saved_at'])} "
                     f"({record['phase']}): {record['path']}")
        run = _session_run(record, org_id, args)
        result = saved_analysis(run)
        if result is None:
            raise CommandError("the session holds no analysis to write the documents from",
                               hint="Run brevanta analyze on the interview to analyse it again.")
        interview = _interview_text(state_of(record), args)
        documents.check_output_dir(Path(str(run.output_dir)))
        access = models.open_access(args.replay, replies)
        render(run, result, interview, access, args.formats, [args.only] if args.only else None)
        finish(run, args.formats)
        return EXIT_OK
    except KeyboardInterrupt as interrupt:
        return _interrupted(interrupt, run)
