"""The local Messages API with the service's batch endpoints, for the official SDK.

- `POST /v1/messages/batches` takes a batch (the service's limits on requests and bytes, and its rule for
  custom ids, enforced: `max_requests`, `max_bytes`); `GET .../{id}` answers "in_progress" for
  `polls_until_ended` looks, then "ended" with a `results_url`; `POST .../{id}/cancel` cancels what has not
  run; `GET /v1/messages/batches` lists the batches, newest first, a page at a time.
- The results are JSON lines in a shuffled order (`seed`): each request succeeded with the reply `answer`
  gives its parameters, its citations placed as `MessagesService` places them (usage billed as it bills,
  prompt cache included), unless
  `outcomes[label]` says "errored", "expired" or "canceled" for the requests whose custom_id begins with
  that label (`label_TOKEN_N`, as brevanta names them).
- `unanswered`: so many batches get no answer (the connection closes first), as when the sender is killed
  or its network fails after sending; the service takes them, unless `take_unanswered` is false.
- `hold_after`, when set, stops the first reading of the results after that many lines until `release` is
  set (or the service stops): a reader can be killed in the middle of the results.

Interactive requests (`POST /v1/messages`) are answered as `MessagesService` answers them.
"""

from __future__ import annotations

import itertools
import json
import random
import re
import threading
import time
from dataclasses import dataclass, field
from datetime import datetime, timezone
from http.server import BaseHTTPRequestHandler
from typing import Any
from urllib.parse import parse_qs, urlsplit

from support.messages_service import MessagesService, kind_of, reply_content, send_json, tokens

CUSTOM_ID = re.compile(r"[A-Za-z0-9_-]{1,64}")
OUTCOMES = ("succeeded", "errored", "canceled", "expired")


@dataclass
class StandInBatch:
    id: str
    requests: list[dict[str, Any]]  # as sent: {"custom_id", "params"}
    created_at: str
    looks: int = 0
    canceled: bool = False
    results: list[dict[str, Any]] | None = None  # the JSON lines, once it has ended


@dataclass
class BatchService(MessagesService):
    polls_until_ended: int = 1
    outcomes: dict[str, str] = field(default_factory=dict)
    seed: int = 26
    max_requests: int = 100_000
    max_bytes: int = 256 * 1024 * 1024
    hold_after: int | None = None
    unanswered: int = 0
    take_unanswered: bool = True
    release: threading.Event = field(default_factory=threading.Event)
    batches: dict[str, StandInBatch] = field(default_factory=dict)
    calls: list[tuple[str, str]] = field(default_factory=list)  # (method, path) of every batch call

    def __post_init__(self) -> None:
        super().__post_init__()
        self._batch_numbers = itertools.count(1)

    def _handler(self) -> type[BaseHTTPRequestHandler]:
        return _handler_for(self)

    def stop(self) -> None:
        self.release.set()
        super().stop()

    def sent(self) -> list[StandInBatch]:
        return list(self.batches.values())

    # -- the endpoints ------------------------------------------------------

    def _batch_json(self, batch: StandInBatch) -> dict[str, Any]:
        ended = batch.results is not None
        counts = dict.fromkeys(("processing", *OUTCOMES), 0)
        if ended:
            for line in batch.results:
                counts[line["result"]["type"]] += 1
        else:
            counts["processing"] = len(batch.requests)
        return {"id": batch.id, "type": "message_batch",
                "processing_status": "ended" if ended else "canceling" if batch.canceled else "in_progress",
                "request_counts": counts, "created_at": batch.created_at, "expires_at": batch.created_at,
                "ended_at": _now() if ended else None, "archived_at": None, "cancel_initiated_at": None,
                "results_url": f"{self.base_url}/v1/messages/batches/{batch.id}/results" if ended else None}

    def create(self, body: dict[str, Any], size: int) -> tuple[int, dict[str, Any]]:
        requests = body.get("requests")
        if not isinstance(requests, list) or not requests:
            return 400, _error("invalid_request_error", "requests: at least one request is needed")
        if len(requests) > self.max_requests or size > self.max_bytes:
            return 413, _error("request_too_large", f"{len(requests)} requests, {size} bytes: over the limit")
        ids = [request.get("custom_id") for request in requests]
        if not all(isinstance(cid, str) and CUSTOM_ID.fullmatch(cid) for cid in ids) or len(set(ids)) != len(ids):
            return 400, _error("invalid_request_error", "custom_id: 1 to 64 of [a-zA-Z0-9_-], unique in a batch")
        batch = StandInBatch(f"msgbatch_stand_in_{next(self._batch_numbers):04d}", requests, _now())
        with self._lock:
            self.batches[batch.id] = batch
        return 200, self._batch_json(batch)

    def retrieve(self, batch: StandInBatch) -> dict[str, Any]:
        batch.looks += 1
        if batch.results is None and (batch.looks > self.polls_until_ended or batch.canceled):
            batch.results = self._results_of(batch)
        return self._batch_json(batch)

    def cancel(self, batch: StandInBatch) -> dict[str, Any]:
        batch.canceled = batch.results is None
        return self._batch_json(batch)

    def _results_of(self, batch: StandInBatch) -> list[dict[str, Any]]:
        lines = []
        for request in batch.requests:
            custom_id, params = request["custom_id"], request["params"]
            label = custom_id.rsplit("_", 2)[0]
            outcome = "canceled" if batch.canceled else self.outcomes.get(label, "succeeded")
            if outcome == "succeeded":
                content = reply_content(params, self.answer(params), self.wrong.get(kind_of(params)))
                usage, prefix = self._bill(params)
                self._readable(prefix)
                usage["output_tokens"] = tokens("".join(block["text"] for block in content))
                result = {"type": "succeeded", "message": {
                    "id": f"msg_{custom_id}", "type": "message", "role": "assistant", "model": params.get("model"),
                    "content": content, "stop_reason": "end_turn", "stop_sequence": None, "usage": usage}}
            elif outcome == "errored":
                result = {"type": "errored", "error": _error("invalid_request_error", f"stand-in refused {custom_id}")}
            else:
                result = {"type": outcome}
            lines.append({"custom_id": custom_id, "result": result})
        random.Random(self.seed).shuffle(lines)
        return lines

    def results(self, handler: BaseHTTPRequestHandler, batch: StandInBatch) -> None:
        handler.send_response(200)
        handler.send_header("Content-Type", "application/binary")
        handler.end_headers()
        handler.close_connection = True
        hold, self.hold_after = self.hold_after, None  # the first reading only
        for number, line in enumerate(batch.results or []):
            if number == hold:
                self.release.wait()
                if self._stopping.is_set():
                    return
            handler.wfile.write(json.dumps(line).encode() + b"\n")
            handler.wfile.flush()

    def listing(self, query: dict[str, list[str]]) -> dict[str, Any]:
        newest_first = [self._batch_json(batch) for batch in reversed(self.batches.values())]
        limit = int(query.get("limit", ["20"])[0])
        after = query.get("after_id", [None])[0]
        start = next((at + 1 for at, batch in enumerate(newest_first) if batch["id"] == after), 0)
        page = newest_first[start:start + limit]
        return {"data": page, "has_more": start + limit < len(newest_first),
                "first_id": page[0]["id"] if page else None, "last_id": page[-1]["id"] if page else None}

    def _handle_batches(self, handler: BaseHTTPRequestHandler) -> None:
        url = urlsplit(handler.path)
        parts = url.path.removeprefix("/v1/messages/batches").strip("/").split("/")
        raw = handler.rfile.read(int(handler.headers.get("Content-Length") or 0))
        self.calls.append((handler.command, url.path))
        try:
            if handler.command == "POST" and parts == [""]:
                if self.unanswered:
                    self.unanswered -= 1
                    if self.take_unanswered:
                        self.create(json.loads(raw), len(raw))
                    handler.close_connection = True  # no answer goes back
                    return
                status, body = self.create(json.loads(raw), len(raw))
                _send(handler, status, body)
                return
            if handler.command == "GET" and parts == [""]:
                _send(handler, 200, self.listing(parse_qs(url.query)))
                return
            batch = self.batches.get(parts[0])
            if batch is None:
                _send(handler, 404, _error("not_found_error", f"no batch {parts[0]}"))
            elif handler.command == "GET" and parts[1:] == []:
                _send(handler, 200, self.retrieve(batch))
            elif handler.command == "GET" and parts[1:] == ["results"] and batch.results is not None:
                self.results(handler, batch)
            elif handler.command == "POST" and parts[1:] == ["cancel"]:
                _send(handler, 200, self.cancel(batch))
            else:
                _send(handler, 404, _error("not_found_error", f"no {handler.command} {url.path}"))
        except OSError:  # the client went away
            pass


def _now() -> str:
    return datetime.now(timezone.utc).isoformat(timespec="milliseconds").replace("+00:00", "Z")


def _error(kind: str, message: str) -> dict[str, Any]:
    return {"type": "error", "error": {"type": kind, "message": message}}


def _send(handler: BaseHTTPRequestHandler, status: int, body: dict[str, Any]) -> None:
    send_json(handler, status, body, {"x-should-retry": "false"} if status >= 400 else None)


def _handler_for(service: BatchService) -> type[BaseHTTPRequestHandler]:
    class Handler(BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def _route(self) -> None:
            if urlsplit(self.path).path.startswith("/v1/messages/batches"):
                service._handle_batches(self)
            else:
                self.close_connection = True
                service._handle(self)

        do_GET = do_POST = _route

        def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - quiet
            pass

    return Handler


def wait_until(condition, what: str, patience: float = 30.0) -> None:
    deadline = time.monotonic() + patience
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.02)
