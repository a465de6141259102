"""Many interviews at once, on the service's batch engine: the requests of interactive runs, sent as a
batch at half the price, followed until the batch ends, and its results turned into what those runs would
have saved, exactly once.

A batch of analyses holds one request per interview, built by gapscope as a run builds it; each succeeded
reply goes through the run's extraction and repair and becomes a session saved as a run saves it after its
analysis, bound to its interview. Batches of documents are `batch_documents`'.

Exactly once, whatever stops a command: a session that a batch request filled names the request
(`batch.custom_id` in its state), and the batch file names the session it filled. The batch file says
`collecting` before the first session is saved; reading the results again after that, the store is first
searched for sessions of the requests the file does not name yet, and those are taken as filled. The file
is written once the results are read, and whenever the reading stops. A batch is sent at most once: its
file is written before it goes out, marked `sending` until the service's answer is recorded; if no answer
came, the service's list of batches shows whether it took it (`adopt`).
"""

from __future__ import annotations

import contextlib
import os
import re
import time
from collections.abc import Callable, Iterable
from dataclasses import asdict, replace
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Any

from brevanta import config, waymark
from brevanta.errors import CommandError, InputProblem, ModelFailure, UsageError
from brevanta.pipeline import batch_documents, batchfiles, session
from brevanta.pipeline.batchfiles import ANALYSIS, DOCUMENTS, UNREADABLE, BatchRecord, BatchRequest, Input, Plan, \
    Planned, Skipped
from brevanta.pipeline.inputs import check_org_id, check_size, read_source_file
from brevanta.pipeline import organisation as organisations
from brevanta.pipeline.interview import Interview, source_state, stored_path, text_sha256
from brevanta.pipeline.models import BatchEndpoints, BatchResult, BatchStatus, SendUnanswered, analysis_of, \
    analysis_request
from brevanta.pipeline.session import keep_analysis, new_run, read_session_file, state_of
from brevanta.pipeline.usage import usage_record

# The service's limits for one batch: past either, the requests go out in several batches.
MAX_REQUESTS = 100_000
MAX_BYTES = 256 * 1024 * 1024
_ENVELOPE = len(b'{"requests":[]}')

# The files a folder is searched for: the kinds the command reads (text and Markdown, Word, PDF, transcripts).
INTERVIEW_SUFFIXES = (".md", ".markdown", ".txt", ".docx", ".pdf", ".vtt", ".srt")

# The wait between two looks at a batch grows by half each time, up to this (or the first wait, if longer).
_LONGEST_POLL = 60.0
# How far the service's clock and ours may differ when a batch sent without an answer is looked for.
_CLOCK_SLACK = timedelta(minutes=5)


# -- what a batch of analyses is given ---------------------------------------------------------------


def _files_in(folder: str) -> list[str]:
    """The interview files in `folder` and below, in name order; hidden ones and linked folders passed over."""
    found = []
    for root, folders, names in os.walk(folder):
        folders[:] = sorted(name for name in folders if not name.startswith("."))
        found += [os.path.join(root, name) for name in sorted(names)
                  if not name.startswith(".") and name.lower().endswith(INTERVIEW_SUFFIXES)]
    return found


def interview_files(paths: list[str]) -> tuple[list[str], list[Skipped]]:
    """The files named, and those found in the folders named, each once."""
    files: list[str] = []
    skipped: list[Skipped] = []
    seen: set[str] = set()
    for path in paths:
        found = _files_in(path) if os.path.isdir(path) else [path]
        if not found:
            skipped.append(Skipped(path, f"holds no interview ({', '.join(INTERVIEW_SUFFIXES)})"))
        for file in found:
            real = os.path.realpath(file)
            if real not in seen:
                seen.add(real)
                files.append(file)
    return files, skipped


def org_for(path: str, text: str, org_prefix: str | None) -> str:
    """The interview's organisation: the prefix and a name made from the file's, or without a prefix the
    organisation `brevanta analyze FILE` gives it."""
    if org_prefix is None:
        return organisations.for_interview(Interview(path, text)).org_id
    name = re.sub(r"[^A-Za-z0-9._-]+", "-", Path(path).stem).strip("-.") or "interview"
    return check_org_id(f"{org_prefix}-{name}")


def _already_analysed() -> dict[tuple[str, str], str]:
    """(organisation, interview SHA-256) -> where its analysis is: a session (unfinished, or complete with
    its documents), or a batch still waiting for it."""
    known: dict[tuple[str, str], str] = {}
    waymark._ensure_dirs()
    for record in session.session_records(waymark.SESSIONS_DIR):
        sha = state_of(record).get("interview_sha256")
        if isinstance(sha, str):
            known[(record["org_id"], sha)] = f"its session {record['path']}"
    for batch in batchfiles.pending(ANALYSIS):
        for request in batch.requests:
            if request.session is None and request.outcome is None:
                known[(request.org_id, request.interview_sha256)] = f"batch {batch.shown_id}, still waiting"
    return known


def plan_analyses(paths: list[str], org_prefix: str | None) -> Plan:
    """One analysis request per interview named or found, as a run would make it; an unreadable, empty or
    too large file, or an interview whose analysis exists or is waiting in a batch, is left out."""
    files, skipped = interview_files(paths)
    plan = Plan(skipped=skipped)
    known = _already_analysed()
    for number, path in enumerate(files, start=1):
        try:
            source = read_source_file(path, "interview file")
            text = source.text
            check_size(text, "the interview")
            org_id = org_for(path, text, org_prefix)
            params = analysis_request(text, 1)
        except (UsageError, InputProblem) as problem:
            plan.skipped.append(Skipped(path, str(problem)))
            continue
        sha = text_sha256(text)
        if (org_id, sha) in known:
            plan.skipped.append(Skipped(path, f"already analysed: {known[(org_id, sha)]}"))
            continue
        known[(org_id, sha)] = "this batch"  # the same text twice for one organisation: analysed once
        request = BatchRequest(batchfiles.custom_id(Path(path).stem, plan.token, number), org_id,
                               interview=stored_path(path), interview_sha256=sha)
        plan.items.append(Planned(request, params, Input(text, source_state(source))))
    return plan


# -- sending -----------------------------------------------------------------------------------------


def _parts(items: list[Planned]) -> list[list[Planned]]:
    """The requests in batches within the service's limits, in their order."""
    parts: list[list[Planned]] = []
    part: list[Planned] = []
    size = _ENVELOPE
    for item in items:
        item_size = item.size
        if part and (len(part) >= MAX_REQUESTS or size + item_size > MAX_BYTES):
            parts.append(part)
            part, size = [], _ENVELOPE
        part.append(item)
        size += item_size
    if part:
        parts.append(part)
    return parts


def _now_utc() -> str:
    return datetime.now(timezone.utc).isoformat()


def status_entry(status: BatchStatus) -> dict[str, Any]:
    """The service's account of a batch as its file keeps it."""
    return {**asdict(status), "checked_at": _now_utc()}


def _send_one(record: BatchRecord, part: list[Planned], endpoints: BatchEndpoints) -> None:
    record.sending = True
    record.status = {"sent_at": _now_utc()}
    batchfiles.save(record)  # before it goes out: a batch the service took is never lost from sight
    try:
        status = endpoints.create([{"custom_id": item.request.custom_id, "params": item.params} for item in part])
    except SendUnanswered:
        raise  # it may have been taken: the file stays, `sending`, and `adopt` finds out
    except ModelFailure:  # the service took nothing
        batchfiles.remove(record)
        raise
    record.batch_id, record.sending, record.status = status.batch_id, False, status_entry(status)
    batchfiles.save(record)


def send(kind: str, plan: Plan, endpoints: BatchEndpoints, *, on_sent: Callable[[BatchRecord], None],
         retry_of: str | None = None, inputs: str | None = None, formats: list[str] | None = None) -> None:
    """Sends the plan's requests as one batch, or several past the service's limits, each recorded in its
    batch file before it goes out; `on_sent` hears of each batch the service took. The first failure ends
    the sending, raised; the parts not sent are forgotten (their interviews are not waiting in a batch)."""
    parts = _parts(plan.items)
    records = []
    created_at = datetime.now().isoformat(timespec="seconds")
    with contextlib.ExitStack() as held:  # no other process looks for them until each is sent or forgotten
        for number, part in enumerate(parts, start=1):
            record = BatchRecord(batchfiles.new_name(plan.token, number if len(parts) > 1 else None), kind,
                                 created_at, [item.request for item in part], sending=True, retry_of=retry_of,
                                 formats=formats or ["md"])
            held.enter_context(batchfiles.locked(record))
            if kind == ANALYSIS:
                record.inputs = inputs or batchfiles.save_inputs(record.name, {
                    item.request.custom_id: item.input for item in part if item.input is not None})
            batchfiles.save(record)
            records.append(record)
        for number, (record, part) in enumerate(zip(records, parts)):
            try:
                _send_one(record, part, endpoints)
            except BaseException:
                for unsent in records[number + 1:]:
                    batchfiles.remove(unsent)
                raise
            on_sent(record)


# -- following ---------------------------------------------------------------------------------------


def adopt(record: BatchRecord, endpoints: BatchEndpoints) -> BatchRecord:
    """A batch sent without an answer: the service's one batch of as many requests, created about then and
    known to no batch file here, is taken for it. When the service's list shows that it never took the
    batch, the file is removed and the record comes back without an id."""
    try:
        with batchfiles.holding(record) as current:
            return _adopted(current, endpoints)
    except batchfiles.BatchBusy:  # its sender is still at it
        return record


def _adopted(current: BatchRecord, endpoints: BatchEndpoints) -> BatchRecord:
    if not current.sending:
        return current
    sent_at = datetime.fromisoformat(str(current.status.get("sent_at") or current.created_at))
    if sent_at.tzinfo is None:
        sent_at = sent_at.astimezone(timezone.utc)
    recorded = {known.batch_id for known in batchfiles.every()}
    latest = endpoints.recent()
    candidates = [status for status in latest if status.batch_id not in recorded
                  and sum(status.counts.values()) == len(current.requests)
                  and sent_at - _CLOCK_SLACK <= datetime.fromisoformat(status.created_at) <= sent_at + _CLOCK_SLACK]
    seen_back_to_then = len(latest) < 100 or datetime.fromisoformat(latest[-1].created_at) < sent_at - _CLOCK_SLACK
    if len(candidates) == 1:
        current.batch_id, current.sending = candidates[0].batch_id, False
        current.status = status_entry(candidates[0])
        batchfiles.save(current)
    elif not candidates and seen_back_to_then:
        batchfiles.remove(current)
        current.sending = False
    return current


Watch = Callable[[BatchStatus, float], None]


def follow(record: BatchRecord, endpoints: BatchEndpoints, watch: Watch,
           sleep: Callable[[float], None] = time.sleep) -> BatchStatus:
    """Looks at the batch until it has ended, a little less often each time; `watch` hears of each look and
    of the wait before the next. Each look is kept in the batch file, for the browser's sessions page."""
    assert record.batch_id is not None
    wait = config.BATCH_POLL
    while True:
        status = endpoints.status(record.batch_id)
        batchfiles.note_status(record, status_entry(status))
        if status.ended:
            return status
        watch(status, wait)
        sleep(wait)
        wait = min(wait * 1.5, max(config.BATCH_POLL, _LONGEST_POLL))


# -- the results of a batch of analyses ----------------------------------------------------------------


def sessions_filled(requests: Iterable[BatchRequest]) -> dict[str, str]:
    """custom_id -> the session file that names it, among the sessions (archived ones included) of the
    requests' organisations: what a reading stopped after saving them had no time to write down."""
    wanted = {request.custom_id: request for request in requests}
    prefixes = tuple({waymark._safe_org_id(request.org_id) for request in wanted.values()})
    found: dict[str, str] = {}
    for directory in (waymark.SESSIONS_DIR, waymark.ARCHIVE_DIR):
        try:
            entries = list(os.scandir(directory))
        except FileNotFoundError:
            continue
        for entry in entries:
            if not (entry.name.endswith(".json") and entry.name.startswith(prefixes)
                    and entry.is_file(follow_symlinks=False)):
                continue
            data = read_session_file(Path(entry.path))
            origin = session.filled_by(state_of(data)) if data is not None else None
            if origin is not None and origin["custom_id"] in wanted:
                found[origin["custom_id"]] = entry.path
    return found


def _save_analysis(record: BatchRecord, request: BatchRequest, result: BatchResult, sent: Input) -> None:
    """The reply as a run's analysis, saved as a new session bound to its interview; or why not."""
    assert result.message is not None
    try:
        analysis = analysis_of(result.message)
    except ModelFailure as failure:
        request.outcome, request.reason = UNREADABLE, failure.message
        return
    run = new_run(Interview(request.interview, sent.text), request.org_id, 1)
    run.interview_source = sent.source
    run.usage = [usage_record("analysis", result.message.model, result.message.usage, batch=True)]
    run.batch = {"batch": record.batch_id, "custom_id": request.custom_id}
    keep_analysis(run, analysis)
    try:
        session.save(run, analysis)
    finally:
        run.release()
    request.session, request.outcome = run.session_file, "succeeded"


def _read_analyses(record: BatchRecord, endpoints: BatchEndpoints,
                   progress: Callable[[int], None] | None) -> None:
    waiting = {request.custom_id: request for request in record.requests if request.session is None}
    filled = sessions_filled(waiting.values()) if record.collecting else {}
    inputs = batchfiles.read_inputs(record)
    record.collecting = True
    batchfiles.save(record)
    assert record.batch_id is not None
    with endpoints.results(record.batch_id) as results:
        for number, result in enumerate(results, start=1):
            request = waiting.pop(result.custom_id, None)
            if request is None:
                continue  # filled by an earlier reading, or not one of ours
            if result.custom_id in filled:
                request.session, request.outcome, request.reason = filled[result.custom_id], "succeeded", ""
            elif result.outcome == "succeeded" and result.message is not None and request.custom_id in inputs:
                _save_analysis(record, request, result, inputs[request.custom_id])
            elif result.outcome == "succeeded":
                request.outcome, request.reason = UNREADABLE, "its interview is missing from the batch's inputs"
            else:
                request.outcome, request.reason = result.outcome, result.reason
            if progress is not None:
                progress(number)
    for request in waiting.values():
        request.outcome, request.reason = "errored", "the service gave no result for it"


def collect(record: BatchRecord, endpoints: BatchEndpoints, progress: Callable[[int], None] | None = None) -> BatchRecord:
    """Reads the results of an ended batch and acts on each request's (in whatever order they come); the
    batch file says what became of each. Read once: a batch whose results were read is returned as it is."""
    with batchfiles.holding(record) as current:
        if current.collected:
            return current
        try:
            if current.kind == ANALYSIS:
                _read_analyses(current, endpoints, progress)
            else:
                batch_documents.read_documents(current, endpoints, progress)
            current.collected = all(request.outcome is not None for request in current.requests)
            current.collecting = not current.collected
        finally:
            batchfiles.save(current)  # what was done so far, however the reading ended
        return current


# -- another batch for the failed requests, and canceling ------------------------------------------------


def _failed_plan(record: BatchRecord) -> Plan:
    """The failed requests of `record`, to be made again with the same custom_ids (the sessions they fill
    are theirs still)."""
    failed = [replace(request, outcome=None, reason="", session=request.session if record.kind == DOCUMENTS else None)
              for request in record.requests if request.failed]
    if record.kind == DOCUMENTS:
        return batch_documents.plan_again(failed)
    inputs = batchfiles.read_inputs(record)
    known = _already_analysed()
    plan = Plan()
    for request in failed:
        sent = inputs.get(request.custom_id)
        analysed = known.get((request.org_id, request.interview_sha256))
        if sent is None or analysed is not None:
            plan.skipped.append(Skipped(request.interview, f"already analysed: {analysed}" if analysed
                                        else "its interview is missing from the batch's inputs"))
            continue
        plan.items.append(Planned(request, analysis_request(sent.text, 1), sent))
    return plan


def retry(identifier: str, endpoints: BatchEndpoints, on_sent: Callable[[BatchRecord], None]) -> Plan:
    """A new batch of the requests of batch `identifier` that filled nothing, under the same custom_ids.
    Returns what was planned (nothing, when every request filled its session)."""
    record = batchfiles.find(identifier)
    if record.sending:
        record = adopt(record, endpoints)
    if record.batch_id is None:
        raise CommandError(f"batch {record.shown_id} " + (
            "may have been taken by the service: its answer never came" if record.sending
            else "was never taken by the service"), hint=_unsent_hint(record))
    if not record.collected:
        raise CommandError(f"the results of batch {record.shown_id} are not read yet",
                           hint=f"brevanta batch wait {record.shown_id} reads them; then retry.")
    if record.retried_in:
        raise CommandError(f"batch {record.shown_id} was retried already, in batch {record.retried_in}",
                           hint=f"brevanta batch retry {record.retried_in} retries what failed there.")
    plan = _failed_plan(record)
    if not plan.items:
        return plan
    names: list[str] = []

    def sent(new: BatchRecord) -> None:
        names.append(new.shown_id)
        on_sent(new)

    try:
        send(record.kind, plan, endpoints, on_sent=sent, retry_of=record.shown_id, inputs=record.inputs,
             formats=record.formats)
    finally:
        if names:
            with batchfiles.holding(record) as current:
                current.retried_in = ", ".join(names)
                batchfiles.save(current)
    return plan


def _unsent_hint(record: BatchRecord) -> str:
    if record.sending:
        return "brevanta batch list looks for it again."
    again = "brevanta batch analyze" if record.kind == ANALYSIS else "brevanta batch documents"
    return f"Its requests were never made: {again} sends them again."


def cancel(identifier: str, endpoints: BatchEndpoints) -> tuple[BatchRecord, BatchStatus]:
    """Asks the service to cancel the batch: requests already done keep their results."""
    record = batchfiles.find(identifier)
    if record.batch_id is None:
        raise CommandError(f"batch {record.shown_id} has no id from the service: there is nothing to cancel")
    status = endpoints.cancel(record.batch_id)
    batchfiles.note_status(record, status_entry(status))
    return record, status


def refresh(records: list[BatchRecord], endpoints: BatchEndpoints) -> None:
    """The service's latest account of each batch still running, kept in its file."""
    for record in records:
        if record.sending:
            adopted = adopt(record, endpoints)
            record.batch_id, record.sending, record.status = adopted.batch_id, adopted.sending, adopted.status
        if record.batch_id and record.status.get("processing_status") != "ended":
            batchfiles.note_status(record, status_entry(endpoints.status(record.batch_id)))
