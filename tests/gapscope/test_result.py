"""AnalysisResult: construction rules, the empty result, open gaps and the
bypass summary."""

import pytest

import brevanta.gapscope as gapscope
from support.leaks import assert_no_leak, raising

Result = gapscope.AnalysisResult
LISTS = ("gaps", "insights", "data_points_found", "architecture_notes")


def test_defaults():
    result = Result()
    assert vars(result) == {
        "completeness_score": 0.0, "completeness_reasoning": "", "sufficient_for_prd": False, "gaps": [],
        "insights": [], "data_points_found": [], "architecture_notes": [], "summary": "", "raw_response": "",
        "bypassed_gaps": [], "answered_gaps": [],
    }
    assert list(vars(result)) == list(vars(Result()))  # attribute order is the constructor's
    assert type(result.completeness_score) is float and result.sufficient_for_prd is False


@pytest.mark.parametrize("name", LISTS)
def test_lists_are_stored_by_reference_unless_empty(name):
    items = [{"id": "g"}]
    empty = []
    assert getattr(Result(**{name: items}), name) is items
    stored = getattr(Result(**{name: empty}), name)
    assert stored == [] and stored is not empty
    assert getattr(Result(**{name: None}), name) == []


def test_fresh_lists_per_instance():
    first, second = Result(), Result()
    for name in LISTS + ("bypassed_gaps", "answered_gaps"):
        assert getattr(first, name) is not getattr(second, name)


@pytest.mark.parametrize("value, stored", [("false", True), ("", False), (0, False), ([1], True), (None, False)])
def test_truth_of_sufficient_for_prd(value, stored):
    assert Result(sufficient_for_prd=value).sufficient_for_prd is stored


def test_positional_construction_in_table_order():
    gaps, insights, points, notes = [1], [2], [3], [4]
    result = Result(0.9, "why", 1, gaps, insights, points, notes, "sum", "raw")
    assert (result.completeness_score, result.completeness_reasoning, result.sufficient_for_prd) == (0.9, "why", True)
    assert (result.gaps, result.insights, result.data_points_found, result.architecture_notes) == (
        gaps, insights, points, notes)
    assert (result.summary, result.raw_response) == ("sum", "raw")


def test_failed_construction_sets_nothing():
    result = Result.__new__(Result)
    with pytest.raises(TypeError):
        result.__init__(0.5, summary=None)
    assert vars(result) == {}


@pytest.mark.parametrize("reason, stored", [((), "Analysis not available"), (("",), "Analysis not available"),
                                            (("JSON parse error: x",), "JSON parse error: x")])
def test_empty(reason, stored):
    result = Result.empty(*reason)
    assert result.completeness_score == 0.5 and result.completeness_reasoning == stored
    assert result.sufficient_for_prd is False and result.summary == result.raw_response == ""
    assert all(getattr(result, name) == [] for name in LISTS)


def test_empty_builds_by_keyword_through_the_class():
    seen = {}

    class Recording(Result):
        def __init__(self, *args, **kwargs):
            seen.update(args=args, kwargs=kwargs)
            super().__init__(*args, **kwargs)

    assert isinstance(Recording.empty("r"), Recording)
    assert seen == {"args": (), "kwargs": {"completeness_score": 0.5, "completeness_reasoning": "r",
                                           "sufficient_for_prd": False}}


class Equal(dict):
    """A record that is equal to another record without being the same object."""


def test_unanswered_gaps():
    first, second, third, anonymous = {"id": "g1"}, {"id": "g2", "t": 1}, {"id": "g3"}, {"title": "no id"}
    result = Result(gaps=[first, second, third, anonymous])
    result.answered_gaps.append("g1")
    result.bypassed_gaps.append({"id": "g2", "t": 1})  # equal, not identical
    result.bypassed_gaps.append({"id": "g3", "t": 2})  # differs: no match
    open_gaps = result.get_unanswered_gaps()
    assert open_gaps == [third, anonymous] and open_gaps[0] is third
    assert open_gaps is not result.gaps
    result.answered_gaps.append(None)  # a gap without id matches None
    assert result.get_unanswered_gaps() == [third]


def test_unanswered_gaps_on_no_gaps_is_a_new_list():
    result = Result()
    assert result.get_unanswered_gaps() == [] and result.get_unanswered_gaps() is not result.gaps


def test_unanswered_gaps_passes_over_records_that_are_not_dicts():
    gap = {"id": "g"}
    result = Result(gaps=["text", 3, None, gap, ["id"]])
    assert result.get_unanswered_gaps() == [gap]


def test_unanswered_gaps_uses_the_get_of_dict_subclasses():
    class Renamed(dict):
        def get(self, key, default=None):
            return "renamed" if key == "id" else default

    gap = Renamed(id="original")
    result = Result(gaps=[gap])
    result.answered_gaps.append("renamed")
    assert result.get_unanswered_gaps() == []


def test_unanswered_gaps_needs_containers():
    result = Result(gaps=[{"id": "g"}])
    result.answered_gaps = 5
    with pytest.raises(TypeError, match="argument of type 'int' is not iterable"):
        result.get_unanswered_gaps()


def test_bypass_summary():
    result = Result()
    assert result.get_bypass_summary() == ""
    result.bypassed_gaps.append({"title": "CRM", "risk_if_skipped": "manual entry", "impact_on_prd": "Section 7"})
    result.bypassed_gaps.append({"title": None, "risk_if_skipped": 3.5, "impact_on_prd": 7, "impact_on_trd": "APIs"})
    result.bypassed_gaps.append({})
    assert result.get_bypass_summary() == "\n".join([
        "KNOWN GAPS (user chose to proceed without this info):",
        "- CRM: manual entry", "  PRD impact: Section 7", "  TRD impact: Unknown",
        "- None: 3.5", "  PRD impact: 7", "  TRD impact: APIs",
        "- Unknown: Unknown impact", "  PRD impact: Unknown", "  TRD impact: Unknown",
    ])


def test_bypass_summary_formats_like_format():
    class Custom:
        def __format__(self, spec):
            return f"custom[{spec}]"

    result = Result()
    result.bypassed_gaps.append({"title": Custom()})
    assert result.get_bypass_summary().splitlines()[1] == "- custom[]: Unknown impact"


def test_bypass_summary_of_a_record_that_is_not_a_dict():
    result = Result()
    result.bypassed_gaps.append("text")
    with pytest.raises(AttributeError, match="'str' object has no attribute 'get'"):
        result.get_bypass_summary()


def test_methods_do_not_change_the_result():
    result = Result(gaps=[{"id": "a"}, {"id": "b"}])
    result.bypassed_gaps.append({"id": "b", "title": "B"})
    before = repr(vars(result))
    result.get_unanswered_gaps(), result.get_bypass_summary()
    assert repr(vars(result)) == before


def test_no_leaks():
    gaps = [{"id": f"g{i}", "title": f"T{i}"} for i in range(10)]
    full = Result(gaps=gaps)
    full.answered_gaps.extend(["g1", "g2"])
    full.bypassed_gaps.extend(gaps[3:5])
    broken = Result()
    broken.bypassed_gaps.append("text")
    for block in (
        lambda: Result(0.5, "r", True, gaps, gaps, ["p"], ["n"], "s", "raw"),
        lambda: Result(completeness_score=1, summary="x"),
        lambda: Result.empty("reason"),
        full.get_unanswered_gaps,
        full.get_bypass_summary,
        raising(TypeError, Result, summary=None),
        raising(TypeError, Result, completeness_score="x"),
        raising(AttributeError, broken.get_bypass_summary),
    ):
        assert_no_leak(block)


def test_class_calls_bind_like_the_init_function():
    # Instance creation binds straight from the call's tuple and dict; the
    # messages must be those of calling __init__ itself.
    with pytest.raises(TypeError) as info:
        Result(1, 2, 3, 4, 5, 6, 7, 8, 9, 10)
    assert str(info.value) == "__init__() takes at most 10 positional arguments (11 given)"
    with pytest.raises(TypeError) as info:
        Result(0.5, completeness_score=0.5)
    assert str(info.value) == "__init__() got multiple values for keyword argument 'completeness_score'"
    with pytest.raises(TypeError) as info:
        Result(**{"summary": None})
    assert str(info.value) == "Argument 'summary' has incorrect type (expected str, got NoneType)"
    assert info.traceback[-1].frame.code.raw.co_name == "brevanta.gapscope.AnalysisResult.__init__"


def test_subclass_init_and_setattr_are_honoured():
    seen = []

    class Sub(Result):
        def __init__(self, *args, **kwargs):
            self.extra = "kept"
            super().__init__(*args, **kwargs)

        def __setattr__(self, name, value):
            seen.append(name)
            super().__setattr__(name, value)

    result = Sub(summary="s")
    assert result.extra == "kept" and result.summary == "s"
    assert seen == ["extra", "completeness_score", "completeness_reasoning", "sufficient_for_prd", "gaps",
                    "insights", "data_points_found", "architecture_notes", "summary", "raw_response",
                    "bypassed_gaps", "answered_gaps"]


def test_a_replaced_init_is_used(monkeypatch):
    calls = []
    original = Result.__init__
    monkeypatch.setattr(Result, "__init__", lambda self, *a, **k: calls.append((a, k)) or original(self, *a, **k))
    result = Result(0.25, summary="x")
    assert calls == [((0.25,), {"summary": "x"})] and result.completeness_score == 0.25
    monkeypatch.undo()
    assert Result(0.5).completeness_score == 0.5
