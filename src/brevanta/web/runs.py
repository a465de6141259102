"""The run's phases as the browser takes them: a session is taken (locked and read again) for each
action and given up at its end, so a terminal run can take it between two clicks; a session that
another process holds is refused, never changed. Every phase, check and message is the pipeline's."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from contextlib import contextmanager
from dataclasses import dataclass
from pathlib import Path
from typing import TYPE_CHECKING, Any

from brevanta.pipeline import decisions, session
from brevanta.pipeline.interview import STDIN, Interview
from brevanta.pipeline.organisation import default_output_dir
from brevanta.pipeline.session import Run
from brevanta.pipeline.session import state_of
from brevanta.pipeline.words import sentence
from brevanta.web.sessionfiles import SessionRef, read_session
from brevanta.web.tasks import CANCELLED_MESSAGE, Task, TaskFailed

if TYPE_CHECKING:
    from brevanta import gapscope
    from brevanta.pipeline.models import ModelAccess
    from brevanta.pipeline.readers import SourceText
    from brevanta.pipeline.rendering import DocumentEvent


class SessionGone(Exception):
    """The session file is not there any more (archived, restored or moved meanwhile)."""


class Refused(Exception):
    """The action cannot be taken on the session as it stands; the message says why and what to do."""


NO_INTERVIEW_TEXT = ("This session was saved without its interview's text: run `brevanta analyze` on the "
                     "interview file once, then go on here.")
NOTHING_CHANGED = "Nothing was changed: wait for it to end, then retry."
STALE = "The session changed since this page was shown (in another tab or a terminal): look again and retry."


def interview_of(state: dict[str, Any]) -> Interview:
    """The interview a session was made from, as it keeps it: its path and its text."""
    text = state.get("interview_text")
    return Interview(session.interview_file(state) or STDIN, text if isinstance(text, str) else "")


def run_of(record: dict[str, Any]) -> Run:
    """The run a record stands for, without taking its lock: for showing it."""
    return session.resumed(record, interview_of(state_of(record)), record["org_id"], None, None)


@dataclass
class Opened:
    run: Run
    result: gapscope.AnalysisResult | None  # the analysis of the run's round, with its decisions
    record: dict[str, Any]


@contextmanager
def opened(ref: SessionRef) -> Iterator[Opened]:
    """The session of `ref`, held by this process until the block ends; SessionLocked when another
    process (or another task of this server) holds it, SessionGone when it is not there."""
    data = read_session(ref)
    if data is None:
        raise SessionGone(ref.name)
    lock, record = session.take(session.session_record(ref.path, data))
    try:
        if record is None:
            raise SessionGone(ref.name)
        run = session.resumed(record, interview_of(state_of(record)), record["org_id"], None, lock)
        yield Opened(run, session.saved_analysis(run), record)
    finally:
        lock.release()


def ref_of(run: Run) -> SessionRef:
    ref = SessionRef.parse("live", Path(str(run.session_file)).name)
    assert ref is not None, run.session_file  # the store names its files so
    return ref


# -- the model ------------------------------------------------------------------


class _TaskActivity:
    """What a request shows while it is waited for, on the task's page: its label and its last note
    (the attempt number, the wait before a retry)."""

    def __init__(self, task: Task, label: str) -> None:
        self._task = task
        self._label = label

    def note(self, text: str) -> None:
        self._task.update(message=f"{self._label} {text}")


@contextmanager
def _shown(task: Task, label: str) -> Iterator[_TaskActivity]:
    task.update(message=label)
    yield _TaskActivity(task, label)


def model_access(task: Task, run: Run) -> ModelAccess:
    """This server's way to the model (the relay or the API, as the command finds it), its usage kept
    in the run's session and its waits shown on the task's page."""
    from brevanta.pipeline import models

    access = models.open_access(None, None, activity=lambda label: _shown(task, label))
    access.on_usage = run.usage.append
    return access


def phase_failure(exc: BaseException) -> str | None:
    """A phase's failure in the pipeline's own words, as one sentence for the page; None for a fault
    of ours, which the task runner logs in full."""
    from brevanta.errors import CommandError
    from brevanta.pipeline.lock import InterviewBusy, SessionLocked
    from brevanta.web.advice import sentence as advised

    if isinstance(exc, CommandError):
        return advised(exc)
    if isinstance(exc, SessionLocked):
        return f"{sentence(str(exc))} {NOTHING_CHANGED}"
    if isinstance(exc, InterviewBusy):
        return sentence(str(exc))
    if isinstance(exc, Refused):
        return str(exc)
    return None


@contextmanager
def reported(task: Task) -> Iterator[None]:
    """Inside a task: a phase's failure ends the task with its message; a cancelled one stays cancelled."""
    from brevanta.pipeline.attempts import Cancelled

    try:
        yield
    except Cancelled:
        raise TaskFailed(CANCELLED_MESSAGE) from None
    except Exception as exc:
        message = phase_failure(exc)
        if message is None:
            raise
        raise TaskFailed(message) from exc


# -- phases that call the model (on a task's thread) ---------------------------------


def analyse_new(task: Task, org_id: str, interview: SourceText, known: set[str]) -> str:
    """The session of `org_id` for `interview` (an upload as its reader read it, or a paste) after its first
    analysis; returns its file name. Another run analysing the same text for a new session is waited for:
    when it saved a session of `org_id` (one not in `known`, the sessions there were before), that is the
    one, and nothing is paid again. Otherwise a new session, analysed here; nothing is saved when the task
    is cancelled."""
    from brevanta.pipeline import analysis

    run = session.new_run(Interview(STDIN, interview.text, interview), org_id, 1)
    run.output_dir = default_output_dir(org_id)  # under the folder the server was started in
    try:
        with reported(task):
            if session.analysing(run.interview_sha256) is not None:
                task.update(message="Waiting for the other analysis of this interview.")
            session.claim(run, wait=True, cancel=task.cancel_requested)
            appeared = session.saved_meanwhile(session.unfinished_sessions(org_id), known,
                                               Interview(STDIN, interview.text))
            if appeared:
                return Path(appeared[0]["path"]).name
            task.update(message="Analysing the interview (round 1).")
            analysis.analyse(run, interview.text, model_access(task, run), cancel=task.cancel_requested)
    finally:
        run.release()
    return ref_of(run).name


def analyse_again(task: Task, ref: SessionRef) -> None:
    """The session's round analysed again: after an attached document, or in the next round."""
    from brevanta.pipeline import analysis

    with reported(task), opened(ref) as taken:
        if not taken.run.interview_text.strip():
            raise Refused(NO_INTERVIEW_TEXT)
        analysis.analyse(taken.run, taken.run.interview_text, model_access(task, taken.run),
                         cancel=task.cancel_requested)


# -- the documents ----------------------------------------------------------------


def _progress(task: Task) -> Callable[[DocumentEvent], None]:
    from brevanta.pipeline import rendering

    states = {rendering.STARTED: "asked", rendering.WAITING: "waiting", rendering.RECEIVED: "writing",
              rendering.WRITTEN: "written", rendering.FAILED: "failed"}

    def show(event: DocumentEvent) -> None:
        characters = event.characters if event.stage == rendering.RECEIVED else None
        task.update(document=event.kind, state=states.get(event.stage, event.stage), characters=characters,
                    note=event.note if event.stage == rendering.WAITING else "")

    return show


def writing(ref: SessionRef) -> Callable[[Task], str]:
    """The work of a task that writes the session's documents still missing, then completes the session."""

    def work(task: Task) -> str:
        from brevanta.pipeline import documents, rendering
        from brevanta.pipeline.formats import installed_formats

        with reported(task), opened(ref) as taken:
            run, result = taken.run, taken.result
            if result is None or decisions.open_gaps(result, run) or run.left_open:
                raise Refused("Every gap must be answered or bypassed before the documents are written.")
            run.output_dir = run.output_dir or default_output_dir(run.org_id)
            documents.check_output_dir(Path(run.output_dir))
            for kind in documents.FILE_NAMES:
                task.update(document=kind, state="written" if kind in run.written else "waiting")
            task.update(message="Writing the documents.")
            rendering.write_documents(run, result, run.interview_text, model_access(task, run), formats=installed_formats(),
                                      progress=_progress(task), cancel=task.cancel_requested)
            session.complete(run)
        return "Both documents are written."

    return work
