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


@dataclass(frozen=True)
class _MessageReply:
    content: list[dict[str, Any]]
    input_tokens: int | None
    output_tokens: int | None
    stop_reason: str = "end_turn"


@dataclass(frozen=True)
class _ErrorReply:
    status: int
    body: Any
    retryable: bool


@dataclass
class MessagesServer:
    """Messages API stub on 127.0.0.1, serving queued replies in order."""

    input_tokens: int = 10
    output_tokens: int = 20
    requests: list[RecordedRequest] = field(default_factory=list)

    def __post_init__(self) -> None:
        self._replies: queue.SimpleQueue[_MessageReply | _ErrorReply] = queue.SimpleQueue()
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
    ) -> None:
        self.reply_content(
            [{"type": "text", "text": text}],
            input_tokens=input_tokens,
            output_tokens=output_tokens,
            stop_reason=stop_reason,
        )

    def reply_content(
        self,
        blocks: list[dict[str, Any]],
        *,
        input_tokens: int | None = None,
        output_tokens: int | None = None,
        stop_reason: str = "end_turn",
    ) -> None:
        self._replies.put(_MessageReply(list(blocks), input_tokens, output_tokens, stop_reason))

    def never_answer(self, *, for_seconds: float = 30.0) -> None:
        """From now on accept each request and send nothing back, until `for_seconds` have passed or the
        server stops; then the connection closes without an answer."""
        self._silent_for = for_seconds

    def reply_error(self, status: int, body: Any = None, *, retryable: bool = False) -> None:
        """Queue an HTTP error. Unless ``retryable``, the SDK is told not to retry it, keeping tests fast."""
        if body is None:
            body = {"type": "error", "error": {"type": "api_error", "message": f"stub error {status}"}}
        self._replies.put(_ErrorReply(status, body, retryable))

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

    def _next_reply(self) -> _MessageReply | _ErrorReply:
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
        """(status, JSON-able body, extra headers) for one recorded request."""
        if request.method != "POST" or urlsplit(request.path).path != "/v1/messages":
            return 404, _error_body("not_found_error", f"stub has no {request.method} {request.path}"), {}
        if isinstance(request.body, dict) and request.body.get("stream"):
            return 400, _error_body("invalid_request_error", "the stub does not stream"), {"x-should-retry": "false"}
        reply = self._next_reply()
        if isinstance(reply, _ErrorReply):
            return reply.status, reply.body, {"x-should-retry": "true" if reply.retryable else "false"}
        return 200, self._message_json(reply, request.body), {}


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
            payload = body.encode() if isinstance(body, str) else json.dumps(body).encode()
            self.send_response(status)
            self.send_header("Content-Type", "text/plain" if isinstance(body, str) else "application/json")
            self.send_header("Content-Length", str(len(payload)))
            self.send_header("request-id", f"req_stub_{len(server.requests):04d}")
            for name, value in headers.items():
                self.send_header(name, value)
            self.end_headers()
            self.wfile.write(payload)

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
