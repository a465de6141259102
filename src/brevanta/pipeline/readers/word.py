"""Word (.docx), read with python-docx: the body's paragraphs and tables in reading order.

Headings become Markdown headings, list items "- " or "1. " lines, and each table row a line
"a | b | c", so the model sees the document's structure. Each non-empty paragraph is marked
"paragraph N" (headings and list items count) and each table row "table N, row M".

A .docx is a zip archive whose parts python-docx loads whole: before it does, the archive's declared
sizes are checked, and every part is then inflated in bounded chunks (which also finds a damaged one),
so a small file that would expand to gigabytes (a zip bomb) is refused having cost little.
"""

from __future__ import annotations

import io
import zipfile
import zlib
from typing import TYPE_CHECKING, Any

from brevanta.pipeline.readers.source import Mark, SourceProblem, SourceText, TextBuilder, brief

if TYPE_CHECKING:
    from docx.document import Document
    from docx.text.paragraph import Paragraph

MAX_UNPACKED_BYTES = 256 * 1024 * 1024  # every part together, inflated
MAX_XML_PART_BYTES = 48 * 1024 * 1024  # one XML part, which lxml holds as a tree many times its size
MAX_PARTS = 10_000
_CHUNK = 1024 * 1024

DOCUMENT_PART = "word/document.xml"


def _zip_bomb(name: str) -> SourceProblem:
    return SourceProblem(name, f"expands past {MAX_UNPACKED_BYTES // (1024 * 1024)} MB when unpacked "
                               "(a zip bomb?), so it is not read")


def _damaged(name: str, why: str) -> SourceProblem:
    return SourceProblem(name, f"is damaged and cannot be read as a Word document ({why})")


def check_archive(data: bytes, name: str) -> None:
    """Refuses a damaged archive, one that is not a Word document, or one that unpacks too large."""
    try:
        archive = zipfile.ZipFile(io.BytesIO(data))
    except (zipfile.BadZipFile, ValueError) as exc:
        raise _damaged(name, str(exc) or "not a zip archive") from None
    with archive:
        members = archive.infolist()
        if DOCUMENT_PART not in archive.namelist():
            raise SourceProblem(name, "is a zip archive but not a Word document (.docx)")
        declared = sum(member.file_size for member in members)
        too_large_part = any(member.file_size > MAX_XML_PART_BYTES and member.filename.endswith((".xml", ".rels"))
                             for member in members)
        if len(members) > MAX_PARTS or declared > MAX_UNPACKED_BYTES or too_large_part:
            raise _zip_bomb(name)
        _inflate_each(archive, members, name)


def _inflate_each(archive: zipfile.ZipFile, members: list[zipfile.ZipInfo], name: str) -> None:
    """Every part inflated and thrown away, a chunk at a time, counted against the limit as it goes
    (zipfile also stops each part at its declared size and checks its CRC)."""
    inflated = 0
    try:
        for member in members:
            with archive.open(member) as part:
                while chunk := part.read(_CHUNK):
                    inflated += len(chunk)
                    if inflated > MAX_UNPACKED_BYTES:
                        raise _zip_bomb(name)
    except (zipfile.BadZipFile, zlib.error, EOFError, NotImplementedError, RuntimeError, ValueError) as exc:
        raise _damaged(name, brief(exc)) from None


class _Lists:
    """Which list a paragraph belongs to, if any, and its marker: "- " or the next number."""

    def __init__(self, document: Document) -> None:
        self._numbering: Any = None
        try:
            self._numbering = document.part.numbering_part.element
        except (KeyError, NotImplementedError, AttributeError):
            pass
        self._formats: dict[tuple[str, str], str] = {}
        self._counters: dict[tuple[str, int], int] = {}

    def marker(self, paragraph: Paragraph) -> str | None:
        found = _numbering_of(paragraph)
        if found is None:
            return None
        num_id, level = found
        indent = "  " * level
        if self._format(num_id, level) == "bullet":
            return indent + "- "
        for deeper in [key for key in self._counters if key[0] == num_id and key[1] > level]:
            del self._counters[deeper]  # a new item restarts the levels below it
        count = self._counters.get((num_id, level), 0) + 1
        self._counters[(num_id, level)] = count
        return f"{indent}{count}. "

    def _format(self, num_id: str, level: int) -> str:
        key = (num_id, str(level))
        if key not in self._formats:
            formats: list[str] = []
            if self._numbering is not None:
                abstract = self._numbering.xpath(f'./w:num[@w:numId="{num_id}"]/w:abstractNumId/@w:val')
                if abstract:
                    formats = self._numbering.xpath(
                        f'./w:abstractNum[@w:abstractNumId="{abstract[0]}"]/w:lvl[@w:ilvl="{level}"]/w:numFmt/@w:val')
            self._formats[key] = str(formats[0]) if formats else "bullet"
        return self._formats[key]


def _numbering_of(paragraph: Paragraph) -> tuple[str, int] | None:
    """The paragraph's list (its own numbering, else its style's, else its base style's) and level."""
    holders: list[Any] = [paragraph._p]
    style: Any = paragraph.style
    while style is not None and len(holders) < 6:
        holders.append(style.element)
        style = style.base_style
    for holder in holders:
        num_id = holder.xpath("./w:pPr/w:numPr/w:numId/@w:val")
        if num_id:
            if num_id[0] == "0":  # numbering switched off
                return None
            level = paragraph._p.xpath("./w:pPr/w:numPr/w:ilvl/@w:val") or holder.xpath("./w:pPr/w:numPr/w:ilvl/@w:val")
            return str(num_id[0]), int(level[0]) if level and str(level[0]).isdigit() else 0
    return None


def _heading_level(paragraph: Paragraph) -> int:
    name = (paragraph.style.name if paragraph.style is not None else "") or ""
    if name == "Title":
        return 1
    if name.startswith("Heading ") and name[8:].isdigit():
        return min(int(name[8:]), 6)
    return 0


def _flat(text: str) -> str:
    return " ".join(text.split())


def _body_text(document: Document, name: str) -> TextBuilder:
    """Blocks a blank line apart; a list's items, and a table's rows, one line apart."""
    from docx.text.paragraph import Paragraph

    writer, lists = TextBuilder(name), _Lists(document)
    paragraphs = tables = 0
    last = ""
    for block in document.iter_inner_content():
        if isinstance(block, Paragraph):
            text = _flat(block.text)
            if not text:
                continue
            paragraphs += 1
            level, marker = _heading_level(block), None
            if level:
                text = "#" * level + " " + text
            elif (marker := lists.marker(block)) is not None:
                text = marker + text
            label, kind = f"paragraph {paragraphs}", "item" if marker else "paragraph"
            writer.add(text, lambda start: Mark(start, label), "\n" if kind == last == "item" else "\n\n")
            last = kind
            continue
        tables += 1
        for row_number, row in enumerate(block.rows, 1):
            cells, seen = [], set()
            for cell in row.cells:
                if id(cell._tc) not in seen:  # a merged cell is listed once per column it spans
                    seen.add(id(cell._tc))
                    cells.append(_flat(cell.text))
            if any(cells):
                label = f"table {tables}, row {row_number}"
                writer.add(" | ".join(cells), lambda start: Mark(start, label), "\n" if last == "row" else "\n\n")
                last = "row"
        last = "table"  # two tables in a row are two blocks
    return writer


def read_word(data: bytes, name: str) -> SourceText:
    check_archive(data, name)
    import docx
    from docx.opc.exceptions import PackageNotFoundError

    try:
        document = docx.Document(io.BytesIO(data))
        writer = _body_text(document, name)
    except SourceProblem:
        raise
    except (PackageNotFoundError, ValueError, KeyError) as exc:
        raise SourceProblem(name, f"is not a Word document that can be read ({brief(exc)})") from None
    except Exception as exc:  # noqa: BLE001 - malformed XML or relationships fail deep inside the library
        raise _damaged(name, brief(exc)) from None
    if not writer:
        raise SourceProblem(name, "holds no text")
    return writer.source("word", len(data))

