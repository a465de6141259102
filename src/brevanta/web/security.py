"""The guard in front of every request, and the headers behind every response.

A request passes when its Host names this server and it carries the access cookie; the first visit
brings the printed address's token instead and gets the cookie (HttpOnly, SameSite=Strict) in
exchange, then a redirect to the same page without the token, so the token leaves the address bar
and the history.
"""

from __future__ import annotations

import html
from urllib.parse import urlencode

from starlette.datastructures import URL, MutableHeaders
from starlette.requests import Request
from starlette.responses import HTMLResponse, RedirectResponse, Response
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from brevanta.web.access import Access

# Scripts and styles from this server only, never inline; nothing from elsewhere; no framing.
CONTENT_SECURITY_POLICY = (
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
    "font-src 'self'; form-action 'self'; frame-ancestors 'none'; base-uri 'none'"
)

SECURITY_HEADERS = {
    "content-security-policy": CONTENT_SECURITY_POLICY,
    "x-content-type-options": "nosniff",
    "referrer-policy": "no-referrer",  # the token never leaves in a Referer
    "x-frame-options": "DENY",
    "cache-control": "no-store",
}

NO_ACCESS = ("Open the address that <code>brevanta serve</code> printed: it carries the access token. "
             "This browser has no access yet, or the server was started again since.")
NOT_HERE = ("There is no page here. Open the address that <code>brevanta serve</code> printed: its pages are "
            "under the path it names.")
WRONG_HOST = ("This server answers only to the address it printed (or localhost). "
              "Open the printed address.")


def plain_page(status: int, title: str, message_html: str) -> HTMLResponse:
    """A page without templates or scripts, for the requests the guard turns away."""
    body = (f"<!doctype html><html lang=\"en\"><head><meta charset=\"utf-8\"><title>{html.escape(title)}"
            f"</title></head><body><h1>{html.escape(title)}</h1><p>{message_html}</p></body></html>")
    return HTMLResponse(body, status_code=status)


def _without_token(request: Request) -> str:
    query = [(key, value) for key, value in request.query_params.multi_items() if key != "token"]
    return str(URL(path=request.url.path, query=urlencode(query)))


def _exchange(access: Access, request: Request) -> Response:
    response = RedirectResponse(_without_token(request), status_code=303)
    # Path: sent back to this server's pages alone, not to every server of the host (see access).
    response.set_cookie(access.cookie_name, access.cookie_value, httponly=True, samesite="strict",
                        path=access.prefix)
    return response


class Guard:
    """ASGI middleware: the Host check, the token exchange, the cookie check, the security headers."""

    def __init__(self, app: ASGIApp, access: Access) -> None:
        self.app = app
        self.access = access

    async def __call__(self, scope: Scope, receive: Receive, send: Send) -> None:
        if scope["type"] == "lifespan":
            await self.app(scope, receive, send)
            return
        if scope["type"] != "http":  # no websockets here
            return

        async def send_with_headers(message: Message) -> None:
            if message["type"] == "http.response.start":
                headers = MutableHeaders(scope=message)
                for name, value in SECURITY_HEADERS.items():
                    headers.setdefault(name, value)
            await send(message)

        request = Request(scope)
        refusal = self._refusal(request)
        if refusal is not None:
            await refusal(scope, receive, send_with_headers)
            return
        await self.app(scope, receive, send_with_headers)

    def _refusal(self, request: Request) -> Response | None:
        if not self.access.host_allowed(request.headers.get("host", "")):
            return plain_page(403, "Forbidden", WRONG_HOST)
        if not self.access.within(request.url.path):
            return plain_page(404, "Not found", NOT_HERE)
        token = request.query_params.get("token")
        if token is not None and request.method in ("GET", "HEAD") and self.access.token_matches(token):
            return _exchange(self.access, request)
        if not self.access.cookie_matches(request.cookies.get(self.access.cookie_name)):
            return plain_page(403, "Forbidden", NO_ACCESS)
        return None
