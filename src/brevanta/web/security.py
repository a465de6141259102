"""The guard in front of every request, and the headers behind every response.

A request passes when its Host names this server and it carries the access cookie; the first visit
brings the printed address's token instead and gets the cookie (HttpOnly, SameSite=Strict) in
exchange, then a redirect to the same page without the token, so the token leaves the address bar
and the history.
"""

from __future__ import annotations

from urllib.parse import urlencode

from markupsafe import Markup

from starlette.datastructures import URL, MutableHeaders
from starlette.requests import Request
from starlette.responses import RedirectResponse, Response
from starlette.types import ASGIApp, Message, Receive, Scope, Send

from brevanta.web.access import Access
from brevanta.web.templating import page

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

NO_ACCESS = Markup("Open the address that <code>brevanta serve</code> printed: it carries the access token. "
                   "This browser has no access yet, or the server was started again since.")
NOT_HERE = Markup("There is no page here. Open the address that <code>brevanta serve</code> printed: its pages "
                  "are under the path it names.")
WRONG_HOST = Markup("This server answers only to the address it printed (or localhost), and to the names given "
                    "with <code>--allow-host</code>. Open the printed address.")
# The style sheet, the script and the icon are the package's own files, the same for everyone: served
# without the cookie, so that a refusal is a page styled like the others.
PUBLIC_PATH = "/static/"


def refused_page(request: Request, message: Markup, status: int = 403) -> Response:
    """The page of a request the guard turns away, from the application's own error template."""
    return page(request, "error.html", status=status, status_code=status, detail=message, refused=True)


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
        path = request.url.path
        public = request.method in ("GET", "HEAD") and path.startswith(f"{self.access.prefix}{PUBLIC_PATH}")
        if not public and not self.access.host_allowed(request.headers.get("host", "")):
            return refused_page(request, WRONG_HOST)
        if not self.access.within(path):
            return refused_page(request, NOT_HERE, status=404)
        token = request.query_params.get("token")
        if token is not None and request.method in ("GET", "HEAD") and self.access.token_matches(token):
            return _exchange(self.access, request)
        if not public and not self.access.cookie_matches(request.cookies.get(self.access.cookie_name)):
            return refused_page(request, NO_ACCESS)
        return None
