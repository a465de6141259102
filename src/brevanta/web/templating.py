"""Pages from the package's Jinja2 templates, with autoescaping on for every template: model text,
file names and organisation ids reach the page only as escaped text. Every template links with
`path_for(route, ref, **params)`, the route's name and, for a session's pages, the session."""

from __future__ import annotations

import re
from functools import partial
from typing import Any

import jinja2
from markupsafe import Markup
from starlette.requests import Request
from starlette.responses import HTMLResponse

from brevanta.web.access import Access
from brevanta.web.links import link


# Control characters other than tab and line ends: a terminal escape in model text is shown as the
# text "\x1b[31m", not passed to the page as an invisible character.
_CONTROL = re.compile("[\x00-\x08\x0b\x0c\x0e-\x1f\x7f-\x9f]")


def _visible(match: re.Match[str]) -> str:
    return f"\\x{ord(match.group()):02x}"


def visible_controls(value: Any) -> Any:
    """Every value a template writes, with its control characters spelt out."""
    if value.__class__ is str:  # the common case first: most text is printable as it is
        return value if value.isprintable() else _CONTROL.sub(_visible, value)
    if isinstance(value, Markup):
        return Markup(_CONTROL.sub(_visible, str(value)))
    return value


def environment() -> jinja2.Environment:
    return jinja2.Environment(
        loader=jinja2.PackageLoader("brevanta.web", "templates"),
        autoescape=True,
        finalize=visible_controls,
        undefined=jinja2.StrictUndefined,  # a misspelt name is a failure of ours, not an empty cell
        trim_blocks=True,
        lstrip_blocks=True,
    )


def page(request: Request, template: str, status: int = 200, **context: Any) -> HTMLResponse:
    access: Access = request.app.state.access
    templates: jinja2.Environment = request.app.state.templates
    body = templates.get_template(template).render(csrf_token=access.csrf_token, path_for=partial(link, request),
                                                   **context)
    return HTMLResponse(body, status_code=status)
