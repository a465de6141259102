"""What a document rests on, checked by the pipeline and written into the document by it, never by the
model: the numbered requirements that no verified citation supports and no assumption marks
("Requirements without a source"), and the interview's statements that no verified citation of either
document covers ("Said in the interview, not in the documents").

A numbered requirement is a list item, paragraph or table row that begins with its identifier, bold or
not: FR-3 and NFR-1 (the PRD's prompt asks for them), TR-12 (the TRD's), REQ-4; "COVID-19" or "SHA-256"
opening an item is none. It is cited when a footnote reference stands in it, and rests on an assumption
when it says [LIMITED DATA] or names a bypassed gap.

A statement is a sentence the interviewee said (outside headings and questions: a line starting with
"Q:", or a sentence ending in "?") that holds a figure (a digit, or a number in words) or a word of need,
rule or constraint (must, should, need, have to, require, want, cannot, only, never, always, at least,
at most, within, before, up to, no more than, allowed). It is covered when a verified citation of the
interview overlaps it. `bench/bench_traceability.py` measures the rule's precision on labelled interviews.
"""

from __future__ import annotations

import re
from collections.abc import Iterable, Sequence
from dataclasses import dataclass, field
from typing import Any

from brevanta.pipeline.citations import Checked, Citation
from brevanta.pipeline.footnotes import REFERENCE, quote, without_references
from brevanta.pipeline.known_gaps import gap_title, mentions
from brevanta.pipeline.readers.transcript import PASSAGE_HEAD
from brevanta.pipeline.sources import Source
from brevanta.pipeline.words import count

REQUIREMENTS_HEADING = "Requirements without a source"
STATEMENTS_HEADING = "Said in the interview, not in the documents"
HEADINGS = (REQUIREMENTS_HEADING, STATEMENTS_HEADING)
REQUIREMENTS_NOTE = ("No verified citation links these requirements to the interview, the follow-up answers or "
                     "the attached documents, and none is marked as resting on an assumption: check each one "
                     "before the document is approved.")
NO_CITATIONS_NOTE = ("The model's reply carried no citations (an older model, or a relay that strips them): no "
                     "requirement is linked to its source, so every one is listed.")
ALL_SOURCED = ("None: every numbered requirement cites the interview, the follow-up answers or the attached "
               "documents, or is marked as resting on an assumption.")
NO_REQUIREMENTS = "None: the document numbers no requirements."
STATEMENTS_NOTE = ("The interview states these needs, rules, figures or constraints, and no verified citation "
                   "of either document covers them: check that the documents did not leave them out.")
ALL_COVERED = "None: a verified citation covers every statement of the interview."
NOT_CHECKED = "Not checked: no reply of either document carried citations."

_REQUIREMENT = re.compile(
    r"^(?P<indent>[ \t]*)(?P<marker>[-*+][ \t]+|\d+[.)][ \t]+|\|[ \t]*)?(?:\*\*|__)?"
    r"(?P<id>(?:N?FR|TR|REQ)-\d+(?:\.\d+)*)(?![\w-])", re.MULTILINE)
_ITEM_START = re.compile(r"^[ \t]*(?:[-*+]|\d+[.)])[ \t]|^[ \t]*\||^#{1,6}[ \t]")
_ASSUMED = re.compile(r"\[LIMITED DATA", re.IGNORECASE)

_QUESTION_LINE = re.compile(r"^[ \t]*(?:[*_]{1,2})?Q[:.][^\n]*$|^#{1,6}[ \t][^\n]*$", re.MULTILINE)
_BLOCK_BREAK = re.compile(r"\n[ \t]*\n")
_SENTENCE_END = re.compile(r"(?<=[.!?])[\"'\u201d)\]*_]*\s+")
_NUMBER_WORDS = ("two|three|four|five|six|seven|eight|nine|ten|eleven|twelve|fifteen|twenty|thirty|forty|"
                 "fifty|sixty|hundred|thousand|lakh|lakhs|crore|crores|million|billion|dozen|half")
_STATEMENT = re.compile(
    r"\d|\b(?:" + _NUMBER_WORDS + r")\b"
    r"|\b(?:must|mustn't|should|shouldn't|shall|needs?|needed|ha(?:ve|s) to|requires?|required|wants?|"
    r"cannot|can't|can ?not|only|never|always|at least|at most|within|before|up to|no more than|allowed)\b",
    re.IGNORECASE)
_LIST_MARKER = re.compile(r"^[ \t]*(?:[-*+]|\d+[.)]|\|)[ \t]*")
_SHOWN_LIMIT = 240


@dataclass(frozen=True)
class Requirement:
    ident: str
    text: str  # one line, as the check lists it
    cited: bool
    assumed: bool


@dataclass(frozen=True)
class Statement:
    start: int
    end: int
    text: str  # one line

    def covered_by(self, citations: Iterable[Citation]) -> bool:
        return any(citation.start < self.end and citation.end > self.start for citation in citations)


@dataclass
class Trace:
    """What the checks found in one document, for its sections and the run's closing line."""

    requirements: list[Requirement] = field(default_factory=list)
    statements: int = 0
    covered: int = 0  # statements this document's own citations cover
    uncovered: list[Statement] = field(default_factory=list)  # covered by neither document
    statements_checked: bool = True
    citations: Checked = field(default_factory=Checked)
    figures: int = 0

    @property
    def cited(self) -> int:
        return sum(1 for requirement in self.requirements if requirement.cited)

    @property
    def no_citations(self) -> bool:
        return self.citations.received == 0

    def unsourced(self) -> list[Requirement]:
        if self.no_citations:
            return list(self.requirements)
        return [requirement for requirement in self.requirements if not requirement.cited and not requirement.assumed]

    def to_state(self) -> dict[str, Any]:
        """The counts the run's closing line gives, as the session keeps them."""
        return {"requirements": len(self.requirements), "requirements_cited": self.cited,
                "statements": self.statements, "statements_covered": self.covered, "figures": self.figures,
                "citations": len(self.citations.citations), "citations_received": self.citations.received,
                "citations_dropped": self.citations.dropped}


def summary(name: str, counts: dict[str, Any]) -> str:
    """The closing line for one document, from its counts (`Trace.to_state`, as the session keeps them)."""
    def number(key: str) -> int:
        value = counts.get(key)
        return value if isinstance(value, int) and not isinstance(value, bool) else 0

    return (f"{name}: {number('requirements_cited')} of {count(number('requirements'), 'requirement')} cited, "
            f"{number('statements_covered')} of {count(number('statements'), 'interview statement')} covered, "
            f"{count(number('figures'), 'figure')} to verify, {count(number('citations_dropped'), 'citation')} dropped")


def _one_line(text: str) -> str:
    line = " ".join(without_references(text).replace("**", "").replace("__", "").split())
    return line if len(line) <= _SHOWN_LIMIT else line[:_SHOWN_LIMIT - 1].rstrip() + "\u2026"


def _item_end(text: str, start: int, indent: int, table_row: bool) -> int:
    """Where the list item, paragraph or table row that starts at `start` ends."""
    end = text.find("\n", start)
    while end >= 0 and not table_row:
        following = text.find("\n", end + 1)
        line = text[end + 1:len(text) if following < 0 else following]
        deeper = len(line) - len(line.lstrip(" \t")) > indent
        if not line.strip() or (_ITEM_START.match(line) and not deeper):
            break
        end = following
    return len(text) if end < 0 else end


def requirements(text: str, bypassed: Sequence[dict[str, Any]] = ()) -> list[Requirement]:
    """The numbered requirements of `text`, each once (by its identifier, in order)."""
    found: dict[str, Requirement] = {}
    titles = [gap_title(gap) for gap in bypassed]
    for match in _REQUIREMENT.finditer(text):
        marker = match.group("marker") or ""
        end = _item_end(text, match.start(), len(match.group("indent")), marker.startswith("|"))
        item = text[match.start():end]
        cited = REFERENCE.search(item) is not None
        assumed = bool(_ASSUMED.search(item)) or any(mentions(item, title) for title in titles)
        ident = match.group("id")
        earlier = found.get(ident)
        if earlier is None:
            found[ident] = Requirement(ident, _one_line(_LIST_MARKER.sub("", item, count=1)), cited, assumed)
        elif (cited or assumed) and not (earlier.cited or earlier.assumed):
            found[ident] = Requirement(ident, earlier.text, earlier.cited or cited, earlier.assumed or assumed)
    return list(found.values())


def _blank(match: re.Match[str]) -> str:
    """Spaces in place of the match: the offsets of what follows stay where they were."""
    return " " * len(match.group(0))


def statements(interview: str) -> list[Statement]:
    """The interviewee's sentences that state a need, a rule, a figure or a constraint, in order."""
    # The interviewer's questions, and a transcript's times and speakers, are not what was said.
    masked = PASSAGE_HEAD.sub(_blank, _QUESTION_LINE.sub(_blank, interview))
    found = []
    block_start = 0
    for block_end in [*(match.start() for match in _BLOCK_BREAK.finditer(masked)), len(masked)]:
        sentence_start = block_start
        ends = [match for match in _SENTENCE_END.finditer(masked, block_start, block_end)]
        for sentence_end, next_start in [*((match.start(), match.end()) for match in ends), (block_end, block_end)]:
            sentence = masked[sentence_start:sentence_end]
            stripped = sentence.strip()
            if stripped and not stripped.endswith("?") and _STATEMENT.search(stripped):
                start = sentence_start + len(sentence) - len(sentence.lstrip())
                found.append(Statement(start, start + len(stripped), _one_line(stripped)))
            sentence_start = next_start
        block_start = block_end
    return found


def trace(text: str, bypassed: Sequence[dict[str, Any]], interview: Source, checked: Checked,
          other: Sequence[Citation], figures: int) -> Trace:
    """The checks of one document: `text` carries the references of its verified citations `checked`;
    `other` are the other document's verified citations of the interview, where known."""
    own = checked.of_source(0)
    said = statements(interview.text)
    both = [*own, *other]
    return Trace(requirements(text, bypassed), len(said), sum(1 for statement in said if statement.covered_by(own)),
                 [statement for statement in said if not statement.covered_by(both)],
                 bool(checked.received or other), checked, figures)


def requirements_section(found: Trace) -> str:
    listed = found.unsourced()
    if not found.requirements:
        body = NO_REQUIREMENTS
    elif not listed:
        body = ALL_SOURCED
    else:
        note = NO_CITATIONS_NOTE if found.no_citations else REQUIREMENTS_NOTE
        entries = "\n".join(f"- **{requirement.ident}**{_after_ident(requirement)}" for requirement in listed)
        body = f"{note}\n\n{entries}"
    return f"## {REQUIREMENTS_HEADING}\n\n{body}\n"


def _after_ident(requirement: Requirement) -> str:
    """The requirement's text after its identifier (and the emphasis around it)."""
    rest = requirement.text[requirement.text.find(requirement.ident) + len(requirement.ident):]
    return rest if not rest or not rest[0].isalnum() else f" {rest}"


def statements_section(found: Trace, interview: Source) -> str:
    if not found.statements_checked:
        body = NOT_CHECKED
    elif not found.uncovered:
        body = ALL_COVERED
    else:
        entries = "\n".join(f"- \u201c{quote(statement.text)}\u201d ({interview.location(statement.start)})"
                            for statement in found.uncovered)
        body = f"{STATEMENTS_NOTE}\n\n{entries}"
    return f"## {STATEMENTS_HEADING}\n\n{body}\n"
