"""The PRD and the TRD: their prompts, the model's reply checked for completeness and for the
known gaps, and the files written whole or not at all, beside numbered backups of what was there."""

from __future__ import annotations

import dataclasses
import functools
import os
import re
from collections.abc import Sequence
from dataclasses import dataclass, field
from datetime import date, datetime, timezone
from importlib import resources
from pathlib import Path
from typing import Any

from brevanta import config, durable, gapscope, installed_version
from brevanta.errors import OTHER_OUTPUT, RESUME_DOCUMENTS, EnvironmentProblem, ModelFailure, os_reason
from brevanta.pipeline import assembly, citations, footnotes, provenance, sections
from brevanta.pipeline import formats as formats_module
from brevanta.pipeline.cleaning import clean_text
from brevanta.pipeline.inputs import DOCUMENT_KINDS
from brevanta.pipeline.models import Completion, model_for
from brevanta.pipeline.session import Run
from brevanta.pipeline.citations import Citation
from brevanta.pipeline.sources import INTERVIEW, Source, run_sources

# The documents of a run, by the operation that requests each one, in the order they are written.
FILE_NAMES = {kind: f"{kind.upper()}.md" for kind in DOCUMENT_KINDS}
# Asked for at the end of every document: a relay reply reports no stop reason, so a reply
# without this line was cut off on the way.
END_MARKER = "<!-- end of document -->"
KNOWN_GAPS_HEADING = sections.KNOWN_GAPS_HEADING
NO_BYPASSED_GAPS = "None: every gap was answered or settled in the interview."

_WHOLE_FENCE = re.compile(r"\A```(?:markdown|md)?[ \t]*\n(.*)\n```[ \t]*\Z", re.DOTALL)


def short_name(kind: str) -> str:
    return kind.upper()


def file_name(kind: str, fmt: str) -> str:
    """PRD.md, PRD.html, PRD.docx."""
    return f"{short_name(kind)}.{fmt}"


# -- the request --------------------------------------------------------------


def prompt_template(kind: str) -> str:
    """The project's prompt for one document, kept as package data beside this module."""
    return (resources.files("brevanta.pipeline") / "prompts" / f"{kind}.md").read_text(encoding="utf-8")


@functools.cache
def document_sections(kind: str) -> sections.DocumentSections:
    """The title line and the required sections, as the document's own prompt asks for them."""
    return sections.from_prompt(prompt_template(kind))


def _bullets(items: list[Any]) -> list[str]:
    return [f"- {item}" for item in items] or ["- (none)"]


def _insight_line(insight: dict[str, Any]) -> str:
    line = f"[{insight.get('severity', 'unrated')}] {insight.get('title', '')}: {insight.get('description', '')}"
    if insight.get("recommendation"):
        line += f" Recommendation: {insight['recommendation']}"
    return line


def analysis_text(result: gapscope.AnalysisResult) -> str:
    """The analysis as the document requests show it: summary, facts, insights, architecture, completeness."""
    insights = [_insight_line(insight) for insight in result.insights if isinstance(insight, dict)]
    lines = [
        "## Summary", "", result.summary or "(none)", "",
        "## Completeness", "",
        f"{result.completeness_score:.2f} / 1.0. {result.completeness_reasoning}".rstrip(), "",
        "## Facts taken from the interview", "", *_bullets(result.data_points_found), "",
        "## Insights", "", *_bullets(insights), "",
        "## Architecture notes", "", *_bullets(result.architecture_notes),
    ]
    return "\n".join(lines)


def shared_material(result: gapscope.AnalysisResult) -> str:
    """What both document requests hold after the documents, byte for byte the same: the analysis and the
    bypass summary verbatim."""
    return prompt_template("material").format(
        analysis=analysis_text(result),
        bypass_summary=result.get_bypass_summary() or NO_BYPASSED_GAPS,
    )


def compose(kind: str, material: str | Sequence[Source], result: gapscope.AnalysisResult) -> list[dict[str, Any]]:
    """The content of the one request that writes a document: the sources as documents the service cites
    (the interview alone when `material` is a text), the analysis and known gaps, marked as the end of the
    prompt the two requests share so the second reads it from the service's prompt cache (unless
    BREVANTA_PROMPT_CACHE=0), then the document's own instructions."""
    given = [Source(INTERVIEW, "interview", clean_text(material)[0])] if isinstance(material, str) else material
    # A lone surrogate in the analysis (a gap title) could not even be sent: cleaned like the documents.
    shared: dict[str, Any] = {"type": "text", "text": clean_text(shared_material(result))[0]}
    if config.PROMPT_CACHE:
        shared["cache_control"] = {"type": "ephemeral"}
    instructions = {"type": "text", "text": prompt_template(kind).format(end_marker=END_MARKER)}
    return [*(source.block() for source in given), shared, instructions]


# -- the reply ----------------------------------------------------------------


def document_text(kind: str, completion: Completion) -> str:
    """The document in a reply; ModelFailure when the reply was cut off or holds no document."""
    name = short_name(kind)
    text = completion.text
    marker_at = text.rfind(END_MARKER)
    if completion.stop_reason == "max_tokens":
        raise ModelFailure(
            f"the {name} reply was cut off at the token limit ({config.MAX_TOKENS_DOCUMENT} tokens); "
            f"{FILE_NAMES[kind]} was not written",
            hint="Raise BREVANTA_MAX_TOKENS_DOCUMENT.", action=RESUME_DOCUMENTS)
    if completion.stop_reason is None and marker_at < 0:
        # The relay and a replay report no stop reason: the end line is the only sign of a whole reply.
        at_limit = completion.output_tokens >= config.MAX_TOKENS_DOCUMENT
        raise ModelFailure(
            f"the {name} reply ended without its end line after {completion.output_tokens:,} tokens "
            f"({'the token limit' if at_limit else 'below the token limit'}: it was cut off on the way, "
            f"or the model left the line out); {FILE_NAMES[kind]} was not written",
            hint="Raise BREVANTA_MAX_TOKENS_DOCUMENT." if at_limit else None, action=RESUME_DOCUMENTS)
    if completion.stop_reason not in (None, "end_turn", "stop_sequence"):
        raise ModelFailure(f"the model stopped writing the {name} ({completion.stop_reason}); "
                           f"{FILE_NAMES[kind]} was not written")
    if marker_at >= 0:
        text = text[:marker_at]
    text = text.strip()
    if fenced := _WHOLE_FENCE.match(text):
        text = fenced.group(1).strip()
    if not text:
        raise ModelFailure(f"the {name} reply was empty; {FILE_NAMES[kind]} was not written")
    return text + "\n"


def other_citations(kind: str, run: Run, sent: Sequence[Source]) -> list[Citation]:
    """The verified citations of the interview that the session keeps with the other documents' replies."""
    found: list[Citation] = []
    for other, reply in dict(run.replies).items():  # the other document's thread may record its reply meanwhile
        if other != kind and isinstance(reply, dict):
            found += citations.from_state(reply.get("citations"), sent, str(reply.get("text", ""))).of_source(0)
    return found


def document_material(kind: str, run: Run, result: gapscope.AnalysisResult, interview: str,
                      replayed: bool, sent: Sequence[Source] | None = None,
                      model: str | None = None) -> assembly.Material:
    """What one document is checked against (the interview, the answers, the attachments, the documents
    sent and the other document's citations) and the header and appendix it is framed with; `model`
    wrote it (by default the one routed for `kind`)."""
    model = model or model_for(kind)
    origin = provenance.Provenance(
        organisation=run.org_id, interview_file=run.interview_name,
        interview_sha256=provenance.sha256_hex(interview), round=run.round,
        completeness=result.completeness_score, bypassed_gaps=len(result.bypassed_gaps),
        open_gaps=len(result.get_unanswered_gaps()), model=f"{model} (saved reply)" if replayed else model,
        date=date.today().isoformat(), version=installed_version(),
    )
    follow_up = provenance.FollowUp([answer for answer in run.answers if answer.get("answer")],
                                    [str(attachment.get("name")) for attachment in run.attachments])
    texts = [interview, *(str(answer.get("answer", "")) for answer in run.answers),
             *(str(attachment.get("text", "")) for attachment in run.attachments)]
    sent = run_sources(interview, run, result) if sent is None else sent
    return assembly.material(texts, result.bypassed_gaps, origin, follow_up, sent, other_citations(kind, run, sent))


def kept_completion(reply: dict[str, Any]) -> Completion:
    """The completion a kept reply stands for: its text and how it ended, no tokens (none are spent)."""
    stop_reason = reply.get("stop_reason")
    return Completion(str(reply["text"]), stop_reason if isinstance(stop_reason, str) else None, 0, 0,
                      model=str(reply.get("model") or ""))


@dataclass
class Finished:
    """One document written in every chosen format: what was done to it, and where each file went."""

    kind: str
    assembled: assembly.Assembled
    checked: citations.Checked = field(default_factory=citations.Checked)
    files: list[tuple[Path, Path | None]] = field(default_factory=list)  # (path, the backup of what was there)


def refusal_text(kind: str, refusal: assembly.DocumentRefused) -> str:
    return f"the {short_name(kind)} was not written: {refusal.what_is_missing()}"


def finish_document(kind: str, completion: Completion, given: assembly.Material, directory: Path,
                    formats: list[str], checked: citations.Checked | None = None) -> Finished:
    """Checks one document's reply, completes it and writes it in each format. The reply's citations are
    checked against the documents sent (`checked`, when given, holds them checked already: a stored reply's).
    DocumentRefused when the reply is no such document and ModelFailure when it was cut off (nothing is
    written then); EnvironmentProblem when a file cannot be written."""
    if checked is None:
        checked = citations.check(completion.blocks, given.sent)
    marked, passages = footnotes.marked(completion.text, checked.citations)
    reply = document_text(kind, dataclasses.replace(completion, text=marked))
    assembled = assembly.assemble(kind, reply, document_sections(kind), given, checked, passages)
    finished = Finished(kind, assembled, checked)
    authorship = formats_module.Authorship(given.origin.organisation, datetime.now(timezone.utc).replace(microsecond=0))
    for fmt, data in formats_module.render_all(assembled.text, formats, authorship).items():
        path = directory / file_name(kind, fmt)
        try:
            backup = write_document(path, data)
        except OSError as exc:
            raise EnvironmentProblem(f"cannot write {path}: {os_reason(exc)}", action=OTHER_OUTPUT) from None
        finished.files.append((path, backup))
    return finished


def kept_reply(completion: Completion, finished: Finished, sent: Sequence[Source], model: str = "",
               replayed: bool = False) -> dict[str, Any]:
    """What the session keeps of an accepted reply, to write its document again without a request: its text
    as received, model (`model` when the reply names none) and stop reason, and its verified citations, each
    with the footnote it became (None when its reference fell in a replaced section)."""
    labels = {footnote.citation.passage: footnote.label for footnote in finished.assembled.footnotes}
    kept = [{**citation.to_state(sent), "footnote": labels.get(citation.passage)}
            for citation in finished.checked.citations]
    reply: dict[str, Any] = {"text": completion.text, "model": completion.model or model,
                             "stop_reason": completion.stop_reason, "citations": kept}
    if replayed:
        reply["replayed"] = True
    if finished.assembled.trace is not None:
        reply["traceability"] = finished.assembled.trace.to_state()
    return reply


# -- the files ----------------------------------------------------------------


def check_output_dir(directory: Path) -> None:
    """EnvironmentProblem unless documents can be written into `directory` (created when it is written)."""
    existing = directory.absolute()
    while not existing.exists() and existing != existing.parent:
        existing = existing.parent
    problem = None
    if not existing.is_dir():
        problem = f"{existing} is not a directory"
    elif not os.access(existing, os.W_OK | os.X_OK):
        problem = f"{existing} is not writable"
    if problem:
        raise EnvironmentProblem(f"cannot write the documents into {directory}: {problem}", action=OTHER_OUTPUT)


def write_document(path: Path, data: str | bytes) -> Path | None:
    """Writes `data` (text as UTF-8) to `path` whole or not at all; what was there is kept as a
    numbered backup (`PRD.md.~1~`), whose path is returned."""
    # A lone surrogate the cleaning missed must not cost the document.
    return durable.write_file(path, data.encode("utf-8", "replace") if isinstance(data, str) else data)
