"""build_serialisable_state: conversions, messages and the dictionary it builds."""

from decimal import Decimal
from fractions import Fraction
from pathlib import Path

import pytest

KEYS = ["interview_answers", "document_types", "project_type_key", "selected_strategy_number", "analysis_summary",
        "analysis_completeness", "strategy_id", "review_turn_id", "output_dir"]


def test_defaults(waymark):
    state = waymark.build_serialisable_state()
    assert list(state) == KEYS
    assert state["interview_answers"] == [] and state["document_types"] == []
    assert state["interview_answers"] is not state["document_types"]
    assert all(state[key] is None for key in KEYS[2:])


def test_lists_stored_by_reference_unless_empty(waymark):
    answers, empty = [{"q": 1}], []
    state = waymark.build_serialisable_state(interview_answers=answers, document_types=empty)
    assert state["interview_answers"] is answers
    assert state["document_types"] == [] and state["document_types"] is not empty


def test_all_values_in_order(waymark):
    given = dict(zip(KEYS, [[1], ["prd"], "chatbot", 3, "sum", 0.75, "s1", "t1", "/out"]))
    assert list(waymark.build_serialisable_state(**dict(reversed(given.items()))).items()) == list(given.items())


@pytest.mark.parametrize(("given", "stored"), [
    (2.9, 2), (True, 1), (-2.9, -2), (Decimal("7.5"), 7), (Fraction(9, 2), 4), (10**30, 10**30), (None, None)])
def test_strategy_number_conversion(waymark, given, stored):
    value = waymark.build_serialisable_state(selected_strategy_number=given)["selected_strategy_number"]
    assert value == stored and type(value) is type(stored)


@pytest.mark.parametrize(("given", "stored"), [
    (1, 1.0), (True, 1.0), (Decimal("0.5"), 0.5), (Fraction(1, 4), 0.25), (0.3, 0.3), (None, None)])
def test_completeness_conversion(waymark, given, stored):
    value = waymark.build_serialisable_state(analysis_completeness=given)["analysis_completeness"]
    assert value == stored and type(value) is type(stored)


@pytest.mark.parametrize(("keyword", "value", "error", "message"), [
    ("selected_strategy_number", "2", TypeError,
     "Argument 'selected_strategy_number' has incorrect type (expected int, got str)"),
    ("selected_strategy_number", float("nan"), ValueError, "cannot convert float NaN to integer"),
    ("selected_strategy_number", float("inf"), OverflowError, "cannot convert float infinity to integer"),
    ("analysis_completeness", "0.5", TypeError,
     "Argument 'analysis_completeness' has incorrect type (expected float, got str)"),
    ("analysis_completeness", 10**400, OverflowError, "int too large to convert to float"),
    ("output_dir", Path("/out"), TypeError, "Argument 'output_dir' has incorrect type (expected str, got PosixPath)"),
    ("interview_answers", (1,), TypeError,
     "Argument 'interview_answers' has incorrect type (expected list, got tuple)"),
    ("document_types", "prd", TypeError, "Argument 'document_types' has incorrect type (expected list, got str)"),
    ("strategy_id", 5, TypeError, "Argument 'strategy_id' has incorrect type (expected str, got int)"),
    ("unknown", 1, TypeError, "build_serialisable_state() got an unexpected keyword argument 'unknown'"),
])
def test_refused_values(waymark, keyword, value, error, message):
    with pytest.raises(error) as caught:
        waymark.build_serialisable_state(**{keyword: value})
    assert str(caught.value) == message


def test_conversions_run_before_type_checks(waymark):
    # A failing conversion is reported even when an earlier parameter has the wrong type.
    with pytest.raises(ValueError):
        waymark.build_serialisable_state(interview_answers="x", selected_strategy_number=float("nan"))


def test_positional_arguments_refused(waymark):
    with pytest.raises(TypeError) as caught:
        waymark.build_serialisable_state([], [])
    assert str(caught.value) == "build_serialisable_state() takes exactly 0 positional arguments (2 given)"


def test_list_subclass_refused_with_note(waymark):
    class Answers(list):
        pass

    with pytest.raises(TypeError, match="expected list, got Answers") as caught:
        waymark.build_serialisable_state(interview_answers=Answers([1]))
    assert caught.value.__notes__
