"""One document from the model's reply to the text that is written: the reply checked for its
sections, cleaned, completed with the known gaps, its figures checked against the sources, its
requirements and the interview's statements traced to the verified citations, framed by the header and
the appendix, and ended by its numbered sources."""

from __future__ import annotations

from collections.abc import Sequence
from dataclasses import dataclass, field
from typing import Any

from brevanta.pipeline import figures, footnotes, known_gaps, provenance, sections, traceability
from brevanta.pipeline.citations import Checked, Citation
from brevanta.pipeline.cleaning import clean_text
from brevanta.pipeline.footnotes import Footnote
from brevanta.pipeline.sources import Source

# The sections the checks write into every document: one of the same title in the reply is the
# model's own and is dropped, never trusted or kept beside the check's. "Sources" only word for word:
# a model's "Sources of leads" is its own.
CHECK_SECTIONS: tuple[str, ...] = (figures.FIGURES_HEADING, *traceability.HEADINGS)
EXACT_CHECK_SECTIONS = (footnotes.SOURCES_HEADING,)


class DocumentRefused(Exception):
    """The reply is not the document asked for: a refusal, or most of its sections missing."""

    def __init__(self, missing: list[str], required: int) -> None:
        self.missing = missing
        self.required = required
        super().__init__(self.what_is_missing())

    @property
    def refusal(self) -> bool:
        return len(self.missing) == self.required

    def what_is_missing(self) -> str:
        if self.refusal:
            return f"the reply has none of its {self.required} sections (a refusal?)"
        return (f"the reply lacks {len(self.missing)} of its {self.required} sections: "
                f"{', '.join(self.missing)}")


@dataclass(frozen=True)
class Material:
    """What every document of a run is checked against and framed with."""

    sources: figures.Sources  # the values in the interview, the answers and the attachments
    bypassed: list[dict[str, Any]]
    origin: provenance.Provenance
    follow_up: provenance.FollowUp
    sent: tuple[Source, ...] = ()  # the documents the request sent, the interview first, as the service cites them
    other: tuple[Citation, ...] = ()  # the other document's verified citations of the interview, where known


@dataclass
class Assembled:
    """The document to write, and what was done to the model's text on the way."""

    text: str
    missing_sections: list[str] = field(default_factory=list)  # added with a "not written" note
    gaps_added: list[str] = field(default_factory=list)
    characters_removed: int = 0
    unsourced: list[figures.Unsourced] = field(default_factory=list)
    footnotes: list[Footnote] = field(default_factory=list)
    trace: traceability.Trace | None = None  # None when no documents were sent (a text alone)


def material(texts: list[str], bypassed: list[dict[str, Any]], origin: provenance.Provenance,
             follow_up: provenance.FollowUp, sent: Sequence[Source] = (), other: Sequence[Citation] = ()) -> Material:
    return Material(figures.source_values(texts), bypassed, origin, follow_up, tuple(sent), tuple(other))


def _with_checks(text: str, blocks: list[str], gaps_heading: str) -> str:
    """`text` with the sections the checks wrote right after the known gaps; they quote the document and
    the interview, never its footnotes."""
    block = "\n".join(footnotes.without_references(section) for section in blocks)
    span = sections.section_span(text, gaps_heading)
    if span is None or span[1] >= len(text):
        return f"{text.rstrip()}\n\n{block}"
    return f"{text[:span[1]].rstrip()}\n\n{block}\n{text[span[1]:]}"


def assemble(kind: str, reply: str, wanted: sections.DocumentSections, given: Material,
             checked: Checked = Checked(), passages: Sequence[Citation] = ()) -> Assembled:
    """The document to write from the model's text; DocumentRefused when the reply is no such document.
    `reply` carries the provisional footnote references of `passages`, the verified citations of `checked`."""
    text, removed = clean_text(reply)
    text = sections.without_sections(text, CHECK_SECTIONS, EXACT_CHECK_SECTIONS)
    missing = sections.missing_sections(text, wanted)
    if sections.is_mostly_missing(missing, wanted):
        raise DocumentRefused(missing, len(wanted.required))
    text = sections.with_missing_sections(text, missing, wanted)
    gaps_heading = wanted.known_gaps()
    text, added = known_gaps.with_known_gaps(kind, text, given.bypassed, gaps_heading)
    plain, cited = footnotes.cited_sentences(text, passages)  # a figure in a cited sentence: its words first
    unsourced = figures.unsourced_figures(plain, given.sources, cited)
    checks = [figures.figures_section(unsourced)]
    found = None
    if given.sent:
        found = traceability.trace(text, given.bypassed, given.sent[0], checked, given.other, len(unsourced))
        checks += [traceability.requirements_section(found), traceability.statements_section(found, given.sent[0])]
    text = _with_checks(text, checks, gaps_heading)
    text = provenance.with_header(text, given.origin)
    text = provenance.with_appendix(text, given.follow_up)
    text, numbered = footnotes.numbered(text, passages, given.sent)
    if given.sent:
        text = f"{text.rstrip()}\n\n{footnotes.sources_section(numbered, checked.received)}"
    text, framing_removed = clean_text(text)  # the gaps, the header, the appendix and the sources
    clean_titles = [clean_text(title)[0] for title in added]  # shown on a terminal too
    return Assembled(text, missing, clean_titles, removed + framing_removed, unsourced, numbered, found)
