"""The batch files: what this machine sent to the service's batch engine, and what became of each request.

One file per batch of the service, `CORVANE_HOME/batches/NAME.json`, named before the batch is sent (the
service's id is known only once it took the batch), and for a batch of analyses the interviews it was sent
with, written once beside it (`NAME.inputs.json`). The folder and the files are private to their owner
(0700, 0600), and each write replaces a file whole or not at all. A batch file is changed by one process at
a time: the one that holds its lock (`NAME.json.lock`, as for a session).
"""

from __future__ import annotations

import contextlib
import json
import os
import re
import secrets
from collections.abc import Iterator
from dataclasses import asdict, dataclass, field
from datetime import datetime
from pathlib import Path
from typing import Any

from brevanta import config, durable
from brevanta.errors import EnvironmentProblem, InputProblem, os_reason
from brevanta.pipeline.lock import SessionLock, SessionLocked
from brevanta.pipeline.session import read_session_file

ANALYSIS, DOCUMENTS = "analysis", "documents"  # what a batch asks for
# What became of a request beyond the service's own outcomes: its reply held no analysis or document.
UNREADABLE = "unreadable"
# Written meanwhile by another run, or the session is gone: nothing was done with the reply.
PASSED_OVER = "passed over"

_INPUTS_SUFFIX = ".inputs.json"
_NAME = re.compile(r"[0-9]{8}-[0-9]{6}-[0-9a-f]{10}(?:-[0-9]+)?")
# The service's rule for a custom_id.
CUSTOM_ID = re.compile(r"[A-Za-z0-9_-]{1,64}")


@dataclass
class BatchRequest:
    """One request of a batch: which session it fills (an interview's analysis) or writes into (a
    document), and what became of it. `outcome` is None until its result is read."""

    custom_id: str
    org_id: str
    interview: str = ""  # the interview's path as it was named (analysis)
    interview_sha256: str = ""
    document: str = ""  # "prd" or "trd" (documents)
    output_dir: str = ""  # where the document is written (documents)
    session: str | None = None  # the session file it filled, or writes into
    outcome: str | None = None  # the service's ("succeeded", "errored", ...), UNREADABLE or PASSED_OVER
    reason: str = ""  # why it gave nothing

    @property
    def failed(self) -> bool:
        """Its result is read and filled nothing: worth another batch."""
        return self.outcome is not None and self.outcome not in ("succeeded", PASSED_OVER)


@dataclass
class BatchRecord:
    """One batch as this machine knows it."""

    name: str
    kind: str
    created_at: str  # local time, ISO
    requests: list[BatchRequest]
    batch_id: str | None = None  # the service's, once it took the batch
    sending: bool = False  # sent without an answer yet: the service may have taken it (with no id, it is
    # about to be sent, or the service never took it and the file is removed)
    status: dict[str, Any] = field(default_factory=dict)  # the service's last account of it, and when
    collecting: bool = False  # its results are being read: sessions may exist that `requests` does not name yet
    collected: bool = False  # every result read and acted on
    retry_of: str | None = None
    retried_in: str | None = None
    inputs: str | None = None  # the name of the file with the interviews it was sent with
    formats: list[str] = field(default_factory=lambda: ["md"])  # of the documents it writes

    @property
    def path(self) -> Path:
        return batches_dir() / f"{self.name}.json"

    @property
    def shown_id(self) -> str:
        return self.batch_id or self.name

    def counts(self) -> dict[str, int]:
        """The requests by what became of them, as far as this machine knows."""
        counted: dict[str, int] = {}
        for request in self.requests:
            key = request.outcome or "waiting"
            counted[key] = counted.get(key, 0) + 1
        return counted


@dataclass(frozen=True)
class Skipped:
    """An interview, or a session, left out of a batch, and why."""

    name: str
    reason: str


@dataclass(frozen=True)
class Input:
    """The interview an analysis request was sent with: its text, and its source as its reader read it
    (name, kind, size, marks; None when unknown)."""

    text: str
    source: dict[str, Any] | None = None


@dataclass
class Planned:
    """One request of a batch to send: its record, its parameters, and the interview it analyses."""

    request: BatchRequest
    params: dict[str, Any]
    input: Input | None = None

    @property
    def size(self) -> int:
        """Its bytes in the body of the batch's request."""
        return len(json.dumps({"custom_id": self.request.custom_id, "params": self.params}).encode("utf-8")) + 1


@dataclass
class Plan:
    """The requests of a batch to send, under one token, and what was left out of it."""

    token: str = field(default_factory=lambda: new_token())
    items: list[Planned] = field(default_factory=list)
    skipped: list[Skipped] = field(default_factory=list)


def batches_dir() -> Path:
    return config.CORVANE_HOME / "batches"


def new_token() -> str:
    """Ten hex digits: in the names of one submission's batch files and requests, so none is used twice."""
    return secrets.token_hex(5)


def new_name(token: str, part: int | None = None) -> str:
    stamp = datetime.now().strftime("%Y%m%d-%H%M%S")
    return f"{stamp}-{token}" + (f"-{part}" if part is not None else "")


def custom_id(label: str, token: str, number: int) -> str:
    """A request's id within the service's rule: a readable label (the interview's or the document's name),
    the submission's token, its number."""
    readable = re.sub(r"[^A-Za-z0-9]+", "-", label).strip("-")[:40] or "request"
    identifier = f"{readable}_{token}_{number}"
    assert CUSTOM_ID.fullmatch(identifier), identifier
    return identifier


# -- reading and writing ------------------------------------------------------------------


@contextlib.contextmanager
def _store_errors(action: str) -> Iterator[None]:
    try:
        yield
    except OSError as exc:
        raise EnvironmentProblem(f"cannot {action} in {batches_dir()}: {os_reason(exc)}",
                                 hint="Check CORVANE_HOME and the disk, then run the command again.") from None


def _write(path: Path, data: Any) -> None:
    directory = path.parent
    directory.mkdir(mode=0o700, parents=True, exist_ok=True)
    # One line: the interpreter's C encoder writes it (an indented file would take the Python one).
    durable.write_file(path, json.dumps(data, ensure_ascii=False).encode("utf-8"), keep_backup=False, mode=0o600)


def save(record: BatchRecord) -> None:
    with _store_errors("save the batch file"):
        _write(record.path, asdict(record))


def save_inputs(name: str, inputs: dict[str, Input]) -> str:
    """Keeps the interviews a batch is sent with, by custom_id; returns the file's name."""
    file_name = name + _INPUTS_SUFFIX
    with _store_errors("save the batch's interviews"):
        _write(batches_dir() / file_name, {key: asdict(value) for key, value in inputs.items()})
    return file_name


def read_inputs(record: BatchRecord) -> dict[str, Input]:
    data = read_session_file(batches_dir() / record.inputs) if record.inputs else None
    if data is None:
        raise EnvironmentProblem(f"the interviews batch {record.shown_id} was sent with are missing from "
                                 f"{batches_dir()} ({record.inputs})")
    return {key: Input(value["text"], value.get("source") if isinstance(value.get("source"), dict) else None)
            for key, value in data.items() if isinstance(value, dict) and isinstance(value.get("text"), str)}


def remove(record: BatchRecord) -> None:
    """Forgets a batch the service never took, with the interviews kept for it alone."""
    with _store_errors("remove the batch file"):
        record.path.unlink(missing_ok=True)
        if record.inputs == record.name + _INPUTS_SUFFIX:
            (batches_dir() / record.inputs).unlink(missing_ok=True)


def _text(value: Any, default: str = "") -> str:
    return value if isinstance(value, str) else default


def _request(data: dict[str, Any]) -> BatchRequest:
    session = data.get("session")
    outcome = data.get("outcome")
    return BatchRequest(_text(data.get("custom_id")), _text(data.get("org_id")), _text(data.get("interview")),
                        _text(data.get("interview_sha256")), _text(data.get("document")), _text(data.get("output_dir")),
                        session if isinstance(session, str) else None, outcome if isinstance(outcome, str) else None,
                        _text(data.get("reason")))


def _record(name: str, data: dict[str, Any]) -> BatchRecord | None:
    requests = data.get("requests")
    if not isinstance(requests, list) or data.get("kind") not in (ANALYSIS, DOCUMENTS):
        return None
    status, formats = data.get("status"), data.get("formats")
    optional = {key: data.get(key) if isinstance(data.get(key), str) else None
                for key in ("batch_id", "retry_of", "retried_in", "inputs")}
    return BatchRecord(name, str(data["kind"]), _text(data.get("created_at")),
                       [_request(item) for item in requests if isinstance(item, dict)],
                       sending=data.get("sending") is True, status=status if isinstance(status, dict) else {},
                       collecting=data.get("collecting") is True, collected=data.get("collected") is True,
                       formats=[str(fmt) for fmt in formats] if isinstance(formats, list) else ["md"], **optional)


def load(name: str) -> BatchRecord | None:
    """The batch file NAME.json, or None when there is none (or it is not one)."""
    data = read_session_file(batches_dir() / f"{name}.json")
    return None if data is None else _record(name, data)


def every() -> list[BatchRecord]:
    """Every batch file, the newest first."""
    try:
        names = [entry.name[:-5] for entry in os.scandir(batches_dir())
                 if entry.name.endswith(".json") and _NAME.fullmatch(entry.name[:-5])]
    except FileNotFoundError:
        return []
    except OSError as exc:
        raise EnvironmentProblem(f"cannot read {batches_dir()}: {os_reason(exc)}") from None
    records = [record for name in names if (record := load(name)) is not None]
    return sorted(records, key=lambda record: record.name, reverse=True)


def pending(kind: str | None = None) -> list[BatchRecord]:
    """The batches whose results are not all read yet, the oldest first."""
    return [record for record in reversed(every()) if not record.collected and kind in (None, record.kind)]


def find(identifier: str) -> BatchRecord:
    """The batch the user named, by the service's id or by its file's name."""
    for record in every():
        if identifier in (record.batch_id, record.name):
            return record
    raise InputProblem(f"no batch {identifier} in {batches_dir()}",
                       hint="brevanta batch list shows the batches sent from here.")


# -- one process at a time ----------------------------------------------------------------


class BatchBusy(EnvironmentProblem):
    """Another process holds the batch file."""


@contextlib.contextmanager
def locked(record: BatchRecord) -> Iterator[None]:
    """The batch file locked by this process; BatchBusy when another one holds it."""
    with _store_errors("lock the batch file"):
        batches_dir().mkdir(mode=0o700, parents=True, exist_ok=True)
        try:
            lock = SessionLock.acquire(record.path)
        except SessionLocked as exc:
            raise BatchBusy(f"batch {record.shown_id} is in use by process {exc.pid or 'unknown'} since "
                            f"{exc.since or 'an unknown time'}",
                            hint="Wait for that command to end, then run this one again.") from None
    try:
        yield
    finally:
        lock.release()


@contextlib.contextmanager
def holding(record: BatchRecord) -> Iterator[BatchRecord]:
    """The batch file locked by this process and read again; BatchBusy when another one holds it."""
    with locked(record):
        yield load(record.name) or record


def note_status(record: BatchRecord, status: dict[str, Any]) -> None:
    """Keeps the service's latest account of the batch in its file, unless another process holds the file
    (it is reading the results, and writes the file itself)."""
    record.status = status
    try:
        with holding(record) as current:
            current.status = status
            save(current)
    except BatchBusy:
        pass
