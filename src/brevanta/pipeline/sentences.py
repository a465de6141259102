"""The sentence of a Markdown document around a point, for quoting it beside what a check found there:
a paragraph's or a list item's sentence, a heading, or one row of a table (never the whole table)."""

from __future__ import annotations

import re

_SENTENCE_END = re.compile(r"(?<=[.!?])[\"')\]]*\s+(?=[\"'(\[*_]*[A-Z0-9₹$€£])")
_LIST_MARKER = re.compile(r"^[ \t]*(?:[-*+]|\d+[.)])[ \t]+|^#{1,6}[ \t]+")
_BLOCK_START = re.compile(r"[ \t]*(?:(?:[-*+]|\d+[.)])[ \t]|[#|])")  # a line that begins a block of its own
_OWN_LINE = re.compile(r"[ \t]*[#|]")  # a heading or a table row is quoted as its line


def _line(text: str, offset: int) -> tuple[int, int]:
    start = text.rfind("\n", 0, offset) + 1
    end = text.find("\n", offset)
    return start, len(text) if end < 0 else end


def _block(text: str, offset: int) -> tuple[int, int]:
    """The paragraph or list item around `offset`: its lines up to a blank line or a line that begins a
    block (a list item, a heading, a table row). Only the block's own lines are read."""
    start, end = _line(text, offset)
    while start > 0 and not _BLOCK_START.match(text, start):
        above, _ = _line(text, start - 1)
        if not text[above:start - 1].strip():
            break
        start = above
    while end < len(text):
        below_start, below_end = _line(text, end + 1)
        if not text[below_start:below_end].strip() or _BLOCK_START.match(text, below_start):
            break
        end = below_end
    return start, end


def sentence_span(text: str, offset: int) -> tuple[int, int]:
    """Where the sentence around `offset` begins and ends: within its paragraph or list item, or the
    whole line of a heading or a table row."""
    line_start, line_end = _line(text, offset)
    if _OWN_LINE.match(text, line_start):
        return line_start, line_end
    start, end = _block(text, offset)
    block = text[start:end]
    inside = offset - start
    ends = [(match.start(), match.end()) for match in _SENTENCE_END.finditer(block)]
    begin = max((after for before, after in ends if after <= inside), default=0)
    finish = next((before for before, after in ends if before >= inside), len(block))
    return start + begin, start + finish


def sentence_at(text: str, offset: int) -> str:
    """The sentence around `offset` as one line, without list markers or emphasis; a table row as its
    cells, joined by " | "."""
    start, end = sentence_span(text, offset)
    sentence = text[start:end].strip()
    if sentence.startswith("|"):
        sentence = " | ".join(cell.strip() for cell in sentence.strip("|").split("|"))
    sentence = _LIST_MARKER.sub("", sentence)
    return " ".join(sentence.replace("**", "").split())
