"""A run's session through the pipeline's own functions: saved after the analysis and each decision,
taken up again with everything it held, found only for its own interview, and read defensively."""

import json

import pytest

from brevanta.pipeline import decisions, session
from brevanta.pipeline.interview import Interview


def _resumed(run):
    """The session of `run` as the next run takes it up (this run's lock given back first)."""
    run.release()
    (record,) = session.unfinished_sessions(run.org_id)
    lock, current = session.take(record)
    return session.resumed(current, Interview(run.interview_path, run.interview_text), current["org_id"], None, lock)


def test_every_decision_is_on_disk_and_a_resumed_run_has_them_all(analysed):
    run, result = analysed
    first, second, third = result.gaps[:3]
    decisions.answer(run, result, first, "Synced hourly.\nHeld for 4 hours.")
    decisions.bypass(run, result, second)
    decisions.leave_open(run, result, third)

    again = _resumed(run)
    try:
        kept = session.saved_analysis(again)  # the analysis is not paid for again
        assert kept is not None and [gap["id"] for gap in kept.gaps] == [gap["id"] for gap in result.gaps]
        assert kept.answered_gaps == [first["id"]] and kept.bypassed_gaps == [second]
        assert again.left_open == [third] and again.answers[0]["answer"] == "Synced hourly.\nHeld for 4 hours."
        assert decisions.open_gaps(kept, again) == result.gaps[3:]
    finally:
        again.release()


def test_a_session_is_offered_only_for_its_own_interview(analysed, example_interview):
    run, _ = analysed
    records = session.unfinished_sessions("acme")
    for text, path, bound in [(example_interview, run.interview_path, "same"),
                              (example_interview + "\nMore.", run.interview_path, "changed"),
                              (example_interview + "\nMore.", "/elsewhere/interview.md", "other"),
                              (example_interview, "-", "same")]:
        same, changed = session.of_interview(records, Interview(path, text))
        assert (len(same), len(changed)) == {"same": (1, 0), "changed": (0, 1), "other": (0, 0)}[bound]


@pytest.mark.parametrize("state, words", [
    ({}, "round 1, 0 answers, 0 bypassed"),
    ({"round": 3, "interview_answers": [{"answer": "a"}], "bypassed_gaps": [{}, {}], "open_gaps": 1,
      "attachments": [{"name": "notes.md"}], "documents_written": ["trd", "prd"]},
     "round 3, 1 answer, 2 bypassed, 1 open gap, 1 attached document, PRD and TRD written"),
    # a session file edited by hand: every value of the wrong type counts for nothing
    ({"round": "2", "interview_answers": "x", "bypassed_gaps": [3, None], "open_gaps": True,
      "documents_written": "prd"}, "round 1, 0 answers, 0 bypassed"),
])
def test_what_a_session_holds_is_read_defensively(state, words):
    assert session.describe(state) == words


def test_replies_are_kept_only_while_the_decisions_they_were_written_on_stand(analysed):
    run, result = analysed
    run.replies = {"prd": {"text": "# PRD", "model": "m", "stop_reason": "end_turn"}}
    run.written = ["prd"]
    session.save(run, result)
    saved = json.loads(open(run.session_file, encoding="utf-8").read())["state"]
    assert saved["replies"]["prd"]["text"] == "# PRD"
    decisions.bypass(run, result, result.gaps[0])  # a decision on the same analysis: the reply stands
    listed = decisions.decisions(run, result)
    decisions.reopen(run, result, listed[0])  # a changed decision: the documents are out of date
    assert (run.written, run.replies) == ([], {})
