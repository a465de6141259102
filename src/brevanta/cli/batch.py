"""`brevanta batch`: many interviews, or the documents of many sessions, on the model service's batch engine.
Sends a batch, follows it with its counts on one line, and once it has ended lists what each request made:
the session it filled (and how to walk its gaps), the document it wrote, or why it failed.

Ctrl-C while following stops the following, never the batch: it goes on at the service, and `brevanta
batch wait` follows it again.
"""

from __future__ import annotations

import argparse
import os
import shlex
import sys
from datetime import datetime, timezone
from typing import TextIO

from brevanta import display, signals
from brevanta.cli.run import _configure_logging
from brevanta.cli.terminal import Spinner, count
from brevanta.errors import EXIT_NO_ANALYSIS, EXIT_OK, EnvironmentProblem, InputProblem
from brevanta.pipeline import batch_documents, batches, batchfiles
from brevanta.pipeline.batchfiles import ANALYSIS, PASSED_OVER, BatchRecord, BatchRequest, Plan
from brevanta.pipeline.home import check_session_home
from brevanta.pipeline.inputs import check_formats, check_org_id
from brevanta.pipeline import organisation as organisations
from brevanta.pipeline.interview import Interview
from brevanta.pipeline.lock import SessionLocked
from brevanta.pipeline.models import OUTCOMES, BatchEndpoints, BatchStatus, open_batch_endpoints
from brevanta.untrusted import for_terminal


def _shown_path(path: str) -> str:
    """A path as short as it can be said from here."""
    relative = os.path.relpath(path) if path else path
    return relative if not relative.startswith("..") else path


def _elapsed(seconds: float) -> str:
    minutes, seconds = divmod(int(max(seconds, 0)), 60)
    hours, minutes = divmod(minutes, 60)
    return f"{hours}h {minutes:02d}m" if hours else f"{minutes}m {seconds:02d}s" if minutes else f"{seconds}s"


def _counts_text(counts: dict[str, int]) -> str:
    return ", ".join(f"{counts.get(name, 0):,} {name}" for name in OUTCOMES)


class _Following:
    """A batch's counts while it runs: one line redrawn in place on a terminal, elsewhere a line each time
    the counts change."""

    def __init__(self, record: BatchRecord, stream: TextIO) -> None:
        self._record = record
        self._stream = stream
        self._last = ""
        self._width = 0
        try:
            self._in_place = stream.isatty()
        except (AttributeError, ValueError):
            self._in_place = False

    def show(self, status: BatchStatus, next_look: float) -> None:
        created = datetime.fromisoformat(status.created_at)
        elapsed = _elapsed((datetime.now(timezone.utc) - created).total_seconds())
        done = sum(status.counts.get(name, 0) for name in OUTCOMES)
        counts = (f"{done:,} of {done + status.counts.get('processing', 0):,} done ({_counts_text(status.counts)}), "
                  f"{status.counts.get('processing', 0):,} processing")
        line = for_terminal(f"Batch {self._record.shown_id}: {counts}; {elapsed} since it was sent")
        if self._in_place:
            line += f"; next look in {next_look:.0f}s"
            self._width = max(self._width, len(line))
            self._write("\r" + line.ljust(self._width))
        elif counts != self._last:
            self._write(line + "\n")
        self._last = counts

    def ended(self, status: BatchStatus) -> None:
        """The last counts, on a line of their own."""
        if self._in_place:
            self._write("\r" + " " * self._width + "\r")
            self._in_place, self._last = False, ""
        self.show(status, 0)

    def _write(self, text: str) -> None:
        try:
            self._stream.write(text)
            self._stream.flush()
        except (OSError, ValueError):  # the terminal is gone: following goes on without it
            pass


class _Stage:
    """What an interrupt leaves behind, said to the user as it happens."""

    def __init__(self) -> None:
        self.note = ""


def _command(*words: str) -> str:
    return shlex.join(["brevanta", *words])


# -- what a batch made ------------------------------------------------------------------------------


def _continue_command(request: BatchRequest) -> str:
    words = ["analyze", _shown_path(request.interview)]
    if request.org_id != organisations.for_interview(Interview(request.interview, "")).org_id:
        words += ["--org", request.org_id]
    return _command(*words)


def _request_line(request: BatchRequest, kind: str) -> str:
    interview = _shown_path(request.interview)
    name = interview if kind == ANALYSIS else f"{request.document.upper()} of {interview} ({request.org_id})"
    if request.outcome == "succeeded" and kind == ANALYSIS:
        return f"  {name}: session {_shown_path(str(request.session))}; its gaps: {_continue_command(request)}"
    if request.outcome == "succeeded":
        return f"  {name}: written into {_shown_path(request.output_dir)}"
    if request.outcome is None:
        return f"  {name}: not done yet: {request.reason}"
    return f"  {name}: {request.outcome}: {request.reason}"


def _report(record: BatchRecord) -> int:
    """What the batch made, request by request; EXIT_NO_ANALYSIS when any request failed or waits still."""
    counts = record.counts()
    what = (count(len(record.requests), "interview") if record.kind == ANALYSIS
            else count(len(record.requests), "document"))
    summary = ", ".join(f"{number:,} {outcome}" for outcome, number in counts.items())
    (display.success if set(counts) <= {"succeeded", PASSED_OVER} else display.warning)(
        for_terminal(f"Batch {record.shown_id} ({record.kind}, {what}): {summary}."))
    for request in record.requests:
        print(for_terminal(_request_line(request, record.kind)))
    failed = any(request.failed for request in record.requests)
    waiting = any(request.outcome is None for request in record.requests)
    if failed and record.retried_in:
        display.info(for_terminal(f"The failed ones were sent again in batch {record.retried_in}."))
    elif failed:
        display.info(f"Send the failed ones again with: {_command('batch', 'retry', record.shown_id)}")
    if waiting:
        display.info(f"Once that run has ended, write the rest with: {_command('batch', 'wait', record.shown_id)}")
    return EXIT_NO_ANALYSIS if failed or waiting else EXIT_OK


# -- following and reading --------------------------------------------------------------------------


def _wait_one(record: BatchRecord, endpoints: BatchEndpoints, stage: _Stage) -> int:
    if record.sending:
        record = batches.adopt(record, endpoints)
    if record.batch_id is None:
        display.warning(f"Batch {record.name}: {_status_text(record)}.")
        return EXIT_NO_ANALYSIS
    if not record.collected:
        following = _Following(record, sys.stderr)
        stage.note = (f"Stopped following batch {record.shown_id}: it goes on at the service. "
                      f"Follow it again with: {_command('batch', 'wait', record.shown_id)}")
        status = batches.follow(record, endpoints, following.show)
        following.ended(status)
        stage.note = (f"Stopped reading the results of batch {record.shown_id}: what was read is saved. "
                      f"Read the rest with: {_command('batch', 'wait', record.shown_id)}")
        total = len(record.requests)
        with Spinner(f"Reading the results of batch {record.shown_id}...", sys.stderr) as spinner:
            record = batches.collect(record, endpoints, lambda read: spinner.note(f"{read:,} of {total:,}"))
        stage.note = ""
    return _report(record)


def _wait(records: list[BatchRecord], endpoints: BatchEndpoints, stage: _Stage) -> int:
    if not records:
        display.info("No batch is waiting for its results.")
        return EXIT_OK
    return max(_wait_one(record, endpoints, stage) for record in records)


# -- sending ------------------------------------------------------------------------------------------


def _show_skipped(plan: Plan) -> None:
    for skipped in plan.skipped:
        print(for_terminal(f"  Left out {skipped.name}: {skipped.reason}"))


def _send(kind: str, plan: Plan, endpoints: BatchEndpoints, stage: _Stage,
          formats: list[str] | None = None) -> list[BatchRecord]:
    sent: list[BatchRecord] = []

    def on_sent(record: BatchRecord) -> None:
        sent.append(record)
        display.success(for_terminal(f"Batch {record.shown_id}: {count(len(record.requests), 'request')}, "
                                     f"recorded in {record.path}"))

    stage.note = (f"Interrupted while sending: {_command('batch', 'list')} shows whether the service took the "
                  "batch; nothing is sent twice.")
    with Spinner(f"Sending {count(len(plan.items), 'request')}...", sys.stderr):
        batches.send(kind, plan, endpoints, on_sent=on_sent, formats=formats)
    stage.note = ""
    return sent


def _after_sending(sent: list[BatchRecord], args: argparse.Namespace, endpoints: BatchEndpoints,
                   stage: _Stage) -> int:
    if args.wait:
        return _wait(sent, endpoints, stage)
    display.info("Results come within 24 hours, usually much sooner. Follow "
                 + ("it" if len(sent) == 1 else "them") + " with: "
                 + _command("batch", "wait", *([sent[0].shown_id] if len(sent) == 1 else [])))
    return EXIT_OK


def _nothing_sent(plan: Plan, what: str) -> int:
    if plan.skipped and all(skipped.reason.startswith("already analysed") for skipped in plan.skipped):
        display.info(f"Nothing to send: {what}.")
        return EXIT_OK
    raise InputProblem("no interview to send: each one is left out above",
                       hint=f"Name interview files, or folders holding them ({', '.join(batches.INTERVIEW_SUFFIXES)}).")


def _analyze(args: argparse.Namespace, endpoints: BatchEndpoints, stage: _Stage) -> int:
    org_prefix = check_org_id(args.org) if args.org is not None else None
    plan = batches.plan_analyses(args.paths, org_prefix)
    _show_skipped(plan)
    if not plan.items:
        return _nothing_sent(plan, "every interview is analysed already, or waits in a batch")
    sent = _send(ANALYSIS, plan, endpoints, stage)
    return _after_sending(sent, args, endpoints, stage)


def _documents(args: argparse.Namespace, endpoints: BatchEndpoints, stage: _Stage) -> int:
    check_formats(args.formats)
    org_ids = [check_org_id(org) for org in args.org] if args.org else None
    plan = batch_documents.plan_documents(org_ids, args.yes, args.out)
    _show_skipped(plan)
    if not plan.items:
        display.info("No session is ready for its documents.")
        return EXIT_OK
    sent = _send(batchfiles.DOCUMENTS, plan, endpoints, stage, formats=args.formats)
    return _after_sending(sent, args, endpoints, stage)


def _retry(args: argparse.Namespace, endpoints: BatchEndpoints, stage: _Stage) -> int:
    sent: list[BatchRecord] = []

    def on_sent(record: BatchRecord) -> None:
        sent.append(record)
        display.success(for_terminal(f"Batch {record.shown_id}: {count(len(record.requests), 'request')} "
                                     f"sent again, recorded in {record.path}"))

    stage.note = f"Interrupted while sending: {_command('batch', 'list')} shows whether the service took the batch."
    plan = batches.retry(args.batch_id, endpoints, on_sent)
    stage.note = ""
    _show_skipped(plan)
    if not sent:
        display.info(f"Every request of batch {for_terminal(args.batch_id)} filled what it was for: nothing to retry.")
        return EXIT_OK
    return _after_sending(sent, args, endpoints, stage)


def _cancel(args: argparse.Namespace, endpoints: BatchEndpoints, stage: _Stage) -> int:
    record, status = batches.cancel(args.batch_id, endpoints)
    display.info(for_terminal(f"Batch {record.shown_id} is {status.processing_status.replace('_', ' ')}: requests "
                              "already done keep their results. Read them with: "
                              + _command("batch", "wait", record.shown_id)))
    return EXIT_OK


def _status_text(record: BatchRecord) -> str:
    if record.batch_id is None and record.sending:
        return (f"sent, and the service's answer never came; it is not among the service's batches yet: "
                f"{_command('batch', 'list')} looks for it again")
    if record.batch_id is None:
        again = _command("batch", "analyze" if record.kind == ANALYSIS else "documents")
        return f"never taken by the service, so forgotten: {again} sends its requests again"
    given = record.status.get("counts")
    counts: dict[str, int] = given if isinstance(given, dict) else {}
    state = str(record.status.get("processing_status", "unknown")).replace("_", " ")
    if record.collected:
        return "ended, results read: " + ", ".join(f"{n:,} {outcome}" for outcome, n in record.counts().items())
    return f"{state}: {counts.get('processing', 0):,} processing, {_counts_text(counts)}"


def _list(args: argparse.Namespace, endpoints: BatchEndpoints, stage: _Stage) -> int:
    records = batchfiles.every()
    if not records:
        display.info(f"No batch was sent from here ({batchfiles.batches_dir()}).")
        return EXIT_OK
    batches.refresh([record for record in records if not record.collected], endpoints)
    display.info("Batches sent from here, newest first:")
    for record in records:
        retried = f"; retried in {record.retried_in}" if record.retried_in else ""
        print(for_terminal(f"  {record.shown_id}  {record.kind}, {count(len(record.requests), 'request')}, "
                           f"recorded {record.created_at.replace('T', ' ')}: {_status_text(record)}{retried}"))
    return EXIT_OK


def _wait_for(args: argparse.Namespace, endpoints: BatchEndpoints, stage: _Stage) -> int:
    return _wait([batchfiles.find(args.batch_id)] if args.batch_id else batchfiles.pending(), endpoints, stage)


_ACTIONS = {"analyze": _analyze, "documents": _documents, "retry": _retry, "cancel": _cancel, "list": _list,
            "wait": _wait_for}


def batch_command(args: argparse.Namespace) -> int:
    endpoints = open_batch_endpoints()
    check_session_home()
    _configure_logging(verbose=False)  # an unreadable reply is listed with its request, not logged
    signals.install()
    stage = _Stage()
    try:
        return _ACTIONS[args.batch_command](args, endpoints, stage)
    except KeyboardInterrupt as interrupt:
        signals.ignore_further()
        try:
            print("\nInterrupted." + (f" {stage.note}" if stage.note else ""), file=sys.stderr)
        except OSError:
            pass
        return signals.exit_status(interrupt)
    except SessionLocked as exc:
        raise EnvironmentProblem(str(exc), hint="Wait for that run to end, then run the command again.") from None

