"""A local Messages API that behaves like the service where cost and speed are concerned.

- Replies stream at a set rate: the first event after `first_event_delay` seconds, then the text at
  `tokens_per_second` (a token counted as four characters), in deltas of a few tokens.
- A prefix cache: a request whose content up to a `cache_control` breakpoint (model and every block
  before it included) matches the prefix written by an earlier request that has begun streaming is billed
  as a cache read; otherwise as a cache write, readable once this reply's stream has begun.
- `usage` reports input tokens (those outside the cached prefix), output tokens, and the cache write or
  read.
- Each request is logged with its start, first-event and end times and its usage; `rate_limited` names
  requests (by their number, 1 for the first) that are answered 429 instead.

Replies are chosen by `answer(body)`; `by_kind` answers the analysis, the PRD and the TRD with fixed
texts. A reply that marks its citations as the saved replies do (`{{cited words}}`) is answered with
citations at the real offsets of the documents the request sent: as `citations_delta` events before each
cited block's text when streamed, in the blocks otherwise. `wrong` names requests (by kind) whose first
citation is spoiled: "text" (other words), "range" (indices past the document's end) or "document" (a
document that was not sent).
"""

from __future__ import annotations

import itertools
import json
import math
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any, Self

from brevanta.pipeline.replay_citations import cited_blocks, request_documents

CHARACTERS_PER_TOKEN = 4
TOKENS_PER_DELTA = 4


def tokens(text: str) -> int:
    return math.ceil(len(text) / CHARACTERS_PER_TOKEN)


def kind_of(body: dict[str, Any]) -> str:
    """"analysis", "prd" or "trd": what a request asks for. The analysis is one text; a document's content
    is blocks, the last one its own instructions."""
    content = body["messages"][-1]["content"]
    if isinstance(content, str):
        return "analysis"
    return "trd" if "(TRD)" in content[-1].get("text", "") else "prd"


def by_kind(replies: dict[str, str]) -> Callable[[dict[str, Any]], str]:
    return lambda body: replies[kind_of(body)]


@dataclass
class Logged:
    """One request as the service saw it; times are time.monotonic(), `ended` when its last event went out
    (or when the client went away)."""

    number: int
    kind: str
    body: dict[str, Any]
    started: float
    first_event: float | None = None
    ended: float | None = None
    status: int = 200
    usage: dict[str, int] = field(default_factory=dict)
    completed: bool = False  # every event sent; False when the client went away first


def block_text(block: dict[str, Any]) -> str:
    """A text block's text, a document block's data."""
    return block.get("text") or (block.get("source") or {}).get("data", "")


def _text_blocks(body: dict[str, Any]) -> list[tuple[dict[str, Any], str]]:
    """Every content block of the request, in order, each with the JSON it contributes to a prefix."""
    blocks = []
    for message in body.get("messages", []):
        content = message.get("content")
        if isinstance(content, str):
            content = [{"type": "text", "text": content}]
        for block in content:
            part = {name: value for name, value in block.items() if name != "cache_control"}
            blocks.append((block, json.dumps([message.get("role"), part], sort_keys=True)))
    return blocks


SPOILED = {
    "text": lambda citation: {**citation, "cited_text": citation["cited_text"] + " and more"},
    "range": lambda citation: {**citation, "start_char_index": 10**6, "end_char_index": 10**6 + 5},
    "document": lambda citation: {**citation, "document_index": 99},
}


def reply_content(body: dict[str, Any], text: str, wrong: str | None = None) -> list[dict[str, Any]]:
    """The reply's content blocks: `text` with its marked citations resolved against the request's documents."""
    documents = request_documents(body.get("messages", []))
    if not documents:
        return [{"type": "text", "text": text}]
    blocks = cited_blocks(text, documents)
    if wrong is not None:
        cited = next(block for block in blocks if block.get("citations"))
        cited["citations"][0] = SPOILED[wrong](cited["citations"][0])
    return blocks


@dataclass
class MessagesService:
    answer: Callable[[dict[str, Any]], str]
    tokens_per_second: float = 60.0
    first_event_delay: float = 0.5
    rate_limited: set[int] = field(default_factory=set)
    rates: dict[str, float] = field(default_factory=dict)  # kind -> its own tokens per second
    wrong: dict[str, str] = field(default_factory=dict)  # kind -> how its first citation is spoiled (SPOILED)
    log: list[Logged] = field(default_factory=list)

    def __post_init__(self) -> None:
        self._lock = threading.Lock()
        self._numbers = itertools.count(1)
        self._cache: dict[str, bool] = {}  # prefix -> readable (its writer's stream has begun)
        self._httpd: ThreadingHTTPServer | None = None
        self._stopping = threading.Event()

    # -- lifecycle ----------------------------------------------------------

    @property
    def base_url(self) -> str:
        assert self._httpd is not None, "the service is not running"
        host, port = self._httpd.server_address[:2]
        return f"http://{host}:{port}"

    def start(self) -> Self:
        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), self._handler())
        self._httpd.daemon_threads = True
        threading.Thread(target=self._httpd.serve_forever, kwargs={"poll_interval": 0.02}, daemon=True,
                         name=type(self).__name__).start()
        return self

    def _handler(self) -> type[BaseHTTPRequestHandler]:
        return _handler_for(self)

    def stop(self) -> None:
        if self._httpd is not None:
            self._stopping.set()
            self._httpd.shutdown()
            self._httpd.server_close()
            self._httpd = None

    def __enter__(self) -> Self:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    def of_kind(self, kind: str) -> list[Logged]:
        return [entry for entry in self.log if entry.kind == kind]

    # -- billing ------------------------------------------------------------

    def _bill(self, body: dict[str, Any]) -> tuple[dict[str, int], str | None]:
        """The request's input usage, and the prefix it writes to the cache (None when it reads or has none)."""
        blocks = _text_blocks(body)
        total = sum(tokens(block_text(block)) for block, _ in blocks)
        breakpoints = [index for index, (block, _) in enumerate(blocks) if block.get("cache_control")]
        usage = {"input_tokens": total, "cache_creation_input_tokens": 0, "cache_read_input_tokens": 0}
        if not breakpoints:
            return usage, None
        last = breakpoints[-1]
        prefix = json.dumps([body.get("model")] + [part for _, part in blocks[:last + 1]])
        cached = sum(tokens(block_text(block)) for block, _ in blocks[:last + 1])
        usage["input_tokens"] = total - cached
        with self._lock:
            if self._cache.get(prefix):
                usage["cache_read_input_tokens"] = cached
                return usage, None
            self._cache.setdefault(prefix, False)
        usage["cache_creation_input_tokens"] = cached
        return usage, prefix

    def _readable(self, prefix: str | None) -> None:
        if prefix is not None:
            with self._lock:
                self._cache[prefix] = True

    # -- answering ----------------------------------------------------------

    def _handle(self, handler: BaseHTTPRequestHandler) -> None:
        raw = handler.rfile.read(int(handler.headers.get("Content-Length") or 0))
        body = json.loads(raw)
        number = next(self._numbers)
        entry = Logged(number, kind_of(body), body, time.monotonic())
        with self._lock:
            self.log.append(entry)
        try:
            if number in self.rate_limited:
                entry.status = 429
                send_json(handler, 429, {"type": "error", "error": {"type": "rate_limit_error",
                                                                     "message": "Number of concurrent requests exceeded"}},
                           {"retry-after": "0"})
                return
            content = reply_content(body, self.answer(body), self.wrong.get(entry.kind))
            text = "".join(block["text"] for block in content)
            usage, prefix = self._bill(body)
            usage["output_tokens"] = tokens(text)
            entry.usage = usage
            message = {"id": f"msg_service_{number:04d}", "type": "message", "role": "assistant",
                       "model": body.get("model"), "stop_reason": "end_turn", "stop_sequence": None}
            if body.get("stream"):
                self._stream(handler, entry, message, content, prefix)
            else:
                rate = self.rates.get(entry.kind, self.tokens_per_second)
                self._stopping.wait(self.first_event_delay + usage["output_tokens"] / rate)
                self._readable(prefix)
                entry.ended = time.monotonic()
                send_json(handler, 200, {**message, "content": content, "usage": usage})
                entry.completed = True
        except OSError:  # the client went away
            pass
        finally:
            if entry.ended is None:  # the client went away, or a 429
                entry.ended = time.monotonic()

    def _stream(self, handler: BaseHTTPRequestHandler, entry: Logged, message: dict[str, Any],
                content: list[dict[str, Any]], prefix: str | None) -> None:
        handler.send_response(200)
        handler.send_header("Content-Type", "text/event-stream")
        handler.end_headers()
        handler.close_connection = True

        def send(name: str, data: dict[str, Any]) -> None:
            handler.wfile.write(f"event: {name}\ndata: {json.dumps(data)}\n\n".encode())
            handler.wfile.flush()

        usage = entry.usage
        self._stopping.wait(self.first_event_delay)
        start_usage = {**usage, "output_tokens": 1}
        # Readable, and logged, before the client can see the reply begin and act on it.
        self._readable(prefix)
        entry.first_event = time.monotonic()
        send("message_start", {"type": "message_start", "message": {**message, "content": [], "stop_reason": None,
                                                                     "usage": start_usage}})
        rate = self.rates.get(entry.kind, self.tokens_per_second)
        size = TOKENS_PER_DELTA * CHARACTERS_PER_TOKEN
        began = time.monotonic()
        sent = 0
        for index, block in enumerate(content):
            citations = block.get("citations")
            start = {"type": "text", "text": ""} if citations is None else {"type": "text", "text": "", "citations": []}
            send("content_block_start", {"type": "content_block_start", "index": index, "content_block": start})
            for citation in citations or []:
                send("content_block_delta", {"type": "content_block_delta", "index": index,
                                             "delta": {"type": "citations_delta", "citation": citation}})
            text = block["text"]
            for at in range(0, len(text), size):
                sent += 1
                due = began + sent * TOKENS_PER_DELTA / rate  # paced against the clock, not the sleeps
                if self._stopping.wait(max(0.0, due - time.monotonic())):
                    return
                send("content_block_delta", {"type": "content_block_delta", "index": index,
                                             "delta": {"type": "text_delta", "text": text[at:at + size]}})
            send("content_block_stop", {"type": "content_block_stop", "index": index})
        send("message_delta", {"type": "message_delta", "delta": {"stop_reason": "end_turn", "stop_sequence": None},
                               "usage": {"output_tokens": usage["output_tokens"]}})
        entry.ended = time.monotonic()  # before the client can see the end and act on it
        send("message_stop", {"type": "message_stop"})
        entry.completed = True


def send_json(handler: BaseHTTPRequestHandler, status: int, body: dict[str, Any],
               headers: dict[str, str] | None = None) -> None:
    payload = json.dumps(body).encode()
    handler.send_response(status)
    handler.send_header("Content-Type", "application/json")
    handler.send_header("Content-Length", str(len(payload)))
    for name, value in (headers or {}).items():
        handler.send_header(name, value)
    handler.end_headers()
    handler.wfile.write(payload)


def _handler_for(service: MessagesService) -> type[BaseHTTPRequestHandler]:
    class Handler(BaseHTTPRequestHandler):
        def do_POST(self) -> None:
            service._handle(self)

        def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - quiet
            pass

    return Handler
