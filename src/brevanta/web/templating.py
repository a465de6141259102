"""Pages from the package's Jinja2 templates, with autoescaping on for every template: model text,
file names and organisation ids reach the page only as escaped text, and every value a template writes
goes through the rule the terminal follows too (`brevanta.untrusted`): control characters, lone
surrogates and bidirectional and invisible format characters spelt out as escapes. Text the user typed,
shown back in a field to edit (`| typed`), is left as it is. Every template links with
`path_for(route, ref, **params)`, the route's name and, for a session's pages, the session."""

from __future__ import annotations

import re
from functools import partial
from typing import Any

import jinja2
from markupsafe import Markup
from starlette.requests import Request
from starlette.responses import HTMLResponse

from brevanta.untrusted import escaped
from brevanta.web.access import Access
from brevanta.web.links import link


_LONE_SURROGATE = re.compile("[\ud800-\udfff]")


class Typed(str):
    """Text the user typed, shown back in a field for editing: kept as it is, so sending it again
    changes nothing (it is still HTML-escaped; a lone surrogate, which no page can encode, is replaced)."""


def shown(value: Any) -> Any:
    """Every value a template writes, by the untrusted-text rule."""
    if value.__class__ is str:
        return escaped(value)
    if isinstance(value, Markup):
        return Markup(escaped(str(value)))
    if isinstance(value, Typed):
        return _LONE_SURROGATE.sub("\ufffd", value)
    return value  # numbers, None


def environment() -> jinja2.Environment:
    templates = jinja2.Environment(
        loader=jinja2.PackageLoader("brevanta.web", "templates"),
        autoescape=True,
        finalize=shown,
        undefined=jinja2.StrictUndefined,  # a misspelt name is a failure of ours, not an empty cell
        trim_blocks=True,
        lstrip_blocks=True,
    )
    templates.filters["typed"] = Typed
    return templates


def page(request: Request, template: str, status: int = 200, **context: Any) -> HTMLResponse:
    access: Access = request.app.state.access
    templates: jinja2.Environment = request.app.state.templates
    context.setdefault("refused", False)  # a page for a request the guard turned away: no links into the server
    body = templates.get_template(template).render(csrf_token=access.csrf_token, path_for=partial(link, request),
                                                   **context)
    return HTMLResponse(body, status_code=status)
