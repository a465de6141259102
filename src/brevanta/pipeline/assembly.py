"""One document from the model's reply to the text that is written: the reply checked for its
sections, cleaned, completed with the known gaps, its figures checked against the sources, and framed
by the header and the appendix."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import Any

from brevanta.pipeline import figures, known_gaps, provenance, sections
from brevanta.pipeline.cleaning import clean_text

# The sections the checks write into every document: one of the same title in the reply is the
# model's own and is dropped, never trusted or kept beside the check's.
CHECK_SECTIONS: tuple[str, ...] = (figures.FIGURES_HEADING,)


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


@dataclass
class Assembled:
    """The document to write, and what was done to the model's text on the way."""

    text: str
    missing_sections: list[str] = field(default_factory=list)  # added with a "not written" note
    gaps_added: list[str] = field(default_factory=list)
    characters_removed: int = 0
    unsourced: list[figures.Unsourced] = field(default_factory=list)


def material(texts: list[str], bypassed: list[dict[str, Any]], origin: provenance.Provenance,
             follow_up: provenance.FollowUp) -> Material:
    return Material(figures.source_values(texts), bypassed, origin, follow_up)


def _with_figures(text: str, unsourced: list[figures.Unsourced], gaps_heading: str) -> str:
    """`text` with the "Figures to verify" section right after the known gaps."""
    block = figures.figures_section(unsourced)
    span = sections.section_span(text, gaps_heading)
    if span is None or span[1] >= len(text):
        return f"{text.rstrip()}\n\n{block}"
    return f"{text[:span[1]].rstrip()}\n\n{block}\n{text[span[1]:]}"


def assemble(kind: str, reply: str, wanted: sections.DocumentSections, given: Material) -> Assembled:
    """The document to write from the model's text; DocumentRefused when the reply is no such document."""
    text, removed = clean_text(reply)
    text = sections.without_sections(text, CHECK_SECTIONS)
    missing = sections.missing_sections(text, wanted)
    if sections.is_mostly_missing(missing, wanted):
        raise DocumentRefused(missing, len(wanted.required))
    text = sections.with_missing_sections(text, missing, wanted)
    gaps_heading = wanted.known_gaps()
    text, added = known_gaps.with_known_gaps(kind, text, given.bypassed, gaps_heading)
    unsourced = figures.unsourced_figures(text, given.sources)
    text = _with_figures(text, unsourced, gaps_heading)
    text = provenance.with_header(text, given.origin)
    text = provenance.with_appendix(text, given.follow_up)
    text, framing_removed = clean_text(text)  # the gaps, the header and the appendix
    clean_titles = [clean_text(title)[0] for title in added]  # shown on a terminal too
    return Assembled(text, missing, clean_titles, removed + framing_removed, unsourced)
