"""Argument binding and conversion: the interpreter-facing messages of every
function of both modules, checked through the real functions."""

import pytest

import brevanta.gapscope as gapscope
from support.leaks import assert_no_leak, raising

analyze = gapscope.analyze_requirements.__wrapped__
Result = gapscope.AnalysisResult


class StrSub(str):
    pass


class DictSub(dict):
    pass


class ListSub(list):
    pass


class Indexable:
    def __index__(self):
        return 3


class FloatLike:
    def __float__(self):
        return 0.25


class BadBool:
    def __bool__(self):
        raise ZeroDivisionError("no truth")


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: analyze(loop_number=2), "analyze_requirements() takes at least 1 positional argument (0 given)"),
        (lambda: analyze(), "analyze_requirements() takes at least 1 positional argument (0 given)"),
        (lambda: analyze("a", 1, None, 4), "analyze_requirements() takes at most 3 positional arguments (4 given)"),
        (lambda: analyze("a", interview_text="b"),
         "analyze_requirements() got multiple values for keyword argument 'interview_text'"),
        (lambda: analyze("a", bogus=1), "analyze_requirements() got an unexpected keyword argument 'bogus'"),
        (lambda: analyze("a", **{"loop_number": 1, "bogus": 2, "other": 3}),
         "analyze_requirements() got an unexpected keyword argument 'bogus'"),
        (lambda: gapscope.display_gap_with_impact({}),
         "display_gap_with_impact() takes exactly 2 positional arguments (1 given)"),
        (lambda: gapscope.display_gap_with_impact({}, 1, 2),
         "display_gap_with_impact() takes exactly 2 positional arguments (3 given)"),
        (lambda: gapscope.display_gap_with_impact(index=1),
         "display_gap_with_impact() takes exactly 2 positional arguments (0 given)"),
        (lambda: gapscope._completeness_label(), "_completeness_label() takes exactly 1 positional argument (0 given)"),
        (lambda: Result.get_unanswered_gaps(), "get_unanswered_gaps() takes exactly 1 positional argument (0 given)"),
        (lambda: Result.get_bypass_summary(), "get_bypass_summary() takes exactly 1 positional argument (0 given)"),
        (lambda: Result().get_unanswered_gaps(1), "get_unanswered_gaps() takes exactly 1 positional argument (2 given)"),
        (lambda: Result(*range(10)), "__init__() takes at most 10 positional arguments (11 given)"),
        (lambda: Result(summary="a", **{"summary2": 1}), "__init__() got an unexpected keyword argument 'summary2'"),
        (lambda: Result(0.5, completeness_score=0.5),
         "__init__() got multiple values for keyword argument 'completeness_score'"),
        (lambda: Result.empty("a", "b"), "empty() takes at most 2 positional arguments (3 given)"),
        (lambda: Result.__init__(), "__init__() takes at least 1 positional argument (0 given)"),
        (lambda: Result.__init__(summary=""), "__init__() takes at least 1 positional argument (0 given)"),
    ],
)
def test_binding_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keywords_must_be_strings():
    # The interpreter refuses non-str keywords before the call when it
    # unpacks a dict; the binder's own check covers callers that do not.
    with pytest.raises(TypeError, match="keywords must be strings"):
        analyze("a", **{1: 2})


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: analyze(None), "Argument 'interview_text' has incorrect type (expected str, got NoneType)"),
        (lambda: analyze(b"x"), "Argument 'interview_text' has incorrect type (expected str, got bytes)"),
        (lambda: analyze("x", "2"), "Argument 'loop_number' has incorrect type (expected int, got str)"),
        (lambda: analyze("x", None), "Argument 'loop_number' has incorrect type (expected int, got NoneType)"),
        (lambda: gapscope.display_gap_with_impact([], 1),
         "Argument 'gap' has incorrect type (expected dict, got list)"),
        (lambda: gapscope.display_gap_with_impact(None, 1),
         "Argument 'gap' has incorrect type (expected dict, got NoneType)"),
        (lambda: gapscope.display_gap_with_impact({}, "1"),
         "Argument 'index' has incorrect type (expected int, got str)"),
        # Converting rules run before the exact-type tests.
        (lambda: gapscope.display_gap_with_impact([], "1"),
         "Argument 'index' has incorrect type (expected int, got str)"),
        (lambda: Result(summary=None), "Argument 'summary' has incorrect type (expected str, got NoneType)"),
        (lambda: Result(gaps=()), "Argument 'gaps' has incorrect type (expected list, got tuple)"),
        (lambda: Result(gaps={}), "Argument 'gaps' has incorrect type (expected list, got dict)"),
        (lambda: Result(summary=None, gaps=()), "Argument 'gaps' has incorrect type (expected list, got tuple)"),
        (lambda: Result(completeness_reasoning=None, summary=1),
         "Argument 'completeness_reasoning' has incorrect type (expected str, got NoneType)"),
        (lambda: Result.empty(None), "Argument 'reason' has incorrect type (expected str, got NoneType)"),
        (lambda: gapscope._extract_json(None), "Argument 'text' has incorrect type (expected str, got NoneType)"),
        (lambda: Result(completeness_score="0.5"), "must be real number, not str"),
        (lambda: Result(completeness_score=None, summary=None), "must be real number, not NoneType"),
        (lambda: gapscope._completeness_label("0.5"), "must be real number, not str"),
    ],
)
def test_type_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message
    assert not getattr(info.value, "__notes__", None)


@pytest.mark.parametrize(
    "call, expected",
    [
        (lambda: analyze(StrSub("x")), "Argument 'interview_text' has incorrect type (expected str, got StrSub)"),
        (lambda: gapscope.display_gap_with_impact(DictSub(), 1),
         "Argument 'gap' has incorrect type (expected dict, got DictSub)"),
        (lambda: Result(gaps=ListSub([1])), "Argument 'gaps' has incorrect type (expected list, got ListSub)"),
        (lambda: Result(summary=StrSub("")), "Argument 'summary' has incorrect type (expected str, got StrSub)"),
    ],
)
def test_subclass_rejection_carries_a_note(call, expected):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == expected
    (note,) = info.value.__notes__
    assert "ubclasses of builtin types are rejected" in note


def test_conversion_errors_propagate_unchanged():
    with pytest.raises(ValueError, match="cannot convert float NaN to integer"):
        analyze("x", float("nan"))
    with pytest.raises(OverflowError, match="cannot convert float infinity to integer"):
        analyze("x", float("inf"))
    with pytest.raises(TypeError) as info:
        analyze("x", 1j)
    assert str(info.value) == str(_int_error(1j))
    with pytest.raises(ZeroDivisionError, match="no truth"):
        Result(sufficient_for_prd=BadBool())


def _int_error(value):
    try:
        int(value)
    except TypeError as error:
        return error


def test_check_order_score_then_truth_then_types():
    with pytest.raises(TypeError, match="real number"):
        Result(completeness_score="x", sufficient_for_prd=BadBool(), summary=None)
    with pytest.raises(ZeroDivisionError):
        Result(sufficient_for_prd=BadBool(), summary=None)


@pytest.mark.parametrize(
    "score, stored", [(1, 1.0), (True, 1.0), (Indexable(), 3.0), (FloatLike(), 0.25), (0.75, 0.75), (2**53, 2.0**53)]
)
def test_float_conversion(score, stored):
    result = Result(completeness_score=score)
    assert type(result.completeness_score) is float and result.completeness_score == stored


def test_argument_error_traceback_names_the_module_function():
    with pytest.raises(TypeError) as info:
        analyze(None)
    last = info.traceback[-1]
    assert last.frame.code.raw.co_filename == "brevanta/gapscope"
    assert last.frame.code.raw.co_name == "brevanta.gapscope.analyze_requirements"


def test_binding_errors_do_not_leak():
    for block in (
        raising(TypeError, analyze),
        raising(TypeError, analyze, "a", bogus=1),
        raising(TypeError, analyze, StrSub("x")),
        raising(TypeError, Result, gaps=()),
        raising(TypeError, Result, completeness_score="x"),
        raising(ValueError, analyze, "x", float("nan")),
    ):
        assert_no_leak(block)
