"""What every reader returns: the text the model sees, and where each region of it came from.

Text and Markdown need no marks: their location is the line, counted from the text itself. The other
kinds mark where each page, paragraph, table row or speaker's passage begins; a region runs to the next
mark. A session keeps both (`to_state`), so a resumed run names a passage's place without the file.
"""

from __future__ import annotations

import bisect
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

from brevanta.pipeline.records import is_count

KINDS = ("text", "markdown", "word", "pdf", "transcript")
KIND_NAMES = {"text": "text", "markdown": "Markdown", "word": "Word", "pdf": "PDF", "transcript": "transcript"}

# Bounds that hold memory and time down before the callers' token limit counts the extracted text.
MAX_SOURCE_BYTES = 64 * 1024 * 1024  # a file larger than this is not read at all
MAX_TEXT_CHARS = 8_000_000  # twice what the largest interview limit admits (1,000,000 tokens)


class SourceProblem(Exception):
    """A file that cannot be read: `str()` is one sentence naming the file and what is wrong."""

    def __init__(self, name: str, reason: str) -> None:
        super().__init__(f"{name} {reason}")
        self.name = name
        self.reason = reason  # the predicate alone, "is not UTF-8 text", for a sentence of the caller's own


def describe(kind: object, size: object) -> str:
    """A document's kind and size in a few words, "PDF, 1.2 MB", from what a session keeps of it."""
    shown_kind = KIND_NAMES.get(kind, "text") if isinstance(kind, str) else "text"
    if not is_count(size) or size == 0:
        return shown_kind
    if size < 1000:
        return f"{shown_kind}, {size} bytes"
    if size < 1_000_000:
        return f"{shown_kind}, {size / 1000:.0f} KB"
    return f"{shown_kind}, {size / 1_000_000:.1f} MB"


def too_large(name: str) -> SourceProblem:
    return SourceProblem(name, f"is too large: more than {MAX_TEXT_CHARS:,} characters of text")


def brief(exc: BaseException) -> str:
    """A library's error in a few words, for the end of a refusal."""
    return " ".join(str(exc).split())[:120] or type(exc).__name__


def line_of(text: str, offset: int) -> str:
    """Where `offset` lies in a plain text: its line."""
    return f"line {text.count(chr(10), 0, max(0, offset)) + 1}"


def clock(seconds: float) -> str:
    """A transcript time as people read it: 00:12:04."""
    whole = int(seconds)
    return f"{whole // 3600:02d}:{whole // 60 % 60:02d}:{whole % 60:02d}"


@dataclass(frozen=True)
class Mark:
    """Where a region of the text begins (`start`, a character offset) and where it came from."""

    start: int
    label: str  # "page 3", "paragraph 7", "table 2, row 3", "00:12:04, Dr Rao"
    page: int | None = None
    seconds: float | None = None  # a transcript passage's start
    speaker: str | None = None

    @classmethod
    def for_page(cls, start: int, page: int) -> Mark:
        return cls(start, f"page {page}", page=page)

    @classmethod
    def for_passage(cls, start: int, seconds: float, speaker: str | None) -> Mark:
        label = f"{clock(seconds)}, {speaker}" if speaker else clock(seconds)
        return cls(start, label, seconds=seconds, speaker=speaker)


@dataclass(frozen=True)
class SourceText:
    """A document as read: its name, kind, text, the marks of its regions and the original file's size."""

    name: str  # the file's base name, or "standard input", or what stands for a paste
    kind: str  # one of KINDS
    text: str  # exactly what the model sees
    marks: tuple[Mark, ...] = ()
    size: int = 0  # bytes of the original file
    _starts: tuple[int, ...] = field(init=False, repr=False, compare=False)

    def __post_init__(self) -> None:
        object.__setattr__(self, "_starts", tuple(mark.start for mark in self.marks))

    def location(self, offset: int) -> str:
        """Where the character at `offset` came from: "line 42", "page 3", "00:12:04, Dr Rao"."""
        offset = min(max(offset, 0), len(self.text))
        if not self.marks:
            return line_of(self.text, offset)
        index = bisect.bisect_right(self._starts, offset) - 1
        return self.marks[max(index, 0)].label

    def to_state(self, *, with_text: bool = True) -> dict[str, Any]:
        """A JSON-safe form; `with_text=False` for a session that keeps the text under a key of its own."""
        state: dict[str, Any] = {"name": self.name, "kind": self.kind, "size": self.size}
        if with_text:
            state["text"] = self.text
        if self.marks:
            state["marks"] = _encoded_marks(self.marks)
        return state

    @classmethod
    def from_state(cls, state: dict[str, Any], *, fallback_name: str = "interview") -> SourceText:
        """The source a session kept; whatever is missing or garbled falls back to plain text, unmarked."""
        if not isinstance(state, dict):
            state = {}
        text = state.get("text")
        text = text if isinstance(text, str) else ""
        name = state.get("name")
        kind = state.get("kind")
        size = state.get("size")
        return cls(
            name=name if isinstance(name, str) and name else fallback_name,
            kind=kind if kind in KINDS else "text",
            text=text,
            marks=_decoded_marks(state.get("marks"), len(text)),
            size=size if is_count(size) else 0,
        )


class TextBuilder:
    """The text as a reader writes it, region after region, each with its mark; refuses past MAX_TEXT_CHARS."""

    def __init__(self, name: str) -> None:
        self.name = name
        self._parts: list[str] = []
        self._marks: list[Mark] = []
        self._length = 0

    def __bool__(self) -> bool:
        return bool(self._parts)

    def add(self, text: str, mark: Callable[[int], Mark], separator: str = "\n\n") -> None:
        """`mark`: the region's mark, given where it begins; `separator`: what goes before it, if anything does."""
        if self._parts:
            self._parts.append(separator)
            self._length += len(separator)
        self._marks.append(mark(self._length))
        self._parts.append(text)
        self._length += len(text)
        if self._length > MAX_TEXT_CHARS:
            raise too_large(self.name)

    def source(self, kind: str, size: int) -> SourceText:
        return SourceText(name=self.name, kind=kind, text="".join(self._parts), marks=tuple(self._marks), size=size)


# Marks are kept as columns: a start, then what the label is made of. A page is [start, page], a passage
# [start, milliseconds, speaker index into "speakers"], anything else [start, label]. A two-hour call's
# few hundred passages stay a few kilobytes, each speaker's name written once.
def _encoded_marks(marks: tuple[Mark, ...]) -> dict[str, Any]:
    speakers: list[str] = []
    rows: list[list[Any]] = []
    for mark in marks:
        if mark.seconds is not None:
            if mark.speaker is not None and mark.speaker not in speakers:
                speakers.append(mark.speaker)
            speaker = speakers.index(mark.speaker) if mark.speaker is not None else -1
            rows.append([mark.start, round(mark.seconds * 1000), speaker])
        elif mark.page is not None:
            rows.append([mark.start, mark.page])
        else:
            rows.append([mark.start, mark.label])
    encoded: dict[str, Any] = {"rows": rows}
    if speakers:
        encoded["speakers"] = speakers
    return encoded


def _decoded_marks(encoded: object, length: int) -> tuple[Mark, ...]:
    if not isinstance(encoded, dict) or not isinstance(encoded.get("rows"), list):
        return ()
    speakers = encoded.get("speakers")
    speakers = [name if isinstance(name, str) else "" for name in speakers] if isinstance(speakers, list) else []
    marks: list[Mark] = []
    for row in encoded["rows"]:
        mark = _decoded_mark(row, speakers)
        # Out of order or past the text: a garbled row, skipped rather than trusted.
        if mark is not None and mark.start <= length and (not marks or mark.start >= marks[-1].start):
            marks.append(mark)
    return tuple(marks)


def _decoded_mark(row: object, speakers: list[str]) -> Mark | None:
    if not isinstance(row, list) or not row or not is_count(row[0]):
        return None
    start = row[0]
    if len(row) == 3 and is_count(row[1]) and isinstance(row[2], int):
        speaker = speakers[row[2]] if 0 <= row[2] < len(speakers) else None
        return Mark.for_passage(start, row[1] / 1000, speaker or None)
    if len(row) == 2 and is_count(row[1]):
        return Mark.for_page(start, row[1])
    if len(row) == 2 and isinstance(row[1], str):
        return Mark(start, row[1])
    return None
