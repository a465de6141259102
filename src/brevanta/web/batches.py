"""The batches sent from this machine, for the sessions page: how far each one is, and the sessions its
results filled (or whose documents it wrote).

A batch still running is looked at on the service (`brevanta batch wait` does the same, and keeps what it
sees in the batch file) at most every half minute and in the background, so that no page waits on the
service; the page shows what the file says and when the service last said it.
"""

from __future__ import annotations

import os
import threading
import time
from dataclasses import dataclass
from datetime import datetime

from brevanta.errors import CommandError
from brevanta.pipeline import batches, batchfiles
from brevanta.pipeline.batchfiles import BatchRecord
from brevanta.pipeline.models import OUTCOMES, batch_access, open_batch_endpoints
from brevanta.pipeline.listing import shown_time
from brevanta.web.sessionfiles import SessionRef, directory_of

_LOOK_EVERY = 30.0  # seconds between two looks at the running batches


@dataclass(frozen=True)
class FilledSession:
    ref: SessionRef | None  # None when the session file is gone
    title: str


@dataclass(frozen=True)
class BatchSummary:
    shown_id: str
    kind: str
    requests: int
    recorded: str
    state: str
    done: int  # requests whose result is known, of `requests`
    counts: tuple[tuple[str, int], ...]
    checked: str  # when the service last said how far it is; "" when never
    sessions: tuple[FilledSession, ...]
    next_step: str  # the command that takes it further; "" when there is none


def _session(path: str | None, title: str) -> FilledSession:
    name = os.path.basename(path or "")
    for place in ("live", "archive"):
        ref = SessionRef.parse(place, name)
        if ref is not None and os.path.isfile(directory_of(place) / name):
            return FilledSession(ref, title)
    return FilledSession(None, title)


def _filled(record: BatchRecord) -> tuple[FilledSession, ...]:
    seen: dict[str, FilledSession] = {}
    for request in record.requests:
        if request.session and request.outcome == "succeeded" and request.session not in seen:
            title = f"{os.path.basename(request.interview) or request.org_id} ({request.org_id})"
            seen[request.session] = _session(request.session, title)
    return tuple(seen.values())


def summarise(record: BatchRecord) -> BatchSummary:
    status = record.status
    given = status.get("counts")
    service_counts = given if isinstance(given, dict) else {}
    if record.collected:
        state, counts = "results read", record.counts()
    elif record.batch_id is None:
        state, counts = "sent, no answer recorded", {}
    else:
        state = str(status.get("processing_status", "sent")).replace("_", " ")
        counts = {name: int(service_counts.get(name, 0)) for name in ("processing", *OUTCOMES)}
    done = sum(number for name, number in counts.items() if name not in ("processing", "waiting"))
    checked = status.get("checked_at")
    failed = any(request.failed for request in record.requests)
    next_step = ("" if record.collected and not failed
                 else f"brevanta batch retry {record.shown_id}" if record.collected and not record.retried_in
                 else "" if record.collected else f"brevanta batch wait {record.shown_id}")
    return BatchSummary(
        shown_id=record.shown_id, kind=record.kind, requests=len(record.requests),
        recorded=shown_time(record.created_at), state=state, done=done,
        counts=tuple((name, number) for name, number in counts.items() if number),
        checked=_local_time(checked) if isinstance(checked, str) else "",
        sessions=_filled(record), next_step=next_step)


def _local_time(iso: str) -> str:
    try:
        return datetime.fromisoformat(iso).astimezone().strftime("%H:%M:%S")
    except ValueError:
        return ""


class BatchProgress:
    """The batches for the sessions page; the running ones are looked at on the service now and then."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._looked_at = -_LOOK_EVERY
        self._looking = False

    def summaries(self) -> list[BatchSummary]:
        records = batchfiles.every()
        running = [record for record in records if not record.collected]
        if running:
            self._look_soon(running)
        return [summarise(record) for record in records]

    def _look_soon(self, running: list[BatchRecord]) -> None:
        if not batch_access():
            return  # no direct access: `brevanta batch wait` elsewhere keeps the files current
        with self._lock:
            if self._looking or time.monotonic() - self._looked_at < _LOOK_EVERY:
                return
            self._looking = True
        threading.Thread(target=self._look, args=(running,), name="batch-progress", daemon=True).start()

    def _look(self, running: list[BatchRecord]) -> None:
        try:
            batches.refresh(running, open_batch_endpoints())
        except CommandError:  # the service is out of reach: the page shows when it last answered
            pass
        finally:
            with self._lock:
                self._looking, self._looked_at = False, time.monotonic()

