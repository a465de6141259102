"""Pages from the package's Jinja2 templates, with autoescaping on for every template: model text,
file names and organisation ids reach the page only as escaped text."""

from __future__ import annotations

from typing import Any

import jinja2
from starlette.requests import Request
from starlette.responses import HTMLResponse

from brevanta.web.access import Access


def environment() -> jinja2.Environment:
    return jinja2.Environment(
        loader=jinja2.PackageLoader("brevanta.web", "templates"),
        autoescape=True,
        undefined=jinja2.StrictUndefined,  # a misspelt name is a failure of ours, not an empty cell
        trim_blocks=True,
        lstrip_blocks=True,
    )


def page(request: Request, template: str, status: int = 200, **context: Any) -> HTMLResponse:
    access: Access = request.app.state.access
    templates: jinja2.Environment = request.app.state.templates
    body = templates.get_template(template).render(csrf_token=access.csrf_token, **context)
    return HTMLResponse(body, status_code=status)
