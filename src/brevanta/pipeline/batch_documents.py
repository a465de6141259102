"""The documents of many sessions in one batch: the PRD and the TRD of every session ready for them, each
requested as a run requests it (the same shared, cached material first), and once the results are in,
checked, completed and written as a run writes it, the session saved after each document and completed
with the second.

A session is ready once every gap of its analysis is answered or bypassed (with `bypass_open`, the open
ones are bypassed first, as `--yes` does), no gap waits for a later round, and a document is missing. It is
taken for its documents before the batch is sent (phase render, output folder, bypasses: saved), so a run
of its interview meanwhile resumes at the documents; a result whose session has moved on (a decision
changed, the document written by another run) is passed over.
"""

from __future__ import annotations

from collections import Counter
from collections.abc import Callable, Sequence
from pathlib import Path
from typing import TYPE_CHECKING, Any

from brevanta import config
from brevanta.errors import EnvironmentProblem, ModelFailure
from brevanta.pipeline import batchfiles, decisions, documents, session
from brevanta.pipeline.assembly import DocumentRefused
from brevanta.pipeline.batchfiles import DOCUMENTS, PASSED_OVER, UNREADABLE, BatchRecord, BatchRequest, Plan, \
    Planned, Skipped
from brevanta.pipeline.decisions import open_gaps
from brevanta.pipeline.interview import STDIN, Interview
from brevanta.pipeline.lock import SessionLocked
from brevanta.pipeline.models import BatchEndpoints, completion_of, message_request
from brevanta.pipeline.rendering import finish_reply, record_written, to_documents
from brevanta.pipeline.session import RENDER_PHASE, Run, saved_analysis, state_of
from brevanta.pipeline.sources import Source, run_sources
from brevanta.pipeline.usage import usage_record
from brevanta.pipeline.words import count

if TYPE_CHECKING:
    from anthropic.types import Message

    from brevanta import gapscope


class NotReady(Exception):
    """A session that cannot go on to its documents now; the message says why."""


class InUse(NotReady):
    """The session is held by another run: it can go on once that run ends."""


def _take(record: dict[str, Any]) -> tuple[Run, gapscope.AnalysisResult]:
    """The session of `record` as a run holding its lock, with the analysis its decisions were made on;
    NotReady when there is none."""
    try:
        lock, current = session.take(record)
    except SessionLocked as exc:
        raise InUse(f"in use by process {exc.pid or 'unknown'} since {exc.since or 'an unknown time'}") from None
    if current is None:
        lock.release()
        raise NotReady("the session file is gone")
    state = state_of(current)
    text, path = state.get("interview_text"), state.get("interview_file")
    if not isinstance(text, str) or not text.strip():
        lock.release()
        raise NotReady("the session does not hold its interview: brevanta render writes its documents")
    run = session.resumed(current, Interview(path if isinstance(path, str) else STDIN, text), current["org_id"],
                          None, lock)
    result = saved_analysis(run)
    if result is None:
        run.release()
        raise NotReady("the session holds no analysis of its round: brevanta analyze analyses it")
    return run, result


def _request_params(kind: str, sent: Sequence[Source], result: gapscope.AnalysisResult) -> dict[str, Any]:
    """The request of a run for the document `kind`: the sources `sent` and the analysis it is written from."""
    return message_request(documents.compose(kind, sent, result), operation=kind,
                           max_tokens=config.MAX_TOKENS_DOCUMENT)


def _waiting_sessions() -> set[str]:
    """The sessions whose documents wait in a batch."""
    return {str(request.session) for record in batchfiles.pending(DOCUMENTS) for request in record.requests
            if request.outcome is None}


def _made_ready(run: Run, result: gapscope.AnalysisResult, bypass_open: bool, out: str | None) -> list[str]:
    """Takes the session to its documents, saved; returns the documents it lacks. NotReady when a gap stands
    in the way or its folder cannot be written."""
    if run.left_open:
        raise NotReady(f"{count(len(run.left_open), 'gap')} left for a later round")
    still_open = open_gaps(result, run)
    if still_open and not bypass_open:
        raise NotReady(f"{count(len(still_open), 'open gap')}: answer them with brevanta analyze, "
                       "or pass --yes to bypass them")
    output_dir = str((Path(out or ".") / run.org_id).absolute()) if out or not run.output_dir else run.output_dir
    try:
        documents.check_output_dir(Path(output_dir))
    except EnvironmentProblem as problem:
        raise NotReady(problem.message) from None
    if still_open:
        decisions.bypass_all(run, result)
    if output_dir != run.output_dir:
        run.output_dir, run.written = output_dir, []  # documents written elsewhere are written again here
        session.save(run, result)
    to_documents(run, result)
    return [kind for kind in documents.FILE_NAMES if kind not in run.written]


def plan_documents(org_ids: list[str] | None, bypass_open: bool, out: str | None) -> Plan:
    """The document requests of every unfinished session (of `org_ids`, or of every organisation) that is
    ready for its documents; the others are left out, each with its reason."""
    organisations: list[str | None] = list(org_ids) if org_ids else [None]
    records = [record for org_id in organisations for record in session.unfinished_sessions(org_id)]
    waiting = _waiting_sessions()
    plan = Plan()
    for record in records:
        name = f"{record['org_id']}: {record['path']}"
        if record["path"] in waiting:
            plan.skipped.append(Skipped(name, "its documents wait in a batch already"))
            continue
        try:
            run, result = _take(record)
        except NotReady as reason:
            plan.skipped.append(Skipped(name, str(reason)))
            continue
        try:
            missing = _made_ready(run, result, bypass_open, out)
            sent = run_sources(run.interview_text, run, result)
            for kind in missing:
                request = BatchRequest(batchfiles.custom_id(f"{kind}-{run.org_id}", plan.token, len(plan.items) + 1),
                                       run.org_id, interview=run.interview_path, interview_sha256=run.interview_sha256,
                                       document=kind, output_dir=str(run.output_dir), session=run.session_file)
                plan.items.append(Planned(request, _request_params(kind, sent, result)))
        except NotReady as reason:
            plan.skipped.append(Skipped(name, str(reason)))
        finally:
            run.release()
    return plan


def plan_again(requests: list[BatchRequest]) -> Plan:
    """The document requests again, from their sessions as they stand now."""
    plan = Plan()
    for request in requests:
        try:
            run, result = _take({"path": str(request.session)})
        except NotReady as reason:
            plan.skipped.append(Skipped(f"{request.org_id}: {request.session}", str(reason)))
            continue
        try:
            if run.phase == RENDER_PHASE and request.document not in run.written:
                sent = run_sources(run.interview_text, run, result)
                plan.items.append(Planned(request, _request_params(request.document, sent, result)))
            else:
                plan.skipped.append(Skipped(f"{request.org_id}: {request.session}", "the session moved on since"))
        finally:
            run.release()
    return plan


def _write(record: BatchRecord, request: BatchRequest, message: Message) -> None:
    """One document's reply written as a run writes it, into its session; or why not."""
    kind = request.document
    try:
        run, result = _take({"path": str(request.session)})
    except InUse as reason:  # its results can be read again once that run ends
        request.reason = f"its session is {reason}"
        return
    except NotReady as reason:
        request.outcome, request.reason = PASSED_OVER, str(reason)
        return
    try:
        if run.phase != RENDER_PHASE or kind in run.written:
            request.outcome = PASSED_OVER
            request.reason = "the session moved on since the batch was sent (a changed decision, or another run)"
            return
        completion = completion_of(message, str(message.model))
        run.usage.append(usage_record(kind, completion.model, completion, batch=True))
        sent = run_sources(run.interview_text, run, result)  # as the request was made from them
        try:
            finished = finish_reply(kind, completion, run, result, run.interview_text, record.formats, sent)
        except (DocumentRefused, ModelFailure) as failure:
            request.outcome = UNREADABLE
            request.reason = (documents.refusal_text(kind, failure) if isinstance(failure, DocumentRefused)
                              else failure.message)
            session.save(run, result)  # the request's usage
            return
        record_written(kind, run, result, documents.kept_reply(completion, finished, sent))
        request.outcome, request.reason = "succeeded", ""
        if all(written in run.written for written in documents.FILE_NAMES):
            session.complete(run)
    finally:
        run.release()


def read_documents(record: BatchRecord, endpoints: BatchEndpoints, progress: Callable[[int], None] | None) -> None:
    """Reads the batch's results: each document written into its session, a session's PRD before its TRD
    (as a run writes them one after the other: the TRD's checks see the PRD's citations) whatever order the
    results come in; a request whose session is in use is left for the next reading."""
    waiting = {request.custom_id: request for request in record.requests
               if request.outcome is None or request.failed}
    due = Counter(request.session for request in waiting.values())  # results still to come, by session
    held: dict[str | None, list[tuple[BatchRequest, Message]]] = {}
    assert record.batch_id is not None
    with endpoints.results(record.batch_id) as results:
        for number, result in enumerate(results, start=1):
            request = waiting.pop(result.custom_id, None)
            if request is None:
                continue
            if result.outcome == "succeeded" and result.message is not None:
                held.setdefault(request.session, []).append((request, result.message))
            else:
                request.outcome, request.reason = result.outcome, result.reason
            due[request.session] -= 1
            if not due[request.session]:
                _write_in_order(record, held.pop(request.session, []))
            if progress is not None:
                progress(number)
    for replies in held.values():  # the session's other results never came
        _write_in_order(record, replies)
    for request in waiting.values():
        request.outcome, request.reason = "errored", "the service gave no result for it"


def _write_in_order(record: BatchRecord, replies: list[tuple[BatchRequest, Message]]) -> None:
    order = list(documents.FILE_NAMES)
    for request, message in sorted(replies, key=lambda reply: order.index(reply[0].document)):
        _write(record, request, message)
