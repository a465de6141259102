"""The run's session: resuming or starting one, what it holds, and saving it through waymark
after every step worth keeping."""

from __future__ import annotations

import argparse
from dataclasses import dataclass, field
from datetime import datetime
from pathlib import Path
from typing import TYPE_CHECKING, Any

from brevanta import display, waymark
from brevanta.cli.args import STDIN
from brevanta.cli.errors import saving
from brevanta.cli.terminal import ask_yes_no, count

if TYPE_CHECKING:  # the analysis module loads the SDK: `brevanta sessions` does without it
    from brevanta import gapscope


def _phase(name: str) -> str:
    """`name`, checked against the store's pipeline phases at import rather than in a saved file."""
    if name not in waymark.PHASES:
        raise RuntimeError(f"waymark has no phase {name!r}")
    return name


ANALYSIS_PHASE = _phase("analysis")
RENDER_PHASE = _phase("render")
DOCUMENT_TYPES = ["prd", "trd"]

# The analysis fields kept in the session, so a resumed run does not pay for its analysis again.
_ANALYSIS_FIELDS = ("completeness_score", "completeness_reasoning", "sufficient_for_prd", "gaps", "insights",
                    "data_points_found", "architecture_notes", "summary")


@dataclass
class Run:
    """One invocation's working state; a resumed session fills it from its saved state."""

    interview_path: str
    org_id: str
    round: int
    answers: list[dict[str, Any]] = field(default_factory=list)
    bypassed: list[dict[str, Any]] = field(default_factory=list)
    attachments: list[dict[str, Any]] = field(default_factory=list)  # {"name", "text", "round"}
    analysis: dict[str, Any] | None = None  # {"round", "result"}: the analysis the decisions are made on
    walking: bool = False  # the user chose to answer the gaps one by one
    left_open: list[dict[str, Any]] = field(default_factory=list)  # gaps left for a later round
    output_dir: str | None = None
    written: list[str] = field(default_factory=list)  # documents already on disk, by type
    phase: str = ANALYSIS_PHASE
    session_file: str | None = None
    declined: str | None = None  # archived once this run has its own analysis
    usage: list[dict[str, Any]] = field(default_factory=list)  # one record per model request, every run's

    def answers_of_round(self, round_number: int) -> list[dict[str, Any]]:
        return [answer for answer in self.answers if answer.get("round") == round_number]


# -- what a session holds -----------------------------------------------------


def when(saved_at: Any) -> str:
    try:
        return datetime.fromisoformat(saved_at).strftime("%Y-%m-%d %H:%M:%S")
    except (TypeError, ValueError):
        return str(saved_at) or "an unknown time"


def state_of(record: dict[str, Any]) -> dict[str, Any]:
    state = record.get("state")
    return state if isinstance(state, dict) else {}


def _saved_round(state: dict[str, Any]) -> int:
    value = state.get("round")
    return value if isinstance(value, int) and value >= 1 else 1


def _saved_list(state: dict[str, Any], key: str) -> list[Any]:
    value = state.get(key)
    return [item for item in value if isinstance(item, dict)] if isinstance(value, list) else []


def _saved_written(state: dict[str, Any]) -> list[str]:
    value = state.get("documents_written")
    return [kind for kind in DOCUMENT_TYPES if isinstance(value, list) and kind in value]


def describe(state: dict[str, Any]) -> str:
    """What a saved session holds, in a few words: round, answers, bypassed and open gaps, documents."""
    parts = [f"round {_saved_round(state)}", count(len(_saved_list(state, "interview_answers")), "answer"),
             f"{len(_saved_list(state, 'bypassed_gaps'))} bypassed"]
    open_gaps = state.get("open_gaps")
    if isinstance(open_gaps, int):
        parts.append(count(open_gaps, "open gap"))
    attachments = _saved_list(state, "attachments")
    if attachments:
        parts.append(count(len(attachments), "attached document"))
    written = _saved_written(state)
    if written:
        parts.append(" and ".join(kind.upper() for kind in written) + " written")
    return ", ".join(parts)


# -- resuming -----------------------------------------------------------------


def unfinished_sessions(org_id: str | None) -> list[dict[str, Any]]:
    """The organisation's unfinished sessions (every organisation's for None), newest first."""
    # The store matches on the shortened id; keep this organisation's own sessions only.
    records = waymark.load_incomplete_sessions(org_id or "")
    return [dict(record) for record in records if org_id is None or record["org_id"] == org_id]


def _list_sessions(sessions: list[dict[str, Any]]) -> None:
    display.info("Unfinished sessions, newest first:")
    for record in sessions:
        print(f"    {when(record['saved_at'])}  {record['phase']}, {describe(state_of(record))}  {record['path']}")


def _wants_resume(record: dict[str, Any], interactive: bool) -> bool:
    question = f"Resume session from {when(record['saved_at'])} ({describe(state_of(record))})?"
    if not interactive:
        print(f"{question} [Y/n] yes (not asking)")
        return True
    # End of input keeps the session: declining would archive it.
    return ask_yes_no(question)


def _resumed(args: argparse.Namespace, org_id: str, record: dict[str, Any]) -> Run:
    state = state_of(record)
    analysis = state.get("analysis")
    output_dir = state.get("output_dir")
    return Run(
        args.interview,
        org_id,
        args.round or _saved_round(state),
        answers=_saved_list(state, "interview_answers"),
        bypassed=_saved_list(state, "bypassed_gaps"),
        attachments=_saved_list(state, "attachments"),
        analysis=analysis if isinstance(analysis, dict) else None,
        walking=state.get("walking") is True,
        left_open=_saved_list(state, "left_open"),
        output_dir=output_dir if isinstance(output_dir, str) else None,
        written=_saved_written(state),
        phase=RENDER_PHASE if record["phase"] == RENDER_PHASE else ANALYSIS_PHASE,
        session_file=record["path"],
        usage=_saved_list(state, "usage"),
    )


def choose_session(args: argparse.Namespace, org_id: str, interactive: bool) -> Run:
    fresh = Run(args.interview, org_id, args.round or 1)
    if args.new:
        return fresh
    sessions = unfinished_sessions(org_id)
    if not sessions:
        return fresh
    _list_sessions(sessions)
    newest = sessions[0]
    if _wants_resume(newest, interactive):
        return _resumed(args, org_id, newest)
    # Archived only once the new run has an analysis: a run that cannot reach a model keeps it on offer.
    fresh.declined = newest["path"]
    display.info(f"Starting a new session; {Path(newest['path']).name} is archived once it has its analysis.")
    return fresh


def archive_declined(run: Run) -> None:
    if run.declined is not None:
        with saving(waymark.ARCHIVE_DIR, "archive the session"):
            waymark.archive_session(run.declined)
        display.info(f"Archived {Path(run.declined).name}.")
        run.declined = None


# -- the analysis a session keeps ---------------------------------------------


def _adopt_bypasses(run: Run, result: gapscope.AnalysisResult) -> None:
    """Earlier bypasses stay bypassed; from here on one list records each bypass once, for both."""
    result.bypassed_gaps.extend(run.bypassed)
    run.bypassed = result.bypassed_gaps


def keep_analysis(run: Run, result: gapscope.AnalysisResult) -> None:
    """Makes `result` this run's analysis, kept in the session so that a resumed run does not pay again."""
    _adopt_bypasses(run, result)
    run.analysis = {"round": run.round, "result": {name: getattr(result, name) for name in _ANALYSIS_FIELDS}}


def saved_analysis(run: Run) -> gapscope.AnalysisResult | None:
    """The session's own analysis of this round with the decisions already made on it, or None."""
    if run.analysis is None or run.analysis.get("round") != run.round:
        return None
    from brevanta import gapscope

    fields = run.analysis.get("result")
    try:
        result = gapscope.AnalysisResult(**fields) if isinstance(fields, dict) else None
    except TypeError:  # a session file edited by hand: analyse again
        result = None
    if result is None:
        return None
    result.answered_gaps.extend(answer.get("gap_id") for answer in run.answers_of_round(run.round))
    _adopt_bypasses(run, result)
    return result


def save_session(run: Run, result: gapscope.AnalysisResult) -> None:
    state: dict[str, Any] = dict(waymark.build_serialisable_state(
        interview_answers=run.answers,
        document_types=DOCUMENT_TYPES if run.phase == RENDER_PHASE else None,
        analysis_summary=result.summary,
        analysis_completeness=result.completeness_score,
        output_dir=run.output_dir,
    ))
    # What a resumed run needs beyond the standard keys.
    state.update(
        round=run.round,
        bypassed_gaps=run.bypassed,
        interview_file=run.interview_path if run.interview_path == STDIN else str(Path(run.interview_path).resolve()),
        attachments=run.attachments,
        analysis=run.analysis,
        walking=run.walking,
        left_open=run.left_open,
        open_gaps=len(result.get_unanswered_gaps()),
        documents_written=run.written,
        usage=run.usage,
    )
    first_save = run.session_file is None
    with saving(waymark.SESSIONS_DIR):
        run.session_file = waymark.save_state(run.org_id, state, run.phase, run.session_file)
    if first_save:
        print(display.dim(f"Session saved: {run.session_file}"))
