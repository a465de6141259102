"""A local stand-in for Anthropic's Messages API, good enough for the official SDK.

Tests queue the replies they want, point a client at ``base_url`` and then
inspect ``requests`` to see exactly what went over the wire.
"""

from __future__ import annotations

import itertools
import json
import queue
import threading
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any
from urllib.parse import urlsplit

import pytest

DEFAULT_REPLY_TEXT = "{}"


@dataclass(frozen=True)
class RecordedRequest:
    method: str
    path: str  # as sent, query string included
    headers: dict[str, str]  # names lower-cased
    body: Any  # parsed JSON, or None when the body was not JSON
    raw: bytes = b""


# How a streamed reply can break off half-way: it stalls (sends nothing more for `stall_for`
# seconds, then closes), sends an SSE `error` event, or drops the connection.
BREAKS = ("stall", "error", "drop")
OVERLOADED = {"type": "error", "error": {"type": "overloaded_error", "message": "Overloaded"}}


@dataclass(frozen=True)
class _MessageReply:
    content: list[dict[str, Any]]
    input_tokens: int | None
    output_tokens: int | None
    stop_reason: str = "end_turn"
    chunks: int = 1  # text deltas per text block, when streamed
    every: float = 0.0  # seconds between two streamed events
    break_off: str | None = None  # one of BREAKS, half-way through the streamed reply
    stall_for: float = 10.0


@dataclass(frozen=True)
class _ErrorReply:
    status: int
    body: Any
    retryable: bool


@dataclass(frozen=True)
class _RawReply:
    status: int
    body: str  # sent as it is, malformed or not
    content_type: str


@dataclass
class MessagesServer:
    """Messages API stub on 127.0.0.1, serving queued replies in order."""

    input_tokens: int = 10
    output_tokens: int = 20
    requests: list[RecordedRequest] = field(default_factory=list)

    def __post_init__(self) -> None:
        self._replies: queue.SimpleQueue[_MessageReply | _ErrorReply | _RawReply] = queue.SimpleQueue()
        self._message_ids = itertools.count(1)
        self._httpd: ThreadingHTTPServer | None = None
        self._thread: threading.Thread | None = None
        self._silent_for = 0.0
        self._stopping = threading.Event()  # releases the requests held by never_answer

    # -- queueing replies -------------------------------------------------

    def reply_text(
        self,
        text: str,
        *,
        input_tokens: int | None = None,
        output_tokens: int | None = None,
        stop_reason: str = "end_turn",
        **streaming: Any,
    ) -> None:
        """Queue a text reply. A streamed request gets it as SSE events; `streaming` shapes them:
        `chunks` text deltas, `every` seconds apart, and `break_off` (one of BREAKS) half-way,
        a stall lasting `stall_for` seconds. Unstreamed, a paced reply comes after as long as its
        events would take."""
        self.reply_content(
            [{"type": "text", "text": text}],
            input_tokens=input_tokens,
            output_tokens=output_tokens,
            stop_reason=stop_reason,
            **streaming,
        )

    def reply_content(
        self,
        blocks: list[dict[str, Any]],
        *,
        input_tokens: int | None = None,
        output_tokens: int | None = None,
        stop_reason: str = "end_turn",
        **streaming: Any,
    ) -> None:
        assert streaming.get("break_off") in (None, *BREAKS), streaming
        self._replies.put(_MessageReply(list(blocks), input_tokens, output_tokens, stop_reason, **streaming))

    def never_answer(self, *, for_seconds: float = 30.0) -> None:
        """From now on accept each request and send nothing back, until `for_seconds` have passed or the
        server stops; then the connection closes without an answer."""
        self._silent_for = for_seconds

    def reply_error(self, status: int, body: Any = None, *, retryable: bool = False) -> None:
        """Queue an HTTP error. Unless ``retryable``, the SDK is told not to retry it, keeping tests fast."""
        if body is None:
            body = {"type": "error", "error": {"type": "api_error", "message": f"stub error {status}"}}
        self._replies.put(_ErrorReply(status, body, retryable))

    def reply_raw(self, body: str, *, content_type: str = "application/json", status: int = 200) -> None:
        """Queue a reply sent byte for byte as given (a malformed body, a hand-written event stream)."""
        self._replies.put(_RawReply(status, body, content_type))

    # -- lifecycle --------------------------------------------------------

    @property
    def base_url(self) -> str:
        if self._httpd is None:
            raise RuntimeError("the stub server is not running")
        host, port = self._httpd.server_address[:2]
        return f"http://{host}:{port}"

    def start(self) -> MessagesServer:
        self._httpd = ThreadingHTTPServer(("127.0.0.1", 0), _handler_for(self))
        self._httpd.daemon_threads = True
        # A short poll interval keeps shutdown, and so each test's teardown, quick.
        self._thread = threading.Thread(
            target=self._httpd.serve_forever, kwargs={"poll_interval": 0.02}, name="anthropic-stub", daemon=True
        )
        self._thread.start()
        return self

    def stop(self) -> None:
        if self._httpd is None:
            return
        self._stopping.set()
        self._httpd.shutdown()
        self._httpd.server_close()
        if self._thread is not None:
            self._thread.join(timeout=5)
        self._httpd = None
        self._thread = None

    def __enter__(self) -> MessagesServer:
        return self.start()

    def __exit__(self, *exc_info: object) -> None:
        self.stop()

    # -- answering --------------------------------------------------------

    def _next_reply(self) -> _MessageReply | _ErrorReply | _RawReply:
        try:
            return self._replies.get_nowait()
        except queue.Empty:
            return _MessageReply([{"type": "text", "text": DEFAULT_REPLY_TEXT}], None, None)

    def _message_json(self, reply: _MessageReply, request_body: Any) -> dict[str, Any]:
        model = request_body.get("model") if isinstance(request_body, dict) else None
        return {
            "id": f"msg_stub_{next(self._message_ids):04d}",
            "type": "message",
            "role": "assistant",
            "model": model or "claude-stub",
            "content": reply.content,
            "stop_reason": reply.stop_reason,
            "stop_sequence": None,
            "usage": {
                "input_tokens": self.input_tokens if reply.input_tokens is None else reply.input_tokens,
                "output_tokens": self.output_tokens if reply.output_tokens is None else reply.output_tokens,
            },
        }

    def _answer(self, request: RecordedRequest) -> tuple[int, Any, dict[str, str]]:
        """(status, JSON-able body or a streamed reply, extra headers) for one recorded request."""
        if request.method != "POST" or urlsplit(request.path).path != "/v1/messages":
            return 404, _error_body("not_found_error", f"stub has no {request.method} {request.path}"), {}
        reply = self._next_reply()
        if isinstance(reply, _RawReply):
            return reply.status, reply, {}
        if isinstance(reply, _ErrorReply):
            return reply.status, reply.body, {"x-should-retry": "true" if reply.retryable else "false"}
        if isinstance(request.body, dict) and request.body.get("stream"):
            return 200, reply, {}
        if reply.every:  # unstreamed, the reply comes once all of it is written
            self._stopping.wait(reply.every * (len(self._events(reply, request.body)) - 1))
        return 200, self._message_json(reply, request.body), {}

    def _events(self, reply: _MessageReply, request_body: Any) -> list[tuple[str, Any]]:
        """The SSE events of a streamed reply, as (event name, data)."""
        message = self._message_json(reply, request_body)
        usage = message.pop("usage")
        start = {**message, "content": [], "stop_reason": None,
                 "usage": {"input_tokens": usage["input_tokens"], "output_tokens": 1}}
        events: list[tuple[str, Any]] = [("message_start", {"type": "message_start", "message": start})]
        for index, block in enumerate(reply.content):
            if block.get("type") != "text":
                events.append(("content_block_start", {"type": "content_block_start", "index": index,
                                                       "content_block": block}))
            else:
                events.append(("content_block_start", {"type": "content_block_start", "index": index,
                                                       "content_block": {"type": "text", "text": ""}}))
                text, size = block["text"], -(-len(block["text"]) // reply.chunks)
                events += [("content_block_delta", {"type": "content_block_delta", "index": index,
                                                    "delta": {"type": "text_delta", "text": text[at:at + size]}})
                           for at in range(0, len(text), max(size, 1))]
            events.append(("content_block_stop", {"type": "content_block_stop", "index": index}))
        events.append(("message_delta", {"type": "message_delta",
                                         "delta": {"stop_reason": reply.stop_reason, "stop_sequence": None},
                                         "usage": {"output_tokens": usage["output_tokens"]}}))
        events.append(("message_stop", {"type": "message_stop"}))
        return events

    def _stream(self, write: Any, reply: _MessageReply, request_body: Any) -> None:
        """Sends the events of `reply` through `write`, breaking off half-way if the reply says so."""
        events = self._events(reply, request_body)
        for number, (name, data) in enumerate(events):
            if reply.break_off and number == len(events) // 2:
                if reply.break_off == "error":
                    write(_sse("error", OVERLOADED))
                elif reply.break_off == "stall":
                    self._stopping.wait(reply.stall_for)
                return  # and the connection closes
            if number and reply.every:
                self._stopping.wait(reply.every)
            write(_sse(name, data))


def _sse(name: str, data: Any) -> bytes:
    return f"event: {name}\ndata: {json.dumps(data)}\n\n".encode()


def _error_body(error_type: str, message: str) -> dict[str, Any]:
    return {"type": "error", "error": {"type": error_type, "message": message}}


def _parse_json(raw: bytes) -> Any:
    try:
        return json.loads(raw) if raw else None
    except ValueError:
        return None


def _handler_for(server: MessagesServer) -> type[BaseHTTPRequestHandler]:
    class Handler(BaseHTTPRequestHandler):
        def _handle(self) -> None:
            length = int(self.headers.get("Content-Length") or 0)
            raw = self.rfile.read(length) if length else b""
            request = RecordedRequest(
                method=self.command,
                path=self.path,
                headers={name.lower(): value for name, value in self.headers.items()},
                body=_parse_json(raw),
                raw=raw,
            )
            server.requests.append(request)
            if server._silent_for:
                server._stopping.wait(server._silent_for)
                self.close_connection = True
                return
            status, body, headers = server._answer(request)
            if isinstance(body, _MessageReply):
                self._send_stream(body, request)
                return
            if isinstance(body, _RawReply):
                headers = {"Content-Type": body.content_type, "x-should-retry": "false"}
                body = body.body
            payload = body.encode() if isinstance(body, str) else json.dumps(body).encode()
            self.send_response(status)
            if "Content-Type" not in headers:
                self.send_header("Content-Type", "text/plain" if isinstance(body, str) else "application/json")
            self.send_header("Content-Length", str(len(payload)))
            self.send_header("request-id", f"req_stub_{len(server.requests):04d}")
            for name, value in headers.items():
                self.send_header(name, value)
            self.end_headers()
            self.wfile.write(payload)

        def _send_stream(self, reply: _MessageReply, request: RecordedRequest) -> None:
            # No length: the body ends when the connection closes.
            self.send_response(200)
            self.send_header("Content-Type", "text/event-stream")
            self.send_header("request-id", f"req_stub_{len(server.requests):04d}")
            self.end_headers()
            self.close_connection = True

            def write(event: bytes) -> None:
                self.wfile.write(event)
                self.wfile.flush()

            try:
                server._stream(write, reply, request.body)
            except OSError:  # the client went away
                pass

        do_POST = do_GET = do_PUT = do_DELETE = _handle

        def log_message(self, format: str, *args: Any) -> None:  # noqa: A002 - keep test output quiet
            pass

    return Handler


@pytest.fixture
def messages_server():
    """A running :class:`MessagesServer`, stopped after the test."""
    with MessagesServer() as server:
        yield server


@pytest.fixture
def direct_sdk_env(monkeypatch: pytest.MonkeyPatch, messages_server: MessagesServer):
    """Point any default-constructed Anthropic SDK client at the stub."""
    monkeypatch.setenv("ANTHROPIC_BASE_URL", messages_server.base_url)
    monkeypatch.setenv("ANTHROPIC_API_KEY", "test-key")
    monkeypatch.delenv("ANTHROPIC_AUTH_TOKEN", raising=False)
    return messages_server
