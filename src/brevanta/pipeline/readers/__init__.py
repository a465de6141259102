"""Material in: an interview or an attached document, whatever its kind, as the text the model sees and
where each region of it came from.

`read_source(data, name)` picks the reader by what the bytes are (a PDF's header, a zip archive, a
WebVTT header, SRT's numbered cues), the name's extension only breaking ties and wording refusals. Each
library is imported when its kind is first read, so the command starts no slower for them.
"""

from __future__ import annotations

from brevanta.pipeline.readers.source import (
    KINDS,
    MAX_SOURCE_BYTES,
    MAX_TEXT_CHARS,
    Mark,
    SourceProblem,
    SourceText,
    describe,
)

__all__ = ["KINDS", "MAX_SOURCE_BYTES", "MAX_TEXT_CHARS", "Mark", "SourceProblem", "SourceText", "describe",
           "read_source"]

PDF_MAGIC = b"%PDF-"
ZIP_MAGIC = b"PK\x03\x04"
OLE_MAGIC = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1"  # the compound file of older Office files and encrypted new ones
RTF_MAGIC = b"{\\rtf"


def _suffix(name: str) -> str:
    dot = name.rfind(".")
    return name[dot:].lower() if dot > 0 else ""


def _refuse_compound_file(data: bytes, name: str) -> SourceProblem:
    # A password-protected .docx (or .xlsx) is a compound file holding the encrypted package.
    if "EncryptedPackage".encode("utf-16-le") in data:
        return SourceProblem(name, "is a password-protected (encrypted) Office file, so its text cannot be read")
    return SourceProblem(name, "is an older Word or Office file (.doc); only .docx can be read, so save it as .docx")


def _not_text(data: bytes, name: str) -> SourceProblem:
    """What to say of bytes no reader took: by the kind the name promises, else that they are not text."""
    suffix = _suffix(name)
    if suffix == ".pdf":
        return SourceProblem(name, "is damaged or not a PDF: it does not begin with a PDF header")
    if suffix in (".docx", ".docm", ".dotx"):
        return SourceProblem(name, "is damaged or not a Word document: it is not a zip archive")
    from brevanta.pipeline.readers.text import NOT_TEXT

    return SourceProblem(name, NOT_TEXT)


def read_source(data: bytes, name: str) -> SourceText:
    """The text and marks of a document of any kind read here; SourceProblem saying why it cannot be read."""
    if len(data) > MAX_SOURCE_BYTES:
        raise SourceProblem(name, f"is too large to read: larger than {MAX_SOURCE_BYTES // 1048576} MB")
    if PDF_MAGIC in data[:1024]:  # readers accept a header after a little leading junk
        from brevanta.pipeline.readers.pdf import read_pdf

        return read_pdf(data, name)
    if data.startswith(ZIP_MAGIC):
        from brevanta.pipeline.readers.word import read_word

        return read_word(data, name)
    if data.startswith(OLE_MAGIC):
        raise _refuse_compound_file(data, name)
    if data.startswith(RTF_MAGIC):
        raise SourceProblem(name, "is a Rich Text (.rtf) file, which is not read; save it as .docx or plain text")
    from brevanta.pipeline.readers import text as plain
    from brevanta.pipeline.readers import transcript

    try:
        decoded = plain.decode(data, name)
    except SourceProblem:
        raise _not_text(data, name) from None
    if transcript.looks_like_webvtt(decoded):
        return transcript.read_transcript(data, name, decoded, "vtt")
    if transcript.looks_like_srt(decoded):
        return transcript.read_transcript(data, name, decoded, "srt")
    if _suffix(name) in (".vtt", ".srt"):
        raise SourceProblem(name, "is not a WebVTT or SRT transcript: it has no WEBVTT header or numbered cues")
    return plain.read_text(data, name, decoded)
