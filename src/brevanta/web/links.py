"""Links to the application's own pages, built from the routes' names: an address is written once,
in the route table, and every handler and template asks for it by name."""

from __future__ import annotations

from typing import Any

from starlette.requests import Request

from brevanta.web.sessionfiles import SessionRef


def link(request: Request, route: str, ref: SessionRef | None = None, /, anchor: str = "", **params: Any) -> str:
    """The path of the route named `route` (a session's routes take its `ref`), with `#anchor` when given.
    A path, not a whole URL: a page names no host, whichever name the browser reached it by."""
    if ref is not None:
        params = {"place": ref.place, "name": ref.name, **params}
    path = str(request.app.url_path_for(route, **{key: str(value) for key, value in params.items()}))
    return f"{path}#{anchor}" if anchor else path
