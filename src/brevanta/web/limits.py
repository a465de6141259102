"""The upload limit: a request body is counted as it streams in and refused once it passes the
limit, so an oversized upload is never read whole; a body declared too large is refused unread.

Starlette's own body limit answers a declared oversized body with a fixed "Content Too Large"; this
one raises the 413 where the application's error page can say what the limit is and what to do.
"""

from __future__ import annotations

from starlette.datastructures import Headers
from starlette.exceptions import HTTPException
from starlette.types import ASGIApp, Message, Receive, Scope, Send


class UploadLimit:
    """ASGI middleware placed inside the exception handling, so that its 413 becomes a page."""

    def __init__(self, app: ASGIApp, limit: int) -> None:
        self.app = app
        self.limit = limit

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] != "http":
            await self.app(scope, receive, send)
            return
        declared = Headers(scope=scope).get("content-length", "")
        too_large = declared.isdigit() and int(declared) > self.limit
        received = 0

        async def counted() -> Message:
            nonlocal received
            if too_large:
                raise HTTPException(413)
            message = await receive()
            if message["type"] == "http.request":
                received += len(message.get("body", b""))
                if received > self.limit:
                    raise HTTPException(413)
            return message

        await self.app(scope, counted, send)
