"""The sections a document must have, read from its prompt, and how a reply's headings are matched
against them: however the model numbers, capitalises or abbreviates them."""

from __future__ import annotations

import re
from collections.abc import Iterator
from dataclasses import dataclass

KNOWN_GAPS_HEADING = "Known gaps and assumptions"
NOT_WRITTEN_NOTE = "_This section was not written by the model: it is missing from its reply and must be completed._"

_HEADING = re.compile(r"^(#{1,6})[ \t]+(.+?)[ \t#]*$")
_FENCE = re.compile(r"^[ ]{0,3}(`{3,}|~{3,})")
# The prompt asks for the title line in quotes, for instance "# Product requirements: <agent name>".
_TITLE_LINE = re.compile(r'title line "(#[^"<]*)')
# Numbering in front of a heading: "4.", "4)", "4.2", "IV.", "Section 4:", "A.".
_NUMBERING = re.compile(r"^(?:(?:section|part)\s+)?(?:\d+(?:\.\d+)*|[ivxlc]+|[a-z])(?:[.):]\s*|\s+)", re.IGNORECASE)


@dataclass(frozen=True)
class DocumentSections:
    """What one kind of document must hold: its title line's start and its required sections in order."""

    title: str  # "# Product requirements:"
    required: tuple[str, ...]

    def known_gaps(self) -> str:
        return next((name for name in self.required if words_of(name) == words_of(KNOWN_GAPS_HEADING)),
                    KNOWN_GAPS_HEADING)


def _heading_blocks(prompt: str) -> list[list[str]]:
    """Each run of consecutive second-level heading lines in the prompt."""
    blocks: list[list[str]] = [[]]
    for line in prompt.splitlines():
        if line.startswith("## "):
            blocks[-1].append(line[3:].strip())
        elif blocks[-1]:
            blocks.append([])
    return [block for block in blocks if block]


def from_prompt(prompt: str) -> DocumentSections:
    """The title line and the block of second-level headings that the prompt asks for: the one that
    ends with the known gaps (the first block when none does)."""
    title = _TITLE_LINE.search(prompt)
    blocks = _heading_blocks(prompt)
    if not blocks:
        raise ValueError("the prompt names no sections")
    wanted = words_of(KNOWN_GAPS_HEADING)
    block = next((block for block in blocks if any(words_of(name) == wanted for name in block)), blocks[0])
    return DocumentSections(title.group(1).strip() if title else "#", tuple(block))


def words_of(text: str) -> list[str]:
    """Lower-case words, "&" read as "and", every other punctuation mark a space."""
    return re.sub(r"[\W_]+", " ", text.lower().replace("&", " and ")).split()


def _strip_numbering(heading: str) -> str:
    stripped = _NUMBERING.sub("", heading.strip(), count=1)
    return stripped if words_of(stripped) else heading


def heading_matches(heading: str, name: str) -> bool:
    """True when `heading` names the section `name`: the same words, or one an abbreviation or an
    extension of the other ("Known Gaps", "Func. requirements", "Risks and mitigations")."""
    said, wanted = words_of(_strip_numbering(heading)), words_of(name)
    if not said or not wanted or len(said[0]) < min(3, len(wanted[0])):
        return False
    shorter, longer = (said, wanted) if len(said) <= len(wanted) else (wanted, said)
    if shorter is said:  # an abbreviation: each word the start of the wanted word
        return all(word_wanted.startswith(word_said) for word_said, word_wanted in zip(said, wanted))
    return longer[:len(shorter)] == shorter  # an extension keeps the wanted words whole


def names_exactly(heading: str, name: str) -> bool:
    """True when `heading` is the section `name` word for word, numbering aside."""
    return words_of(_strip_numbering(heading)) == words_of(name)


@dataclass(frozen=True)
class Heading:
    level: int
    text: str
    start: int  # offset of the heading line in the document
    end: int  # offset just after the heading line


def headings(text: str) -> Iterator[Heading]:
    """The ATX headings of a Markdown text, outside fenced code blocks."""
    offset, fence = 0, ""
    for line in text.splitlines(keepends=True):
        bare = line.rstrip("\n")
        opening = _FENCE.match(bare)
        if opening and (not fence or opening.group(1)[0] == fence[0] and len(opening.group(1)) >= len(fence)):
            fence = "" if fence else opening.group(1)
        elif not fence and (match := _HEADING.match(bare)):
            yield Heading(len(match.group(1)), match.group(2), offset, offset + len(line))
        offset += len(line)


def _below_title(text: str) -> Iterator[Heading]:
    """The headings after the title line (a first heading at level one)."""
    found = headings(text)
    first = next(found, None)
    if first is not None and first.level > 1:
        yield first
    yield from found


def section_heading(text: str, name: str) -> Heading | None:
    """The first heading below the title that names section `name`."""
    return next((heading for heading in _below_title(text) if heading_matches(heading.text, name)), None)


def section_span(text: str, name: str) -> tuple[int, int] | None:
    """Where the body of section `name` lies: from after its heading to the next heading of the same or
    a higher level."""
    found = section_heading(text, name)
    if found is None:
        return None
    later = (other.start for other in headings(text) if other.start > found.start and other.level <= found.level)
    return found.end, next(later, len(text))


def missing_sections(text: str, sections: DocumentSections) -> list[str]:
    return [name for name in sections.required if section_heading(text, name) is None]


def is_mostly_missing(missing: list[str], sections: DocumentSections) -> bool:
    """A refusal (none of the sections) or a reply missing more than half of them."""
    return len(missing) == len(sections.required) or 2 * len(missing) > len(sections.required)


def with_missing_sections(text: str, missing: list[str], sections: DocumentSections) -> str:
    """`text` with a heading and a visible note for each missing section, placed before the next
    section that is there (at the end when none follows)."""
    for name in missing:
        later = sections.required[sections.required.index(name) + 1:]
        after = next((found for other in later if (found := section_heading(text, other)) is not None), None)
        block = f"## {name}\n\n{NOT_WRITTEN_NOTE}\n\n"
        if after is None:
            text = f"{text.rstrip()}\n\n{block.rstrip()}\n"
        else:
            text = f"{text[:after.start]}{block}{text[after.start:]}"
    return text


def names_section(heading: str, name: str) -> bool:
    """True when `heading` is section `name` however numbered, capitalised or punctuated, or starts
    with all its words ("11. FIGURES TO VERIFY", "Figures to verify (none)"); never a shorter heading
    ("Requirements" is not "Requirements without a source")."""
    said, wanted = words_of(_strip_numbering(heading)), words_of(name)
    return bool(wanted) and said[:len(wanted)] == wanted


def without_sections(text: str, names: tuple[str, ...], exactly: tuple[str, ...] = ()) -> str:
    """`text` without any section below the title that `names_section` matches to one of `names`, or that
    `names_exactly` matches to one of `exactly` (a short title, such as "Sources", that a longer heading
    of the model's own may start with), its body and subsections included: the sections a check writes,
    which a reply must not supply."""
    found = list(_below_title(text))
    spans: list[tuple[int, int]] = []
    for index, heading in enumerate(found):
        if spans and heading.start < spans[-1][1]:
            continue  # inside a section already removed
        if any(names_section(heading.text, name) for name in names) or any(
                names_exactly(heading.text, name) for name in exactly):
            later = (other.start for other in found[index + 1:] if other.level <= heading.level)
            spans.append((heading.start, next(later, len(text))))
    for start, end in reversed(spans):
        text = text[:start] + text[end:]
    return text
