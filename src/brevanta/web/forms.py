"""A posted form, read within the upload limit and accepted only with this server's CSRF token."""

from __future__ import annotations

from starlette.datastructures import FormData, UploadFile
from starlette.exceptions import HTTPException
from starlette.requests import Request

from brevanta.web.access import Access

STALE_FORM = "This form did not come from this page of the server, or the server was restarted: reload the page and try again."


async def read_form(request: Request) -> FormData:
    """The form of a POST; 403 without the CSRF token. The body is counted as it streams in and
    refused once past the upload limit (the application's max_body_size), never read whole first."""
    access: Access = request.app.state.access
    limit: int = request.app.state.upload_limit
    form = await request.form(max_files=4, max_fields=64, max_part_size=limit)
    token = form.get("csrf_token")
    if not access.csrf_matches(token if isinstance(token, str) else None):
        await form.close()
        raise HTTPException(403, STALE_FORM)
    return form


def text_field(form: FormData, name: str) -> str:
    value = form.get(name)
    return value if isinstance(value, str) else ""


def upload_field(form: FormData, name: str) -> UploadFile | None:
    value = form.get(name)
    return value if isinstance(value, UploadFile) and value.filename else None
