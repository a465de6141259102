"""Plain text and Markdown: UTF-8 (with or without its byte-order mark) or UTF-16 with its mark.

The text is kept exactly as decoded, line ends included, so a session's hash of it is the one earlier
versions computed for the same file.
"""

from __future__ import annotations

import codecs

from brevanta.pipeline.readers.source import SourceProblem, SourceText

MARKDOWN_SUFFIXES = (".md", ".markdown", ".mdown", ".mkd")
NOT_TEXT = "is not UTF-8 text"


def decode(data: bytes, name: str) -> str:
    """The text of `data`; SourceProblem when it is neither UTF-8 nor UTF-16 with a byte-order mark."""
    try:
        if data.startswith((codecs.BOM_UTF16_LE, codecs.BOM_UTF16_BE)) and not data.startswith(codecs.BOM_UTF32_LE):
            return data.decode("utf-16")  # the mark says which byte order, and is dropped
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        raise SourceProblem(name, NOT_TEXT) from None


def kind_of(name: str) -> str:
    return "markdown" if name.lower().endswith(MARKDOWN_SUFFIXES) else "text"


def read_text(data: bytes, name: str, text: str | None = None) -> SourceText:
    """`text`: the decoded text when the caller has decoded it already (to tell a transcript apart)."""
    text = decode(data, name) if text is None else text
    if not text.strip():
        raise SourceProblem(name, "is empty")
    return SourceText(name=name, kind=kind_of(name), text=text, size=len(data))
