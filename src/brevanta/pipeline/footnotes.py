"""The verified citations of a reply as footnotes: a reference `[^s1]` right after the text a citation
supports, and at the end of the document a "Sources" section defining each one,
`[^s1]: “the cited words” — interview, line 42`.

The references go into the reply before it is checked and completed, as provisional marks of private-use
characters that no check reads as text; once the document is whole they become `[^sN]`, numbered in the
order they appear (a mark in a section the checks replaced is gone by then), so every format shows the
same numbers: markdown-it's footnotes count the same way. Footnote syntax that anyone else wrote (the
model, a gap's title, an answer) is made plain text then: only the verified citations become footnotes.
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any

from brevanta.pipeline.citations import Citation, from_state
from brevanta.pipeline.sentences import sentence_span
from brevanta.pipeline.sources import Source, state_sources

SOURCES_HEADING = "Sources"
SOURCES_NOTE = "Each footnote quotes the words the model cited for the text it follows, and where they stand."
NO_CITATIONS = "None: the model's reply carried no citations."
NONE_VERIFIED = "None: no citation of the model's reply could be verified."

# A provisional reference: the passage's number between two private-use characters.
_OPEN, _CLOSE = "\ue000", "\ue001"
REFERENCE = re.compile(f"{_OPEN}(\\d+){_CLOSE}")
_FENCE = re.compile(r"^[ ]{0,3}(`{3,}|~{3,})", re.MULTILINE)
_MARKDOWN_SPECIAL = re.compile(r"([\\`*_\[\]<>])")
_QUOTE_LIMIT = 400


@dataclass(frozen=True)
class Footnote:
    """One numbered source of a document: the passage its references cite."""

    label: str  # "s1"
    citation: Citation
    quote: str  # the cited words on one line, as the definition shows them (Markdown-escaped)
    where: str  # "interview, line 42"

    def definition(self) -> str:
        return f"[^{self.label}]: \u201c{self.quote}\u201d \u2014 {self.where}"


def _fenced(text: str) -> list[tuple[int, int]]:
    """The spans of the fenced code blocks of `text`, each from its opening line to the end of its closing line."""
    spans, opened, fence = [], 0, ""
    for match in _FENCE.finditer(text):
        marker = match.group(1)
        if not fence:
            opened, fence = match.start(), marker
        elif marker[0] == fence[0] and len(marker) >= len(fence):
            line_end = text.find("\n", match.end())
            spans.append((opened, len(text) if line_end < 0 else line_end))
            fence = ""
    if fence:
        spans.append((opened, len(text)))
    return spans


def _insertion_point(reply: str, citation: Citation, fenced: list[tuple[int, int]]) -> int:
    """Right after the supported text, before the white space it ends with (and before the pipe that
    closes a table row, so the reference stays in its cell); after the code block it is in."""
    at = citation.reply_end
    while at > citation.reply_start and reply[at - 1].isspace():
        at -= 1
    line_end = reply.find("\n", at)
    rest_of_line = reply[at:len(reply) if line_end < 0 else line_end]
    if at > citation.reply_start and reply[at - 1] == "|" and not rest_of_line.strip():
        at -= 1
        while at > citation.reply_start and reply[at - 1] in " \t":
            at -= 1
    for start, end in fenced:
        if start < at <= end:
            return end
    return at


def marked(reply: str, citations: Sequence[Citation]) -> tuple[str, list[Citation]]:
    """`reply` with a provisional reference after each supported text, and the passages they cite: the
    reference numbered K cites passages[K - 1]. The same passage cited twice is one footnote."""
    fenced = _fenced(reply)
    numbers: dict[tuple[int, int, int], int] = {}
    passages: list[Citation] = []
    at: dict[int, list[int]] = {}
    for citation in sorted(citations, key=lambda cited: (cited.reply_end, cited.reply_start)):
        if citation.passage not in numbers:
            numbers[citation.passage] = len(passages) + 1
            passages.append(citation)
        references = at.setdefault(_insertion_point(reply, citation, fenced), [])
        if numbers[citation.passage] not in references:
            references.append(numbers[citation.passage])
    pieces, previous = [], 0
    for position in sorted(at):
        pieces.append(_unmarked(reply[previous:position]))
        pieces.append("".join(f"{_OPEN}{number}{_CLOSE}" for number in at[position]))
        previous = position
    pieces.append(_unmarked(reply[previous:]))
    return "".join(pieces), passages


def _unmarked(text: str) -> str:
    return text.replace(_OPEN, "").replace(_CLOSE, "")


def quote(words: str) -> str:
    """The cited words on one line, shortened when long, safe inside a Markdown footnote."""
    words = " ".join(words.split())
    if len(words) > _QUOTE_LIMIT:
        words = words[:_QUOTE_LIMIT - 1].rstrip() + "\u2026"
    return _MARKDOWN_SPECIAL.sub(r"\\\1", words)


def without_references(text: str) -> str:
    return REFERENCE.sub("", text)


def cited_sentences(text: str, passages: Sequence[Citation]) -> tuple[str, dict[tuple[int, int], list[str]]]:
    """`text` without its provisional references, and the words cited for each of its sentences that one
    ends (by the sentence's span in the text returned): the figure check looks there first."""
    pieces, at, removed, last = [], [], 0, 0
    for reference in REFERENCE.finditer(text):
        pieces.append(text[last:reference.start()])
        number = int(reference.group(1))
        if 1 <= number <= len(passages):
            at.append((reference.start() - removed, passages[number - 1].cited_text))
        removed += reference.end() - reference.start()
        last = reference.end()
    plain = "".join(pieces) + text[last:]
    cited: dict[tuple[int, int], list[str]] = {}
    for position, words in at:
        cited.setdefault(sentence_span(plain, max(position - 1, 0)), []).append(words)
    return plain, cited


def numbered(text: str, passages: Sequence[Citation], sources: Sequence[Source]) -> tuple[str, list[Footnote]]:
    """`text` with its provisional references numbered in the order they appear, as `[^sN]`, and the
    footnotes they cite, in order; any other footnote syntax in `text` is escaped. A reference to no
    passage is removed."""
    numbers: dict[int, int] = {}
    footnotes: list[Footnote] = []

    def renumber(reference: re.Match[str]) -> str:
        provisional = int(reference.group(1))
        if not 1 <= provisional <= len(passages):
            return ""
        if provisional not in numbers:
            numbers[provisional] = len(numbers) + 1
            citation = passages[provisional - 1]
            # A file's name or a gap's title may hold line breaks or Markdown: one line of plain text.
            footnotes.append(Footnote(f"s{numbers[provisional]}", citation, quote(citation.cited_text),
                                      quote(sources[citation.source].where(citation.start))))
        return f"[^s{numbers[provisional]}]"

    return REFERENCE.sub(renumber, text.replace("[^", "[\\^")), footnotes


def sources_section(footnotes: Sequence[Footnote], received: int) -> str:
    """The "Sources" section that ends the document: every footnote's definition, in order."""
    if not footnotes:
        return f"## {SOURCES_HEADING}\n\n{NONE_VERIFIED if received else NO_CITATIONS}\n"
    definitions = "\n".join(footnote.definition() for footnote in footnotes)
    return f"## {SOURCES_HEADING}\n\n{SOURCES_NOTE}\n\n{definitions}\n"



@dataclass(frozen=True)
class Passage:
    """The passage one footnote of a written document cites, in the text that was sent."""

    label: str
    source: Source
    citation: Citation

    @property
    def where(self) -> str:
        return self.source.where(self.citation.start)

    def parts(self) -> tuple[str, str, str]:
        """The source's text before the passage, the passage, and the text after it."""
        text, start, end = self.source.text, self.citation.start, self.citation.end
        return text[:start], text[start:end], text[end:]


def cited_passages(state: dict[str, Any], kind: str) -> dict[str, Passage]:
    """The passages the footnotes of a session's document cite, by footnote label, from what the session
    keeps (each citation checked again against the documents rebuilt from it)."""
    replies = state.get("replies")
    reply = replies.get(kind) if isinstance(replies, dict) else None
    if not isinstance(reply, dict) or not isinstance(reply.get("citations"), list):
        return {}
    sources = state_sources(state)
    found = {}
    for entry in reply["citations"]:
        label = entry.get("footnote") if isinstance(entry, dict) else None
        if isinstance(label, str) and label not in found:
            checked = from_state([entry], sources, str(reply.get("text", "")))
            if checked.citations:
                found[label] = Passage(label, sources[checked.citations[0].source], checked.citations[0])
    return found
