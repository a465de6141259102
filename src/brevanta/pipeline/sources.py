"""What the document requests send as documents the service can cite: the interview, each attached
document and each follow-up answer, in that order, each text exactly as sent (cleaned as the documents
are), so that a citation's offsets can be checked against it and turned into a place a reader can find."""

from __future__ import annotations

from dataclasses import dataclass, field
from typing import TYPE_CHECKING, Any

from brevanta.pipeline.cleaning import clean_text
from brevanta.pipeline.interview import kept_source
from brevanta.pipeline.readers import SourceText
from brevanta.pipeline.readers.source import line_of
from brevanta.pipeline.records import gap_records

if TYPE_CHECKING:
    from brevanta import gapscope
    from brevanta.pipeline.session import Run

INTERVIEW, ATTACHMENT, ANSWER = "interview", "attachment", "answer"
# The service limits a document's title; longer names are cut.
_TITLE_LIMIT = 200


@dataclass(frozen=True)
class Source:
    """One document of the request. `name` is how a footnote names it: "interview", the attached file's
    name, or for an answer the title of the gap it answers."""

    kind: str  # INTERVIEW, ATTACHMENT or ANSWER
    name: str
    text: str  # exactly as sent
    context: str = ""  # shown to the model, never cited (an answer's question)
    read: SourceText | None = field(default=None, compare=False)  # as its reader read it: where each region came from

    @property
    def title(self) -> str:
        title = {INTERVIEW: "Interview", ATTACHMENT: f"Attached document: {self.name}",
                 ANSWER: f"Follow-up answer: {self.name}"}[self.kind]
        return title if len(title) <= _TITLE_LIMIT else title[:_TITLE_LIMIT - 1] + "…"

    def where(self, offset: int) -> str:
        """Where `offset` of the text lies, as a footnote says it: "interview, line 42", "notes.md, line 3",
        "follow-up answer, Hand-off rules"."""
        if self.kind == ANSWER:
            return f"follow-up answer, {self.name}"
        return f"{self.name}, {self.location(offset)}"

    def location(self, offset: int) -> str:
        """Where `offset` lies in the text: "line 42", "page 3", "00:12:04, Dr Rao"."""
        return self.read.location(offset) if self.read is not None else line_of(self.text, offset)

    def block(self) -> dict[str, Any]:
        """The request's document content block, citations on."""
        block: dict[str, Any] = {"type": "document", "source": {"type": "text", "media_type": "text/plain",
                                                                "data": self.text},
                                 "title": self.title, "citations": {"enabled": True}}
        if self.context:
            block["context"] = self.context
        return block


def _gap_titles(gaps: object) -> dict[Any, str]:
    if not isinstance(gaps, list):
        return {}
    return {gap.get("id"): str(gap.get("title")) for gap in gap_records(gaps)
            if gap.get("id") is not None and gap.get("title")}


def _sent(read: SourceText) -> tuple[str, SourceText | None]:
    """The text to send, cleaned as the documents are, and the reading whose marks still fit it (its
    offsets unchanged: nothing had to be removed); without one, places are told by line."""
    text = clean_text(read.text)[0]
    return text, read if text == read.text else None


def sources_of(interview: SourceText, attachments: list[dict[str, Any]], answers: list[dict[str, Any]],
               titles: dict[Any, str]) -> list[Source]:
    """The documents of a run's document requests: the interview, each attached document under its file
    name, each follow-up answer under the title of its gap (`titles`, by gap id; else its question)."""
    text, read = _sent(interview)
    found = [Source(INTERVIEW, "interview", text, read=read)]
    for attachment in attachments:
        text, read = _sent(SourceText.from_state(attachment, fallback_name="attachment"))
        if text.strip():
            found.append(Source(ATTACHMENT, clean_text(str(attachment.get("name", "attachment")))[0], text, read=read))
    for answer in answers:
        text = clean_text(str(answer.get("answer", "")))[0]
        if not text.strip():
            continue
        question = clean_text(str(answer.get("question", "")))[0]
        gap_id = answer.get("gap_id")
        title = titles.get(gap_id) if isinstance(gap_id, (str, int)) else None  # a hand-edited id may be a list
        name = answer.get("title") or title or question or "a follow-up question"
        found.append(Source(ANSWER, clean_text(str(name))[0], text, f"Question: {question}" if question else ""))
    return found


def run_sources(interview: str, run: Run, result: gapscope.AnalysisResult | None = None) -> list[Source]:
    """The documents of the run's document requests (see `sources_of`), gap titles from `result`."""
    read = SourceText.from_state({**(run.interview_source or {}), "text": interview})
    return sources_of(read, run.attachments, run.answers, _gap_titles(result.gaps if result else None))


def _listed(state: dict[str, Any], key: str) -> list[dict[str, Any]]:
    value = state.get(key)
    return [item for item in value if isinstance(item, dict)] if isinstance(value, list) else []


def state_sources(state: dict[str, Any]) -> list[Source]:
    """The documents a saved session's document requests sent, rebuilt from what the session keeps."""
    analysis = state.get("analysis")
    result = analysis.get("result") if isinstance(analysis, dict) else None
    gaps = result.get("gaps") if isinstance(result, dict) else None
    return sources_of(kept_source(state), _listed(state, "attachments"), _listed(state, "interview_answers"),
                      _gap_titles(gaps))
