"""Where a document came from: the header under its title (which interview, round, analysis, decisions,
model, date, version) and the appendix with the user's own follow-up answers and attachments."""

from __future__ import annotations

import hashlib
from dataclasses import dataclass, field
from typing import Any

APPENDIX_HEADING = "Follow-up answers and attachments"
NOTHING_ADDED = "No follow-up answers were given and no documents were attached."


@dataclass(frozen=True)
class Provenance:
    """What the header of a document states."""

    organisation: str
    interview_file: str
    interview_sha256: str  # hex
    round: int
    completeness: float
    bypassed_gaps: int
    open_gaps: int
    model: str
    date: str  # ISO, the day the document was written
    version: str


def sha256_hex(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()


def header(provenance: Provenance) -> str:
    """The header's lines, a block quote kept to two lines."""
    p = provenance
    return (f"> Organisation: {p.organisation} · Interview: {p.interview_file} "
            f"(SHA-256 {p.interview_sha256[:12]}) · Round {p.round} · Completeness {p.completeness:.2f}\n"
            f"> Gaps: {p.bypassed_gaps} bypassed, {p.open_gaps} open · Model: {p.model} · "
            f"Written {p.date} by brevanta {p.version}\n")


def with_header(document: str, provenance: Provenance) -> str:
    """`document` with the header right under its title line (at the top when it has none)."""
    first, newline, rest = document.partition("\n")
    if first.startswith("# "):
        return f"{first}\n\n{header(provenance)}\n{rest.lstrip(chr(10))}"
    return f"{header(provenance)}\n{document}"


@dataclass(frozen=True)
class FollowUp:
    """The user's own material: answered gaps' questions and answers, attached documents' names."""

    answers: list[dict[str, Any]] = field(default_factory=list)  # {"question", "answer", ...}
    attachment_names: list[str] = field(default_factory=list)


def _quoted(text: str) -> str:
    """`text` verbatim as a block quote, its blank lines kept inside the quote."""
    return "\n".join(f"> {line}".rstrip() for line in text.strip("\n").split("\n"))


def appendix(follow_up: FollowUp) -> str:
    lines = [f"## {APPENDIX_HEADING}", ""]
    if not follow_up.answers and not follow_up.attachment_names:
        return "\n".join([*lines, NOTHING_ADDED, ""])
    for answer in follow_up.answers:
        lines += [f"**Q: {str(answer.get('question', '')).strip()}**", "", _quoted(str(answer.get("answer", ""))), ""]
    if follow_up.attachment_names:
        lines += ["Attached documents:", "", *(f"- {name}" for name in follow_up.attachment_names), ""]
    return "\n".join(lines)


def with_appendix(document: str, follow_up: FollowUp) -> str:
    return f"{document.rstrip()}\n\n{appendix(follow_up)}"
