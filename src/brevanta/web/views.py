"""The pages that read what the store holds: the sessions, a session's report, its documents."""

from __future__ import annotations

from typing import Any

from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import FileResponse, Response

from brevanta.pipeline.documents import file_name
from brevanta.web import documents
from brevanta.web.listing import SessionIndex, summarise
from brevanta.web.report import report_of, stored_analysis
from brevanta.pipeline.session import state_of
from brevanta.web.sessionfiles import SessionRef, read_session
from brevanta.web.templating import page
from brevanta.web.walk import walk_of

NO_SUCH_SESSION = "There is no such session (it may have been archived or restored since): go back to the sessions."


def session_ref(request: Request) -> SessionRef:
    ref = SessionRef.parse(request.path_params["place"], request.path_params["name"])
    if ref is None:
        raise HTTPException(404, NO_SUCH_SESSION)
    return ref


def session_data(ref: SessionRef) -> dict[str, Any]:
    data = read_session(ref)
    if data is None:
        raise HTTPException(404, NO_SUCH_SESSION)
    return data


async def sessions_page(request: Request) -> Response:
    index: SessionIndex = request.app.state.index
    return page(request, "sessions.html", organisations=index.organisations())


async def report_page(request: Request) -> Response:
    ref = session_ref(request)
    data = session_data(ref)
    state = state_of(data)
    analysis = stored_analysis(state)
    report = report_of(analysis[1]) if analysis else None
    return page(request, "report.html", session=summarise(ref, data), report=report, walk=walk_of(ref, data),
                documents=documents.written_documents(_output_dir(state)))


def _output_dir(state: dict[str, Any]) -> str | None:
    value = state.get("output_dir")
    return value if isinstance(value, str) else None


async def documents_page(request: Request) -> Response:
    ref = session_ref(request)
    data = session_data(ref)
    state = state_of(data)
    output_dir = _output_dir(state)
    shown = []
    for written in documents.written_documents(output_dir):
        path = documents.download_path(output_dir, written.name)
        text = documents.read_document(path) if path else None
        shown.append((written, documents.glance_sections(text or "")))
    return page(request, "documents.html", session=summarise(ref, data), documents=shown)


async def document_page(request: Request) -> Response:
    ref = session_ref(request)
    data = session_data(ref)
    output_dir = _output_dir(state_of(data))
    kind = str(request.path_params["kind"]).lower()
    path = documents.download_path(output_dir, file_name(kind, "md")) if kind in documents.KINDS else None
    text = documents.read_document(path) if path else None
    if text is None:
        raise HTTPException(404, "This document has not been written yet.")
    return page(request, "document.html", session=summarise(ref, data), kind=kind.upper(),
                glance=documents.glance_sections(text), body=documents.markdown_html(text),
                formats=next((item.formats for item in documents.written_documents(output_dir)
                              if item.kind == kind), []))


async def download(request: Request) -> Response:
    ref = session_ref(request)
    data = session_data(ref)
    name = str(request.path_params["file"])
    path = documents.download_path(_output_dir(state_of(data)), name)
    if path is None:
        raise HTTPException(404, "This document has not been written in that format.")
    return FileResponse(path, media_type=documents.media_type(name), filename=name,
                        content_disposition_type="attachment")
