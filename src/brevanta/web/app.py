"""The web application: its routes as one list, the guard in front, the pages behind."""

from __future__ import annotations

import threading
from collections.abc import AsyncIterator
from contextlib import asynccontextmanager

from starlette.applications import Starlette
from starlette.exceptions import HTTPException
from starlette.middleware import Middleware
from starlette.requests import Request
from starlette.responses import RedirectResponse, Response
from starlette.routing import BaseRoute, Mount, Route
from starlette.staticfiles import StaticFiles

from brevanta import config
from brevanta.pipeline.readers import MAX_SOURCE_BYTES
from brevanta.web.access import Access
from brevanta.web.batches import BatchProgress
from brevanta.web.limits import UploadLimit
from brevanta.web.links import link
from brevanta.web.listing import SessionIndex
from brevanta.web.routes import documents, report, sessions, tasks
from brevanta.web.security import Guard
from brevanta.web.tasks import TaskRunner
from brevanta.web.templating import environment, page


async def favicon(request: Request) -> Response:
    return RedirectResponse(link(request, "static", path="/favicon.svg"), status_code=301)


ROUTES: list[BaseRoute] = [
    *sessions.ROUTES,
    *report.ROUTES,
    *documents.ROUTES,
    *tasks.ROUTES,
    Route("/favicon.ico", favicon, name="favicon"),
    Mount("/static", StaticFiles(packages=[("brevanta.web", "static")]), name="static"),
]


def upload_limit() -> int:
    """The largest request body taken, in bytes: a document file as large as the readers take (a PDF
    or Word file holds much more than its text), or an interview at the token limit (about four
    characters a token) in the widest UTF-8, with room for the form around it. The exact check, in
    tokens, is made on the text once it is read."""
    return max(MAX_SOURCE_BYTES, config.MAX_INTERVIEW_TOKENS * 4 * 4) + 64 * 1024


def too_large_message(limit: int) -> str:
    return (f"This upload is too large: more than {limit / 1_000_000:.1f} MB were sent. A file may have at most "
            f"{MAX_SOURCE_BYTES // 1048576} MB, and an interview, with its attached documents, about "
            f"{config.MAX_INTERVIEW_TOKENS:,} tokens of text (BREVANTA_MAX_INTERVIEW_TOKENS). "
            f"Nothing was saved: shorten it and try again.")


async def error_page(request: Request, exc: Exception) -> Response:
    assert isinstance(exc, HTTPException)
    detail = exc.detail
    if exc.status_code == 413:
        detail = too_large_message(request.app.state.upload_limit)
    return page(request, "error.html", status=exc.status_code, status_code=exc.status_code, detail=detail)


def create_app(access: Access, runner: TaskRunner | None = None) -> Starlette:
    runner = runner or TaskRunner()

    index = SessionIndex()

    @asynccontextmanager
    async def lifespan(app: Starlette) -> AsyncIterator[None]:
        # Every session file read once in the background, so the first sessions page is as quick as the next.
        threading.Thread(target=index.sessions, name="session-index", daemon=True).start()
        yield
        runner.cancel_all()  # in-flight model calls end; every decision is already saved

    limit = upload_limit()
    # The guard first: a request without access is refused before its body is read at all.
    middleware = [Middleware(Guard, access=access), Middleware(UploadLimit, limit=limit)]
    # Every page under the server's own prefix, where its cookie goes (see access).
    app = Starlette(routes=[Mount(access.prefix, routes=ROUTES)], middleware=middleware,
                    exception_handlers={HTTPException: error_page}, lifespan=lifespan)
    app.state.access = access
    app.state.runner = runner
    app.state.index = index
    app.state.batches = BatchProgress()
    app.state.templates = environment()
    app.state.upload_limit = limit
    return app
