"""Writing the documents of a run: both requested at once, each checked and written as soon as its reply
is complete, the session saved after each one.

The second request starts once the first one's reply has begun: by then the service holds the prompt
the two share in its cache, so the second reads it from there instead of paying for it again. A rate
limit (429) on the second makes it wait for the first and then go on alone. With
BREVANTA_PARALLEL_DOCUMENTS=0 they are requested one after the other.

Nothing here prints: the front end learns what happens through `DocumentEvent`s, delivered on the
thread of the request they concern.
"""

from __future__ import annotations

import threading
from collections.abc import Callable, Sequence
from dataclasses import dataclass, field
from pathlib import Path
from typing import TYPE_CHECKING, Any

from brevanta import config
from brevanta.pipeline import citations, documents
from brevanta.errors import RESUME_DOCUMENTS, ModelFailure
from brevanta.pipeline import session
from brevanta.pipeline.assembly import DocumentRefused
from brevanta.pipeline.attempts import Cancelled, attempt_note, is_rate_limit
from brevanta.pipeline.models import Completion, Content, ModelAccess, ReplayClient, model_for
from brevanta.pipeline.session import RENDER_PHASE, Run
from brevanta.pipeline.sources import Source, run_sources

if TYPE_CHECKING:
    from brevanta import gapscope

# How long a cancelled run waits for its requests to notice and end.
_CANCEL_GRACE = 1.0

STARTED, WAITING, RECEIVED, WRITTEN, FAILED = "started", "waiting", "received", "written", "failed"


@dataclass(frozen=True)
class DocumentEvent:
    """One step of one document. `stage` is STARTED (its request went out), WAITING (`note` says for what:
    another attempt, or the other document after a rate limit), RECEIVED (`characters` of the reply so
    far), WRITTEN (`written`, with the request's `completion`) or FAILED (`error`)."""

    kind: str
    stage: str
    characters: int = 0
    note: str = ""
    written: documents.Finished | None = None
    completion: Completion | None = None
    error: BaseException | None = None


Progress = Callable[[DocumentEvent], None]
# The step that turns one reply into a document on disk: checked, completed, written in every format.
FinishDocument = Callable[[str, Completion], documents.Finished]


class _DocumentWatch:
    """A request's progress as DocumentEvents; notes when the reply began."""

    def __init__(self, document: _Document, progress: Progress) -> None:
        self._kind = document.kind
        self._progress = progress
        self._document = document

    def retrying(self, attempt: int, attempts: int, wait: float) -> None:
        self._progress(DocumentEvent(self._kind, WAITING, note=attempt_note(attempt, attempts, wait)))

    def began(self) -> None:
        self._document.replied = True
        self._document.began.set()

    def received(self, characters: int) -> None:
        self._progress(DocumentEvent(self._kind, RECEIVED, characters=characters))


@dataclass
class _Document:
    kind: str
    began: threading.Event = field(default_factory=threading.Event)  # also set once it is done
    done: threading.Event = field(default_factory=threading.Event)
    replied: bool = False  # the service answered: a failure from here on is this reply's alone
    failure: BaseException | None = None
    thread: threading.Thread | None = None


@dataclass
class Rendering:
    """The documents still to write, and what to do with each: `content` gives a document's request,
    `finish` writes its reply, `saved` records a written one in the session (one save at a time)."""

    access: ModelAccess
    content: Callable[[str], Content]
    finish: FinishDocument
    saved: Callable[[str], None]
    progress: Progress
    cancel: threading.Event = field(default_factory=threading.Event)
    _save_lock: threading.Lock = field(default_factory=threading.Lock)

    def run(self, kinds: list[str], parallel: bool | None = None) -> None:
        """Writes the documents `kinds`, in parallel unless told otherwise (BREVANTA_PARALLEL_DOCUMENTS).
        Raises the first document's failure once every request has ended; on KeyboardInterrupt, cancels
        the requests, gives them a moment to end, and raises it again. What was written stays written."""
        parallel = config.PARALLEL_DOCUMENTS if parallel is None else parallel
        started: list[_Document] = []
        try:
            for kind in kinds:
                previous = started[-1] if started else None
                if previous is not None:
                    (previous.began if parallel else previous.done).wait()
                    if previous.failure is not None and not (parallel and previous.replied):
                        # One after the other, a failure ends the run; side by side, the next request is due
                        # once the service answered, even if that reply then proved no document.
                        break
                started.append(self._start(kind, previous if parallel else None))
            for document in started:
                document.done.wait()
        except KeyboardInterrupt:
            self._cancel(started)
            raise
        for document in started:
            if document.failure is not None:
                raise document.failure

    def _cancel(self, started: list[_Document]) -> None:
        self.cancel.set()
        for document in started:
            if document.thread is not None:
                document.thread.join(_CANCEL_GRACE / max(len(started), 1))

    def _start(self, kind: str, running: _Document | None) -> _Document:
        """Starts the request for `kind` on its own thread; `running` is a request still under way, whose
        end a rate-limited `kind` waits for."""
        document = _Document(kind)
        document.thread = threading.Thread(target=self._write, args=(document, running), name=f"document-{kind}",
                                           daemon=True)
        document.thread.start()
        return document

    def _write(self, document: _Document, running: _Document | None) -> None:
        kind = document.kind
        try:
            self.progress(DocumentEvent(kind, STARTED))
            completion = self._request(document, running)
            document.replied = True
            written = self.finish(kind, completion)
            with self._save_lock:
                self.saved(kind)
            self.progress(DocumentEvent(kind, WRITTEN, written=written, completion=completion))
        except BaseException as exc:  # handed to the waiting thread
            document.failure = Cancelled() if self.cancel.is_set() else exc
            if not self.cancel.is_set():
                self.progress(DocumentEvent(kind, FAILED, error=exc))
        finally:
            document.began.set()
            document.done.set()

    def _request(self, document: _Document, running: _Document | None) -> Completion:
        kind = document.kind
        watch = _DocumentWatch(document, self.progress)

        def ask(retry_rate_limit: bool) -> Completion:
            return self.access.request(self.content(kind), operation=kind, max_tokens=config.MAX_TOKENS_DOCUMENT,
                                       watch=watch, cancel=self.cancel, retry_rate_limit=retry_rate_limit)

        if running is None:
            return ask(True)
        try:
            return ask(False)
        except Exception as exc:
            if not is_rate_limit(exc):
                raise
        other = documents.short_name(running.kind)
        self.progress(DocumentEvent(kind, WAITING, note=f"rate limited: waiting for the {other} to finish"))
        while not running.done.wait(0.1):
            if self.cancel.is_set():
                raise Cancelled()
        return ask(True)


# -- the documents of a run -------------------------------------------------------------


def _ignore(event: DocumentEvent) -> None:
    pass


def to_documents(run: Run, result: gapscope.AnalysisResult) -> None:
    """The session moves on to its documents, saved: a run stopped from here on resumes at them."""
    if run.phase != RENDER_PHASE:
        run.phase = RENDER_PHASE
        session.save(run, result)


def finish_reply(kind: str, completion: Completion, run: Run, result: gapscope.AnalysisResult, interview: str,
                 formats: list[str], sent: Sequence[Source], replayed: bool = False,
                 directory: Path | None = None) -> documents.Finished:
    """One document's reply checked against the sources `sent` with its request, completed and written in every
    format into `directory` (the run's folder by default), whether it was streamed in a run or came with a
    batch's results."""
    given = documents.document_material(kind, run, result, interview, replayed, sent)
    return documents.finish_document(kind, completion, given, directory or Path(str(run.output_dir)), formats)


def record_written(kind: str, run: Run, result: gapscope.AnalysisResult, reply: dict[str, Any]) -> None:
    """A document written: so the session says, with the reply it came from, saved."""
    run.replies[kind] = reply
    if kind not in run.written:
        run.written.append(kind)
    session.save(run, result)


def write_documents(run: Run, result: gapscope.AnalysisResult, interview: str, access: ModelAccess, *,
                    formats: list[str], only: list[str] | None = None, progress: Progress = _ignore,
                    cancel: threading.Event | None = None, directory: Path | None = None) -> list[str]:
    """Writes the run's documents still missing (those in `only`, when given), each checked and written in
    every format as soon as its reply is complete and recorded in the session, with the reply it came from;
    returns the kinds written. A reply that is no document is not written; the other is, and ModelFailure
    then says what was refused. `cancel` ends the requests (Cancelled), as Ctrl-C does; what was written
    stays written. `directory` stands in for the run's output folder."""
    to_documents(run, result)
    wanted = only or list(documents.FILE_NAMES)
    missing = [kind for kind in wanted if kind not in run.written]
    if not missing:
        return []
    sent = run_sources(interview, run, result)
    replayed = isinstance(access.client, ReplayClient)
    refusals: list[str] = []
    accepted: dict[str, dict[str, Any]] = {}  # kept in the run as each document is recorded, one at a time

    def finish_one(kind: str, completion: Completion) -> documents.Finished:
        try:
            finished = finish_reply(kind, completion, run, result, interview, formats, sent, replayed, directory)
        except DocumentRefused as refusal:
            refusals.append(documents.refusal_text(kind, refusal))
            raise
        accepted[kind] = documents.kept_reply(completion, finished, sent, model_for(kind), replayed)
        return finished

    writing = Rendering(access, content=lambda kind: documents.compose(kind, sent, result), finish=finish_one,
                        saved=lambda kind: record_written(kind, run, result, accepted.pop(kind)), progress=progress)
    if cancel is not None:
        writing.cancel = cancel
    try:
        writing.run(missing)
    except DocumentRefused:
        # The other document went on and was written; a rerun asks for the refused ones only.
        still_missing = [kind.upper() for kind in wanted if kind not in run.written]
        raise ModelFailure("; ".join(refusals), hint=f"A new attempt asks for the {' and the '.join(still_missing)} only.",
                           action=RESUME_DOCUMENTS) from None
    return missing


def rewrite_documents(run: Run, result: gapscope.AnalysisResult, interview: str, kinds: list[str], *,
                      formats: list[str], directory: Path | None = None) -> list[documents.Finished]:
    """Writes the documents `kinds` again from the replies the session keeps, with no model request: each
    checked and assembled as when its reply came (on the session's decisions as they stand), written in
    every format and recorded in the session. `directory` stands in for the run's output folder."""
    to_documents(run, result)
    directory = directory or Path(str(run.output_dir))
    sent = run_sources(interview, run, result)
    finished = []
    for kind in kinds:
        reply = run.replies[kind]
        given = documents.document_material(kind, run, result, interview, reply.get("replayed") is True, sent,
                                            model=str(reply.get("model") or "") or None)
        checked = citations.from_state(reply.get("citations"), sent, str(reply["text"]))
        try:
            finished.append(documents.finish_document(kind, documents.kept_completion(reply), given, directory,
                                                      formats, checked))
        except DocumentRefused as refusal:  # the document's checks changed since the reply was accepted
            raise ModelFailure(documents.refusal_text(kind, refusal),
                               hint="The kept reply no longer passes the document's checks: ask the model for a "
                               "new one.") from None
        record_written(kind, run, result, reply)
    return finished
