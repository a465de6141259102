"""PDF: each page's text in reading order (pypdf), marked "page N".

pypdf follows the order in which the page draws its text, which for the writers measured (fpdf2,
LibreOffice, Chromium) is the reading order, two-column pages included; it also bounds every stream's
decompression. A file without a text layer (a scan) is refused, as are encrypted and damaged files.
"""

from __future__ import annotations

import io
import logging
import re
from typing import TYPE_CHECKING

from brevanta.pipeline.readers.source import Mark, SourceProblem, SourceText, TextBuilder, brief

if TYPE_CHECKING:
    from pypdf import PdfReader

NO_TEXT_LAYER = "has no text layer (a scanned document?); scanned pages are not read, as there is no OCR"

# Word and LibreOffice draw list bullets from the Symbol and Wingdings fonts' private-use code points.
_BULLETS = str.maketrans({code: "•" for code in (0xF0B7, 0xF0A7, 0xF0D8, 0xF076, 0xF0FC, 0xF06E, 0xF0A8)})
_CONTROLS = re.compile(r"[\x00-\x08\x0b-\x1f\x7f]")
_TRAILING_SPACE = re.compile(r"[ \t]+$", re.MULTILINE)


# pypdf reports what it repairs in a damaged file through its logger: a reader says one thing or nothing.
logging.getLogger("pypdf").setLevel(logging.CRITICAL + 1)


def _page_text(raw: str) -> str:
    return _TRAILING_SPACE.sub("", _CONTROLS.sub("", raw.translate(_BULLETS))).strip("\n")


def _opened(data: bytes, name: str) -> PdfReader:
    from pypdf import PasswordType, PdfReader

    reader = PdfReader(io.BytesIO(data), strict=False)
    if reader.is_encrypted:
        try:
            opened = reader.decrypt("")  # protected only against changes: readable without a password
        except Exception:  # noqa: BLE001 - a cipher pypdf cannot undo without an optional package
            opened = PasswordType.NOT_DECRYPTED
        if opened == PasswordType.NOT_DECRYPTED:
            raise SourceProblem(name, "is password-protected (encrypted), so its text cannot be read")
    return reader


def read_pdf(data: bytes, name: str) -> SourceText:
    pages = TextBuilder(name)
    try:
        reader = _opened(data, name)
        for number, page in enumerate(reader.pages, 1):
            text = _page_text(page.extract_text())
            if text.strip():  # an empty page leaves no mark: its region would hold nothing
                pages.add(text, lambda start: Mark.for_page(start, number))
    except SourceProblem:
        raise
    except RecursionError:
        raise SourceProblem(name, "is damaged: its objects nest too deeply to be read") from None
    except Exception as exc:  # noqa: BLE001 - a damaged file can fail anywhere inside the library
        raise SourceProblem(name, f"is damaged and cannot be read as a PDF ({brief(exc)})") from None
    if not pages:
        raise SourceProblem(name, NO_TEXT_LAYER)
    return pages.source("pdf", len(data))

