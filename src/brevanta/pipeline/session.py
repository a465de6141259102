"""A run's session: what it holds, saving it through waymark after every step worth keeping, and
finding the sessions of an interview, of an organisation or of every organisation."""

from __future__ import annotations

import os
import threading
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from brevanta import durable, waymark
from brevanta.errors import SessionNotSaved as SessionNotSaved  # raised by every save of the store
from brevanta.errors import saving
from brevanta.pipeline.inputs import DOCUMENT_KINDS
from brevanta.pipeline.interview import STDIN, Interview, binding, display_name, source_state
from brevanta.pipeline.lock import (InterviewBusy, InterviewLock, SessionLock, SessionLocked, holding,
                                   interview_holder)
from brevanta.pipeline.records import ANALYSIS_FIELDS, analysis_fields, gap_records, is_count
from brevanta.pipeline.session_files import checked_path, within_depth
from brevanta.pipeline.session_files import read_session_file as read_session_file  # the front ends' reader too
from brevanta.pipeline.times import when as when  # a session's times, as the front ends show them
from brevanta.pipeline.words import count

if TYPE_CHECKING:  # the analysis module loads the SDK: listing sessions does without it
    from brevanta import gapscope


def _phase(name: str) -> str:
    """`name`, checked against the store's pipeline phases at import rather than in a saved file."""
    if name not in waymark.PHASES:
        raise RuntimeError(f"waymark has no phase {name!r}")
    return name


ANALYSIS_PHASE = _phase("analysis")
RENDER_PHASE = _phase("render")
COMPLETE_PHASE = _phase("complete")
DOCUMENT_TYPES = list(DOCUMENT_KINDS)


@dataclass
class Run:
    """One invocation's working state; a resumed session fills it from its saved state."""

    interview_path: str
    org_id: str
    round: int
    answers: list[dict[str, Any]] = field(default_factory=list)
    bypassed: list[dict[str, Any]] = field(default_factory=list)
    # {"name", "kind", "size", "text", "marks", "round"}: each document as its reader read it
    attachments: list[dict[str, Any]] = field(default_factory=list)
    analysis: dict[str, Any] | None = None  # {"round", "result"}: the analysis the decisions are made on
    walking: bool = False  # the user chose to answer the gaps one by one
    left_open: list[dict[str, Any]] = field(default_factory=list)  # gaps left for a later round
    output_dir: str | None = None
    written: list[str] = field(default_factory=list)  # documents already on disk, by type
    phase: str = ANALYSIS_PHASE
    session_file: str | None = None
    declined: str | None = None  # archived once this run has its own analysis
    interview_sha256: str = ""
    interview_text: str = ""
    interview_source: dict[str, Any] | None = None  # the interview's name, kind, size and marks, without its text
    lock: SessionLock | None = field(default=None, repr=False)  # held from the first save to the end of the run
    # A new session's: no other run analyses this interview text for a new session until this one is saved.
    claim: InterviewLock | None = field(default=None, repr=False)
    usage: list[dict[str, Any]] = field(default_factory=list)  # one record per model request, every run's
    batch: dict[str, Any] | None = None  # {"batch", "custom_id"}: the batch request whose analysis began it
    # The model's reply of each document accepted on the current decisions, by kind: {"text", "model",
    # "stop_reason", "citations"} (and "replayed" for a saved reply), so the documents can be written again
    # without a request.
    replies: dict[str, dict[str, Any]] = field(default_factory=dict)

    @property
    def interview_name(self) -> str:
        """The interview's name as the user knows it: the file's, the upload's, or its title."""
        return display_name(self.interview_path, self.interview_text, (self.interview_source or {}).get("name"))

    def answers_of_round(self, round_number: int) -> list[dict[str, Any]]:
        return [answer for answer in self.answers if answer.get("round") == round_number]

    def release(self) -> None:
        if self.lock is not None:
            self.lock.release()
            self.lock = None
        self.release_claim()

    def release_claim(self) -> None:
        if self.claim is not None:
            self.claim.release()
            self.claim = None


def new_run(interview: Interview, org_id: str, round_number: int) -> Run:
    return Run(interview.path, org_id, round_number, interview_sha256=interview.sha256, interview_text=interview.text,
               interview_source=source_state(interview.source))


# -- what a session holds -----------------------------------------------------


def state_of(record: dict[str, Any]) -> dict[str, Any]:
    state = record.get("state")
    return state if isinstance(state, dict) else {}


def _saved_round(state: dict[str, Any]) -> int:
    value = state.get("round")
    return value if isinstance(value, int) and value >= 1 else 1


def _saved_list(state: dict[str, Any], key: str) -> list[Any]:
    value = state.get(key)
    return [item for item in value if isinstance(item, dict)] if isinstance(value, list) else []


def _saved_replies(state: dict[str, Any]) -> dict[str, dict[str, Any]]:
    value = state.get("replies")
    if not isinstance(value, dict):
        return {}
    return {kind: reply for kind, reply in value.items()
            if kind in DOCUMENT_TYPES and isinstance(reply, dict) and isinstance(reply.get("text"), str)}


def _saved_answers(state: dict[str, Any]) -> list[dict[str, Any]]:
    """The session's answers; a gap id that cannot be one (a list, an object) reads as none."""
    answers = _saved_list(state, "interview_answers")
    for answer in answers:
        gap_id = answer.get("gap_id")
        if isinstance(gap_id, bool) or not isinstance(gap_id, (str, int, type(None))):
            answer["gap_id"] = None
    return answers


def _saved_written(state: dict[str, Any]) -> list[str]:
    value = state.get("documents_written")
    return [kind for kind in DOCUMENT_TYPES if isinstance(value, list) and kind in value]


@dataclass(frozen=True)
class Holdings:
    """What a saved session holds, every value read defensively from its state."""

    round: int
    answers: int
    bypassed: int
    open_gaps: int | None  # None for a session saved before its open gaps were counted
    attachments: int
    written: tuple[str, ...]  # the kinds of the documents written, in their order

    @property
    def documents(self) -> str:
        """"PRD and TRD", "PRD", or ""."""
        return " and ".join(kind.upper() for kind in self.written)


def holdings(state: dict[str, Any]) -> Holdings:
    open_gaps = state.get("open_gaps")
    return Holdings(
        round=_saved_round(state),
        answers=len(_saved_list(state, "interview_answers")),
        bypassed=len(_saved_list(state, "bypassed_gaps")),
        open_gaps=open_gaps if is_count(open_gaps) else None,
        attachments=len(_saved_list(state, "attachments")),
        written=tuple(_saved_written(state)),
    )


def describe(state: dict[str, Any]) -> str:
    """What a saved session holds, in a few words: round, answers, bypassed and open gaps, documents."""
    return in_words(holdings(state))


def in_words(held: Holdings) -> str:
    """"round 2, 1 answer, 0 bypassed, 3 open gaps, 1 attached document, PRD and TRD written"."""
    parts = [f"round {held.round}", count(held.answers, "answer"), f"{held.bypassed} bypassed"]
    if held.open_gaps is not None:
        parts.append(count(held.open_gaps, "open gap"))
    if held.attachments:
        parts.append(count(held.attachments, "attached document"))
    if held.written:
        parts.append(f"{held.documents} written")
    return ", ".join(parts)


def filled_by(state: dict[str, Any]) -> dict[str, Any] | None:
    """The batch request whose analysis began the session ({"batch", "custom_id"}), or None."""
    origin = state.get("batch")
    return origin if isinstance(origin, dict) and isinstance(origin.get("custom_id"), str) else None


def interview_file(state: dict[str, Any]) -> str | None:
    """The interview file the session names ("-" for standard input), or None when it names none a
    path can be."""
    name = state.get("interview_file")
    return STDIN if name == STDIN else checked_path(name)


def interview_name(state: dict[str, Any]) -> str:
    """The name of the interview a saved session belongs to, as `display_name` gives it."""
    path, text, kept = interview_file(state), state.get("interview_text"), state.get("interview_source")
    if path is None:
        return "an unnamed interview"
    return display_name(path, text if isinstance(text, str) else "", kept.get("name") if isinstance(kept, dict) else None)


def output_dir(state: dict[str, Any]) -> str | None:
    """The folder the session writes its documents into, or None when it names none a path can be."""
    return checked_path(state.get("output_dir"))


# -- finding sessions ---------------------------------------------------------


def session_record(path: Path, data: dict[str, Any]) -> dict[str, Any]:
    """A session file's content as a session record: its path, organisation, phase, time and state."""
    return {"path": str(path), "org_id": str(data.get("org_id", "")), "phase": str(data.get("phase", "unknown")),
            "saved_at": str(data.get("saved_at", "")), "state": state_of(data)}


def session_records(directory: Path, org_id: str | None = None) -> list[dict[str, Any]]:
    """The sessions in `directory` (of `org_id`, or of every organisation), newest first. Only regular
    `.json` files are opened: links, FIFOs and directories are passed over by their directory entry, and
    an organisation's files by the name the store gives them (its shortened id first), as the store's
    own listing does."""
    records = []
    prefix = "" if org_id is None else waymark._safe_org_id(org_id) + "_"
    with os.scandir(directory) as entries:
        for entry in entries:
            if not entry.name.startswith(prefix) or not entry.name.endswith(".json") \
                    or not entry.is_file(follow_symlinks=False):
                continue
            data = read_session_file(Path(entry.path))
            if data is not None and (org_id is None or data.get("org_id") == org_id):
                records.append(session_record(Path(entry.path), data))
    return sorted(records, key=lambda record: record["saved_at"], reverse=True)


def unfinished_sessions(org_id: str | None) -> list[dict[str, Any]]:
    """The organisation's unfinished sessions (every organisation's for None), newest first."""
    if org_id is None:
        waymark._ensure_dirs()  # made by the store itself, private as it makes them
        return [record for record in session_records(waymark.SESSIONS_DIR) if record["phase"] != COMPLETE_PHASE]
    # The store matches on the shortened id; keep this organisation's own sessions only, and only what
    # any reader of session files would take for one.
    return [dict(record) for record in waymark.load_incomplete_sessions(org_id)
            if record["org_id"] == org_id and within_depth(record)]


def completed_sessions(org_id: str | None) -> list[dict[str, Any]]:
    """The organisation's completed sessions (every organisation's for None), newest first."""
    waymark._ensure_dirs()
    return [record for record in session_records(waymark.SESSIONS_DIR, org_id) if record["phase"] == COMPLETE_PHASE]


def archived_sessions(org_id: str | None) -> list[dict[str, Any]]:
    waymark._ensure_dirs()
    return session_records(waymark.ARCHIVE_DIR, org_id)


def newest_first(find: Callable[[str], list[dict[str, Any]]], org_ids: Iterable[str]) -> list[dict[str, Any]]:
    """The records `find` gives for each of `org_ids` (an organisation's id now and its ids of before),
    as one list, newest first."""
    records = [record for org_id in dict.fromkeys(org_ids) for record in find(org_id)]
    return sorted(records, key=lambda record: record["saved_at"], reverse=True)


def of_interview(records: list[dict[str, Any]], interview: Interview) -> tuple[list[dict[str, Any]], list[dict[str, Any]]]:
    """The records of this very interview text, and those of its file saved before the file changed."""
    same = [record for record in records if binding(state_of(record), interview) == "same"]
    changed = [record for record in records if binding(state_of(record), interview) == "changed"]
    return same, changed


def saved_meanwhile(records: list[dict[str, Any]], known: set[str], interview: Interview) -> list[dict[str, Any]]:
    """The sessions of this very interview text among `records` that were not among `known` (the paths
    listed before): saved by another run while this one waited for its claim on the interview."""
    return of_interview([record for record in records if record["path"] not in known], interview)[0]


def take(record: dict[str, Any]) -> tuple[SessionLock, dict[str, Any] | None]:
    """Locks the session of `record` and reads it again: another run may have saved it since it was
    listed. The record is None when the file is gone. SessionLocked when another run holds it."""
    lock = SessionLock.acquire(record["path"])
    data = read_session_file(Path(record["path"]))
    return lock, (None if data is None else session_record(Path(record["path"]), data))


def resumed(record: dict[str, Any], interview: Interview, org_id: str, round_number: int | None,
            lock: SessionLock | None) -> Run:
    state = state_of(record)
    analysis = state.get("analysis")
    run = new_run(interview, org_id, round_number or _saved_round(state))
    kept = state.get("interview_source")
    if run.interview_source is None and isinstance(kept, dict) and state.get("interview_sha256") == interview.sha256:
        run.interview_source = kept  # the interview was not read again: the session's own record of it
    run.answers = _saved_answers(state)
    run.bypassed = gap_records(state.get("bypassed_gaps"))
    run.attachments = _saved_list(state, "attachments")
    run.analysis = analysis if isinstance(analysis, dict) else None
    run.walking = state.get("walking") is True
    run.left_open = gap_records(state.get("left_open"))
    run.output_dir = output_dir(state)
    run.written = _saved_written(state)
    run.usage = _saved_list(state, "usage")
    run.batch = filled_by(state)
    run.replies = _saved_replies(state)
    run.phase = RENDER_PHASE if record["phase"] == RENDER_PHASE else ANALYSIS_PHASE
    run.session_file = record["path"]
    run.lock = lock
    return run


def for_changed_interview(run: Run) -> None:
    """The interview's text changed since the session was saved: its analysis, and the bypasses and open
    gaps of that analysis, go; the answers and attached documents stay, and the documents are written again."""
    run.analysis, run.bypassed, run.walking, run.left_open, run.written = None, [], False, [], []
    run.replies = {}
    run.phase = ANALYSIS_PHASE


def reopen(run: Run) -> None:
    """A completed session taken up again: its decisions can change and both documents are written again."""
    run.written, run.phase = [], ANALYSIS_PHASE


def reopen_file(path: Path) -> dict[str, Any]:
    """Makes the completed session in `path` unfinished again, its documents to be written again, so the
    next run of its interview offers it. Returns its record; ValueError when it is not a completed session."""
    with SessionLock.acquire(path):
        data = read_session_file(path)
        if data is None or data.get("phase") != COMPLETE_PHASE:
            raise ValueError(f"{path} is not a completed session")
        record = session_record(path, data)
        state = record["state"]
        state["documents_written"] = []
        with saving(waymark.SESSIONS_DIR, "save the session"):
            waymark.save_state(record["org_id"], state, ANALYSIS_PHASE, str(path))
    return record


def claim(run: Run, *, wait: bool = False, cancel: threading.Event | None = None) -> None:
    """The claim of a new session's run on its interview text, held until the session is saved: one
    analysis of one interview text for a new session at a time, whichever front end starts it.
    InterviewBusy when another run has it (unless `wait`: then when `cancel` is set)."""
    waymark._ensure_dirs()
    run.claim = InterviewLock.acquire(waymark.SESSIONS_DIR, run.interview_sha256, wait=wait, cancel=cancel)


def analysing(interview_sha256: str) -> InterviewBusy | None:
    """Who is analysing this interview text for a new session now, or None."""
    waymark._ensure_dirs()
    return interview_holder(waymark.SESSIONS_DIR, interview_sha256)


def refuse_if_held(record: dict[str, Any]) -> None:
    """SessionLocked when another run holds the session of `record`, before the user is asked about it."""
    held = holding(record["path"])
    if held is not None:
        raise held


def archive(path: str) -> bool:
    """Moves a declined session into the archive; False when another run holds it (it is theirs now)."""
    try:
        with SessionLock.acquire(path), saving(waymark.ARCHIVE_DIR, "archive the session"):
            waymark.archive_session(path)
    except SessionLocked:
        return False
    return True


# -- the analysis a session keeps ---------------------------------------------


def _adopt_bypasses(run: Run, result: gapscope.AnalysisResult) -> None:
    """Earlier bypasses stay bypassed; from here on one list records each bypass once, for both."""
    result.bypassed_gaps.extend(run.bypassed)
    run.bypassed = result.bypassed_gaps


def keep_analysis(run: Run, result: gapscope.AnalysisResult) -> None:
    """Makes `result` this run's analysis, kept in the session so that a resumed run does not pay again."""
    _adopt_bypasses(run, result)
    run.analysis = {"round": run.round, "result": {name: getattr(result, name) for name in ANALYSIS_FIELDS}}
    run.replies = {}  # written on another analysis


def saved_analysis(run: Run) -> gapscope.AnalysisResult | None:
    """The session's own analysis of this round with the decisions already made on it, or None."""
    if run.analysis is None or run.analysis.get("round") != run.round:
        return None
    from brevanta import gapscope

    fields = run.analysis.get("result")
    if not isinstance(fields, dict):  # a session file edited by hand: analyse again
        return None
    result = gapscope.AnalysisResult(**analysis_fields(fields))
    result.answered_gaps.extend(answer.get("gap_id") for answer in run.answers_of_round(run.round))
    _adopt_bypasses(run, result)
    return result


def save(run: Run, result: gapscope.AnalysisResult) -> bool:
    """Saves the run's state; True when this created the session file, which the run then locks."""
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
        interview_file=run.interview_path if run.interview_path == "-" else str(Path(run.interview_path).resolve()),
        interview_sha256=run.interview_sha256,
        interview_text=run.interview_text,  # so documents and a new analysis can be made without the file
        interview_source=run.interview_source,
        attachments=run.attachments,
        analysis=run.analysis,
        walking=run.walking,
        left_open=run.left_open,
        open_gaps=len(result.get_unanswered_gaps()),
        documents_written=run.written,
        usage=run.usage,
        replies=run.replies,
    )
    if run.batch is not None:
        state["batch"] = run.batch
    first_save = run.session_file is None
    durable.sweep_leftovers(waymark.SESSIONS_DIR)  # what writers killed mid-save left in the store
    with saving(waymark.SESSIONS_DIR, "save the session"):
        run.session_file = waymark.save_state(run.org_id, state, run.phase, run.session_file)
        if run.lock is None:
            run.lock = SessionLock.acquire(run.session_file)
    run.release_claim()  # the session is there and held: whoever waited for the interview finds it
    return first_save


def complete(run: Run) -> None:
    with saving(waymark.SESSIONS_DIR, "save the session"):
        waymark.mark_complete(str(run.session_file))
