"""Decisions changed later: an answer edited, a bypass turned into an answer, a decision taken back,
a gap left open decided in this round after all; each one saved, the list in its order."""

from brevanta.pipeline import decisions


def test_each_change_is_saved_and_the_list_keeps_answers_then_bypasses(analysed):
    run, result = analysed
    first, second, third = result.gaps[:3]
    decisions.bypass(run, result, second)
    decisions.answer(run, result, first, "Hourly.")
    listed = decisions.decisions(run, result)
    assert [(item.kind, item.title) for item in listed] == [("answered", first["title"]),
                                                            ("bypassed", second["title"])]
    assert decisions.question_of(listed[0]) == first["question"]
    assert decisions.question_of(listed[1]) == second["question"]

    decisions.edit_answer(run, result, listed[0], "Every 15 minutes.")
    decisions.answer_bypassed(run, result, listed[1], "Sales managers take over.")
    assert [answer["answer"] for answer in run.answers] == ["Every 15 minutes.", "Sales managers take over."]
    assert result.bypassed_gaps == [] and set(result.answered_gaps) == {first["id"], second["id"]}

    decisions.reopen(run, result, decisions.decisions(run, result)[0])
    assert first in decisions.open_gaps(result, run) and len(run.answers) == 1

    decisions.leave_open(run, result, third)
    assert third not in decisions.open_gaps(result, run)
    decisions.take_back_leave(run, result, third)
    assert third in decisions.open_gaps(result, run)
    still_open = len(decisions.open_gaps(result, run))
    assert decisions.bypass_all(run, result) == still_open and decisions.open_gaps(result, run) == []
