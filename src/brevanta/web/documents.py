"""The documents a session wrote into its output folder: rendered for reading, with the sections a
reviewer checks first ("Known gaps and assumptions", "Figures to verify") pulled to the top, and
each written format offered for download.

Document text is model text: the Markdown is rendered with raw HTML off, links only to http(s) and
mailto, and images shown as their text (nothing is fetched from elsewhere).
"""

from __future__ import annotations

import os
import re
import stat
from dataclasses import dataclass
from pathlib import Path

from markdown_it import MarkdownIt
from markupsafe import Markup

KINDS = ("prd", "trd")
FORMATS = {"md": "text/markdown; charset=utf-8", "html": "text/html; charset=utf-8",
           "docx": "application/vnd.openxmlformats-officedocument.wordprocessingml.document"}
GLANCE_HEADINGS = ("Known gaps and assumptions", "Figures to verify")
_SAFE_LINK = re.compile(r"(?:https?:|mailto:)", re.IGNORECASE)


def _markdown() -> MarkdownIt:
    renderer = MarkdownIt("commonmark", {"html": False}).enable("table").disable("image")
    renderer.validateLink = lambda url: bool(_SAFE_LINK.match(url.strip()))  # type: ignore[method-assign]
    return renderer


_RENDERER = _markdown()


def markdown_html(text: str) -> Markup:
    """HTML of Markdown from the model: every character of the text escaped, raw HTML shown as text."""
    return Markup(_RENDERER.render(text))


def file_name(kind: str, extension: str) -> str:
    return f"{kind.upper()}.{extension}"


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
    return FORMATS[name.rsplit(".", 1)[1]]


def _plain(heading: str) -> str:
    return " ".join(heading.lower().replace("&", " and ").split())


@dataclass(frozen=True)
class GlanceSection:
    title: str
    html: Markup


def glance_sections(text: str) -> list[GlanceSection]:
    """The sections a reviewer checks first, each rendered on its own: from its heading to the next
    heading of the same or a higher level."""
    lines = text.splitlines(keepends=True)
    tokens = _RENDERER.parse(text)
    headings = [(int(token.tag[1:]), token.map[0], tokens[index + 1].content)
                for index, token in enumerate(tokens) if token.type == "heading_open" and token.map]
    found = []
    for wanted in GLANCE_HEADINGS:
        for position, (level, start, title) in enumerate(headings):
            if _plain(wanted) in _plain(title):
                end = next((line for other, line, _ in headings[position + 1:] if other <= level), len(lines))
                body = "".join(lines[start + 1:end])
                found.append(GlanceSection(wanted, markdown_html(body)))
                break
    return found


def read_document(path: Path) -> str | None:
    if not regular_file(path):
        return None
    try:
        return path.read_text(encoding="utf-8", errors="replace")
    except OSError:
        return None
