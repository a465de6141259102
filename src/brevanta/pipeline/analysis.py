"""One analysis of a round: what the model reads (the interview, the attached documents, the
follow-up answers) and the analysis kept in the session before anything is asked."""

from __future__ import annotations

import itertools
import threading
from typing import TYPE_CHECKING

from brevanta.pipeline import session
from brevanta.pipeline.attempts import Cancelled
from brevanta.pipeline.inputs import check_size
from brevanta.pipeline.session import Run, keep_analysis

if TYPE_CHECKING:
    from brevanta import gapscope
    from brevanta.pipeline.models import ModelAccess
    from brevanta.pipeline.readers import SourceText


def model_input(interview: str, run: Run) -> str:
    """The interview as the model reads it: the file, each attached document under its file name,
    then the follow-up answers, one section per round in which they were given."""
    sections = [interview.rstrip()]
    for attachment in run.attachments:
        sections.append(f"## Attached document: {attachment.get('name')}\n\n{str(attachment.get('text')).strip()}")
    for round_number, group in itertools.groupby(run.answers, key=lambda answer: answer.get("round")):
        lines = [f"## Follow-up answers (round {round_number})"]
        for answer in group:
            lines += ["", f"Q: {answer.get('question', '')}", f"A: {answer.get('answer', '')}"]
        sections.append("\n".join(lines))
    return interview if len(sections) == 1 else "\n\n".join(sections) + "\n"


def attach(run: Run, result: gapscope.AnalysisResult, document: SourceText) -> None:
    """Adds a document to what the model reads, kept as its reader read it (name, kind, size, text and
    marks): the round is to be analysed again with it. Saved; InputProblem, with nothing changed, when
    the interview with the document would be more than the model takes."""
    check_size(f"{model_input(run.interview_text, run)}\n\n{document.text}", "the interview with this document")
    run.attachments.append({**document.to_state(), "round": run.round})
    run.analysis = None  # the round is analysed again, with the document
    session.save(run, result)


def analyse(run: Run, interview: str, access: ModelAccess,
            cancel: threading.Event | None = None) -> gapscope.AnalysisResult:
    """A new analysis of the run's round, kept in the session and saved; ModelFailure when none came,
    Cancelled once `cancel` is set: nothing of this round is kept then."""
    result: gapscope.AnalysisResult = access.analyze(model_input(interview, run), run.round, cancel)
    if cancel is not None and cancel.is_set():  # set as the reply came: it is dropped all the same
        raise Cancelled()
    keep_analysis(run, result)
    run.walking, run.left_open = False, []
    session.save(run, result)
    return result


def next_round(run: Run, result: gapscope.AnalysisResult) -> int:
    """Gaps were left open: with answers given in this round, the next round analyses the interview
    with them; without, the same analysis stays, never paid for twice. Saved; returns the new answers."""
    new_answers = len(run.answers_of_round(run.round))
    if new_answers:
        run.round += 1
        run.analysis = None
    run.walking, run.left_open = False, []
    session.save(run, result)
    return new_answers
