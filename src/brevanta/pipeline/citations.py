"""The service's citations of a reply, checked before anything is built on them.

A citation counts only when it points at a passage of a document the request sent, by its place in the
request (`document_index`), with `cited_text` exactly that document's text between its character
indices. Any other (another kind of location, an unknown document, indices out of range, other words)
is dropped and counted. A kept citation also remembers which text of the reply it supports.
"""

from __future__ import annotations

from collections.abc import Iterator, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from brevanta.pipeline.models import ReplyBlock
    from brevanta.pipeline.sources import Source


@dataclass(frozen=True)
class Citation:
    """A verified citation: the passage `start`:`end` of the request's document number `source`, and the
    text of the reply it supports, `reply_start`:`reply_end`."""

    source: int
    start: int
    end: int
    cited_text: str
    reply_start: int
    reply_end: int

    @property
    def passage(self) -> tuple[int, int, int]:
        return self.source, self.start, self.end

    def to_state(self, sources: Sequence[Source]) -> dict[str, Any]:
        """As the session keeps it, in the service's own names."""
        return {"document_index": self.source, "document_title": sources[self.source].title,
                "cited_text": self.cited_text, "start_char_index": self.start, "end_char_index": self.end,
                "reply_start": self.reply_start, "reply_end": self.reply_end}


@dataclass(frozen=True)
class Checked:
    """The citations of one reply: those kept, how many the reply carried, how many were dropped."""

    citations: tuple[Citation, ...] = ()
    received: int = 0
    dropped: int = 0

    def of_source(self, source: int) -> list[Citation]:
        return [citation for citation in self.citations if citation.source == source]


def _whole_number(value: object) -> bool:
    return isinstance(value, int) and not isinstance(value, bool)


def verified(raw: dict[str, Any], sources: Sequence[Source], reply_start: int, reply_end: int) -> Citation | None:
    """`raw` (a citation as the service sent it) as a Citation, or None when it does not hold."""
    index, start, end, words = (raw.get(name) for name in (
        "document_index", "start_char_index", "end_char_index", "cited_text"))
    if raw.get("type") != "char_location" or not all(_whole_number(value) for value in (index, start, end)):
        return None
    assert isinstance(index, int) and isinstance(start, int) and isinstance(end, int)
    if not 0 <= index < len(sources) or not isinstance(words, str):
        return None
    text = sources[index].text
    if not 0 <= start < end <= len(text) or text[start:end] != words:
        return None
    return Citation(index, start, end, words, reply_start, reply_end)


def cited_spans(blocks: Sequence[ReplyBlock]) -> Iterator[tuple[int, int, dict[str, Any]]]:
    """Each citation of the reply with the span of the reply's text that its block covers."""
    offset = 0
    for block in blocks:
        for raw in block.citations:
            yield offset, offset + len(block.text), raw
        offset += len(block.text)


def check(blocks: Sequence[ReplyBlock], sources: Sequence[Source]) -> Checked:
    """The reply's citations checked against the documents sent, in the order they were sent."""
    kept: dict[tuple[int, int, int, int, int], Citation] = {}
    received = dropped = 0
    for reply_start, reply_end, raw in cited_spans(blocks):
        received += 1
        citation = verified(raw if isinstance(raw, dict) else {}, sources, reply_start, reply_end)
        if citation is None:
            dropped += 1
        else:  # the same passage cited twice for the same text counts once
            kept.setdefault((*citation.passage, reply_start, reply_end), citation)
    return Checked(tuple(kept.values()), received, dropped)


def from_state(saved: object, sources: Sequence[Source], reply: str) -> Checked:
    """The citations a session kept with a reply, checked again against the documents as they are now
    and against the reply's text: a session edited by hand, or sources changed since, lose what no longer holds."""
    kept = []
    entries = [entry for entry in saved if isinstance(entry, dict)] if isinstance(saved, list) else []
    for entry in entries:
        reply_start, reply_end = entry.get("reply_start"), entry.get("reply_end")
        if _whole_number(reply_start) and _whole_number(reply_end):
            assert isinstance(reply_start, int) and isinstance(reply_end, int)
            if 0 <= reply_start <= reply_end <= len(reply):
                citation = verified({"type": "char_location", **entry}, sources, reply_start, reply_end)
                if citation is not None:
                    kept.append(citation)
    return Checked(tuple(kept), len(entries), len(entries) - len(kept))
