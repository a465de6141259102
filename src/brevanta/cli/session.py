"""The run's session: resuming or starting one, and saving it through waymark."""

from __future__ import annotations

import argparse
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path
from typing import Any

from brevanta import display, waymark
from brevanta.cli.errors import saving
from brevanta.cli.terminal import ask_yes_no

ANALYSIS_PHASE = "analysis"  # one of waymark.PHASES


@dataclass
class Run:
    """One invocation's working state; a resumed session fills it from its saved state."""

    interview_path: str
    org_id: str
    round: int
    answers: list[dict[str, Any]]
    bypassed: list[dict[str, Any]]
    session_file: str | None = None


def when(saved_at: Any) -> str:
    try:
        return datetime.fromisoformat(saved_at).strftime("%Y-%m-%d %H:%M:%S")
    except (TypeError, ValueError):
        return str(saved_at) or "an unknown time"


def _state_of(record: dict[str, Any]) -> dict[str, Any]:
    return record["state"] if isinstance(record["state"], dict) else {}


def _saved_round(state: dict[str, Any]) -> int:
    value = state.get("round")
    return value if isinstance(value, int) and value >= 1 else 1


def _saved_list(state: dict[str, Any], key: str) -> list[Any]:
    value = state.get(key)
    return [item for item in value if isinstance(item, dict)] if isinstance(value, list) else []


def _unfinished_sessions(org_id: str) -> list[dict[str, Any]]:
    # The store matches on the shortened id; keep this organisation's own sessions only.
    return [record for record in waymark.load_incomplete_sessions(org_id) if record["org_id"] == org_id]


def _list_sessions(sessions: list[dict[str, Any]]) -> None:
    display.info("Unfinished sessions, newest first:")
    for record in sessions:
        print(f"    {when(record['saved_at'])}  round {_saved_round(_state_of(record))}  {record['path']}")


def _wants_resume(record: dict[str, Any], interactive: bool) -> bool:
    question = f"Resume session from {when(record['saved_at'])} (round {_saved_round(_state_of(record))})?"
    if not interactive:
        print(f"{question} [Y/n] yes (not asking)")
        return True
    # End of input keeps the session: declining would archive it.
    return ask_yes_no(question)


def choose_session(args: argparse.Namespace, org_id: str, interactive: bool) -> Run:
    fresh = Run(args.interview, org_id, args.round or 1, answers=[], bypassed=[])
    if args.new:
        return fresh
    sessions = _unfinished_sessions(org_id)
    if not sessions:
        return fresh
    _list_sessions(sessions)
    newest = sessions[0]
    if not _wants_resume(newest, interactive):
        with saving(waymark.ARCHIVE_DIR, "archive the session"):
            waymark.archive_session(newest["path"])
        display.info(f"Archived {Path(newest['path']).name}; starting a new session.")
        return fresh
    state = _state_of(newest)
    return Run(
        args.interview,
        org_id,
        args.round or _saved_round(state),
        answers=_saved_list(state, "interview_answers"),
        bypassed=_saved_list(state, "bypassed_gaps"),
        session_file=newest["path"],
    )


def save_session(run: Run, result: Any) -> None:
    state = waymark.build_serialisable_state(
        interview_answers=run.answers,
        analysis_summary=result.summary,
        analysis_completeness=result.completeness_score,
    )
    # What a resumed run needs beyond the standard keys.
    state["round"] = run.round
    state["bypassed_gaps"] = run.bypassed
    state["interview_file"] = str(Path(run.interview_path).resolve())
    first_save = run.session_file is None
    with saving(waymark.SESSIONS_DIR):
        run.session_file = waymark.save_state(run.org_id, state, ANALYSIS_PHASE, run.session_file)
    if first_save:
        print(display.dim(f"Session saved: {run.session_file}"))
