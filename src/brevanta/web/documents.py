"""The documents a session wrote into its output folder: rendered for reading, with the sections a
reviewer checks first ("Known gaps and assumptions", "Figures to verify", "Requirements without a source")
and the traceability line pulled to the top, each cited passage's quote beside the text it supports (a
link to the passage in its source), and each written format offered for download.

Document text is model text: the Markdown is rendered with raw HTML off, links only to http(s) and
mailto, and images shown as their text (nothing is fetched from elsewhere).
"""

from __future__ import annotations

import os
import stat
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from markupsafe import Markup

from brevanta.pipeline.documents import file_name
from brevanta.pipeline.figures import FIGURES_HEADING
from brevanta.pipeline.formats import html_body
from brevanta.pipeline.inputs import DOCUMENT_KINDS, FORMATS
from brevanta.pipeline.sections import KNOWN_GAPS_HEADING, section_span
from brevanta.pipeline.traceability import REQUIREMENTS_HEADING, STATEMENTS_HEADING, summary

KINDS = DOCUMENT_KINDS
MEDIA_TYPES = {"md": "text/markdown; charset=utf-8", "html": "text/html; charset=utf-8",
               "docx": "application/vnd.openxmlformats-officedocument.wordprocessingml.document"}
GLANCE_HEADINGS = (KNOWN_GAPS_HEADING, FIGURES_HEADING, REQUIREMENTS_HEADING, STATEMENTS_HEADING)


def markdown_html(text: str, passage_links: dict[int, str] | None = None) -> Markup:
    """HTML of Markdown from the model, as the HTML documents are made: raw HTML shown as text, links
    only to http(s) and mailto, no images; with `passage_links`, each footnote's quote beside its text."""
    return Markup(html_body(text, passage_links))


def traceability_line(state: dict[str, Any], kind: str) -> str | None:
    """The run's closing line for a written document, as the session keeps its counts."""
    replies = state.get("replies")
    reply = replies.get(kind) if isinstance(replies, dict) else None
    counts = reply.get("traceability") if isinstance(reply, dict) else None
    return summary(kind.upper(), counts) if isinstance(counts, dict) else None


def regular_file(path: Path) -> bool:
    """True for a regular file itself, not a link to one: nothing outside the folder is served."""
    try:
        return stat.S_ISREG(os.lstat(path).st_mode)
    except OSError:
        return False


@dataclass(frozen=True)
class WrittenDocument:
    kind: str
    name: str  # the Markdown file's name
    formats: list[str]  # file names of every written format, Markdown first


def written_documents(output_dir: str | None) -> list[WrittenDocument]:
    if not output_dir:
        return []
    folder = Path(output_dir)
    found = []
    for kind in KINDS:
        formats = [file_name(kind, ext) for ext in FORMATS if regular_file(folder / file_name(kind, ext))]
        if file_name(kind, "md") in formats:
            found.append(WrittenDocument(kind, file_name(kind, "md"), formats))
    return found


def download_path(output_dir: str | None, name: str) -> Path | None:
    """The written document `name` (PRD.md, TRD.docx, ...) in the output folder, or None."""
    allowed = {file_name(kind, ext) for kind in KINDS for ext in FORMATS}
    if not output_dir or name not in allowed:
        return None
    path = Path(output_dir) / name
    return path if regular_file(path) else None


def media_type(name: str) -> str:
    return MEDIA_TYPES[name.rsplit(".", 1)[1]]


@dataclass(frozen=True)
class GlanceSection:
    title: str
    html: Markup


def glance_sections(text: str) -> list[GlanceSection]:
    """The sections a reviewer checks first, found as the document checks find them, each rendered on its own."""
    found = []
    for name in GLANCE_HEADINGS:
        span = section_span(text, name)
        if span is not None:
            found.append(GlanceSection(name, markdown_html(text[span[0]:span[1]])))
    return found


def read_document(path: Path) -> str | None:
    if not regular_file(path):
        return None
    try:
        return path.read_text(encoding="utf-8", errors="replace")
    except OSError:
        return None
