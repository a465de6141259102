"""A session's written documents: the cards with what a reviewer checks first, each document read in
the page with each quote beside the text it supports, the cited passage shown in its source, and the
downloads of every written format."""

from __future__ import annotations

from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import FileResponse, Response
from starlette.routing import BaseRoute, Route

from brevanta.pipeline.documents import file_name
from brevanta.pipeline.footnotes import cited_passages
from brevanta.pipeline.session import output_dir, state_of
from brevanta.web import documents
from brevanta.web.links import link
from brevanta.web.listing import summarise
from brevanta.web.sessionfiles import SESSION_PATH, session_data, session_ref
from brevanta.web.templating import page


# On worker threads, as Starlette runs plain functions: each reads the store and the documents.


def documents_page(request: Request) -> Response:
    ref = session_ref(request)
    data = session_data(ref)
    state = state_of(data)
    folder = output_dir(state)
    shown = []
    for written in documents.written_documents(folder):
        path = documents.download_path(folder, written.name)
        text = documents.read_document(path) if path else None
        shown.append((written, documents.glance_sections(text or ""), documents.traceability_line(state, written.kind)))
    return page(request, "documents.html", session=summarise(ref, data), documents=shown)


def document_page(request: Request) -> Response:
    ref = session_ref(request)
    data = session_data(ref)
    state = state_of(data)
    folder = output_dir(state)
    kind = str(request.path_params["kind"]).lower()
    path = documents.download_path(folder, file_name(kind, "md")) if kind in documents.KINDS else None
    text = documents.read_document(path) if path else None
    if text is None:
        raise HTTPException(404, "This document has not been written yet.")
    passages = {int(label[1:]): link(request, "source", ref, kind=kind, label=label, anchor="cited")
                for label in cited_passages(state, kind)}
    return page(request, "document.html", session=summarise(ref, data), kind=kind.upper(),
                glance=documents.glance_sections(text), body=documents.markdown_html(text, passages),
                traceability=documents.traceability_line(state, kind),
                formats=next((item.formats for item in documents.written_documents(folder)
                              if item.kind == kind), []))


def source_page(request: Request) -> Response:
    """The source a footnote cites, whole, its cited passage marked."""
    ref = session_ref(request)
    data = session_data(ref)
    kind, label = str(request.path_params["kind"]).lower(), str(request.path_params["label"])
    passage = cited_passages(state_of(data), kind).get(label) if kind in documents.KINDS else None
    if passage is None:
        raise HTTPException(404, "This document has no such source.")
    before, cited, after = passage.parts()
    return page(request, "source.html", session=summarise(ref, data), kind=kind, document=kind.upper(),
                label=label, title=passage.source.title, where=passage.where, before=before, cited=cited, after=after)


def download(request: Request) -> Response:
    ref = session_ref(request)
    data = session_data(ref)
    name = str(request.path_params["file"])
    path = documents.download_path(output_dir(state_of(data)), name)
    if path is None:
        raise HTTPException(404, "This document has not been written in that format.")
    return FileResponse(path, media_type=documents.media_type(name), filename=name,
                        content_disposition_type="attachment")


ROUTES: list[BaseRoute] = [
    Route(SESSION_PATH + "/documents", documents_page, name="documents"),
    Route(SESSION_PATH + "/documents/{kind}", document_page, name="document"),
    Route(SESSION_PATH + "/documents/{kind}/sources/{label}", source_page, name="source"),
    Route(SESSION_PATH + "/download/{file}", download, name="download"),
]
