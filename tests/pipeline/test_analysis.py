"""One analysis: what the model reads (the interview, each attached document, the answers by round),
an attachment refused when the whole would be too large, and the next round begun only with answers."""

import pytest

from brevanta import config
from brevanta.errors import InputProblem
from brevanta.pipeline import analysis, decisions
from brevanta.pipeline.readers import read_source


def test_the_model_reads_the_interview_then_the_attachments_then_the_answers_by_round(analysed):
    run, result = analysed
    decisions.answer(run, result, result.gaps[0], "Hourly.")
    analysis.attach(run, result, read_source(b"Consent is recorded.\n", "notes.md"))
    assert run.analysis is None  # the round is analysed again, with the document
    run.answers.append({"question": "Q2", "answer": "A2", "round": 2})
    read = analysis.model_input(run.interview_text, run)
    assert read.startswith(run.interview_text.rstrip() + "\n\n## Attached document: notes.md\n\nConsent is recorded.\n\n")
    assert read.index("## Follow-up answers (round 1)") < read.index("## Follow-up answers (round 2)")
    assert f"Q: {result.gaps[0]['question']}\nA: Hourly." in read


def test_an_attachment_too_large_for_the_model_changes_nothing(analysed, monkeypatch):
    run, result = analysed
    monkeypatch.setattr(config, "MAX_INTERVIEW_TOKENS", len(run.interview_text) // 4 + 10)
    before = open(run.session_file, "rb").read()
    with pytest.raises(InputProblem, match="the interview with this document is too large"):
        analysis.attach(run, result, read_source(b"word " * 100, "big.md"))
    assert run.attachments == [] and run.analysis is not None
    assert open(run.session_file, "rb").read() == before


@pytest.mark.parametrize("answered, next_round", [(True, 2), (False, 1)])
def test_a_round_closes_into_the_next_only_with_new_answers(analysed, answered, next_round):
    run, result = analysed
    if answered:
        decisions.answer(run, result, result.gaps[0], "Hourly.")
    decisions.leave_open(run, result, result.gaps[1])
    assert analysis.next_round(run, result) == int(answered)
    assert run.round == next_round and run.left_open == []
    assert (run.analysis is None) is answered  # the same analysis, never paid for twice
