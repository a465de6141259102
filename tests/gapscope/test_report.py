"""The console report: the completeness label, one gap with its impact and the
full analysis, line by line.

A recording `display` stands in for the real one so the exact calls are
visible: its message operations print a marker line ("[info] text") and its
style operations return tagged text ("<red>text</red>"), so the captured
output shows the interleaving of printed lines and display messages."""

import builtins
import io
import json
import math
import os
import subprocess
import sys
import types
from collections import OrderedDict

import pytest
from hypothesis import given, settings, strategies as st

import brevanta.gapscope as gapscope
from support.children import SDK_ON_FIRST_USE
from support.leaks import assert_no_leak, raising

Result = gapscope.AnalysisResult
SANITIZED = bool(os.environ.get("BREVANTA_SANITIZED"))
EXAMPLES = 40 if SANITIZED else 300

YOU_CAN = [
    "[info] You can:",
    "  1. Continue anyway (gaps will show as [LIMITED DATA] in documents)",
    "  2. Answer follow-up questions to fill critical gaps",
    "  3. Attach a document that covers the gaps (/file)",
]
NO_GAPS = "[success] No gaps identified \u2014 requirements look comprehensive."
SUFFICIENT = "[success] Requirements are sufficient to generate a strong PRD and TRD."


def verdict(n, plural="s"):
    return f"[info] More detail would strengthen the output. {n} critical gap{plural} found."


class RecordingDisplay:
    """Message operations print a marker line; style operations return tagged text."""

    def __init__(self):
        self.calls = []

    def _message(self, kind, text):
        self.calls.append((kind, text))
        print(f"[{kind}] {text}")

    def narrative(self, text):
        self._message("narrative", text)

    def info(self, text):
        self._message("info", text)

    def warning(self, text):
        self._message("warning", text)

    def success(self, text):
        self._message("success", text)

    def confidence_bar(self, score, label):
        self.calls.append(("confidence_bar", score, label))
        print(f"[bar] {score!r} {label}")

    def _style(self, kind, text):
        self.calls.append((kind, text))
        return f"<{kind}>{text}</{kind}>"

    def red(self, text):
        return self._style("red", text)

    def yellow(self, text):
        return self._style("yellow", text)

    def bold(self, text):
        return self._style("bold", text)

    def dim(self, text):
        return self._style("dim", text)


@pytest.fixture
def recorder(monkeypatch):
    recording = RecordingDisplay()
    monkeypatch.setattr(gapscope, "display", recording)
    return recording


@pytest.fixture
def lines(capsys):
    """The lines written so far (the text after the last line end is dropped)."""
    return lambda: capsys.readouterr().out.split("\n")[:-1]


def report(result, lines):
    assert gapscope.display_analysis(result) is None
    return lines()


def completeness(score_text, label):
    return f"  Completeness: {score_text} / 1.0 ({label})"


# ------------------------------------------------------------ _completeness_label


class FloatLike:
    def __float__(self):
        return 0.61


@pytest.mark.parametrize(
    "score, label",
    [(0.8, "Excellent"), (0.79, "Good"), (0.6, "Good"), (0.59, "Fair"), (0.4, "Fair"), (0.39, "Poor"),
     (0.0, "Poor"), (1.5, "Excellent"), (-0.1, "Poor"), (1, "Excellent"), (True, "Excellent"),
     (0.58, "Fair"), (0.799, "Good"), (FloatLike(), "Good"), (-0.005, "Poor")],
)
def test_label_bands_of_the_truncated_percentage(score, label):
    assert gapscope._completeness_label(score) == label
    assert gapscope._completeness_label(score=score) == label


def python_label(score):
    pct = int(score * 100.0)
    return "Excellent" if pct >= 80 else "Good" if pct >= 60 else "Fair" if pct >= 40 else "Poor"


@settings(max_examples=EXAMPLES)
@given(st.one_of(st.floats(allow_nan=False, allow_infinity=False, min_value=-1e300, max_value=1e300),
                 st.floats(min_value=-2.0, max_value=2.0), st.integers(-10**6, 10**6)))
def test_label_matches_the_interpreter_truncation(score):
    assert gapscope._completeness_label(score) == python_label(score)


@pytest.mark.parametrize(
    "score, label",
    [(math.nan, "Poor"), (math.inf, "Excellent"), (-math.inf, "Poor"), (1e308, "Excellent"), (-1e308, "Poor")],
)
def test_label_of_scores_the_percentage_cannot_hold(score, label):
    # int() of these would raise; a label the user can read is shown instead.
    assert gapscope._completeness_label(score) == label


# ------------------------------------------------------------ display_gap_with_impact

FULL_GAP = {
    "id": "gap_1",
    "title": "Escalation path",
    "description": "Who takes over when the agent fails?",
    "impact_on_prd": "Support workflow section",
    "impact_on_trd": "Handoff API",
    "impact_level": "critical",
    "risk_if_skipped": "Customers stuck in loops",
}


def test_gap_with_every_key_prints_seven_lines(recorder, lines):
    gap = dict(FULL_GAP)
    assert gapscope.display_gap_with_impact(gap, 3) is None
    assert lines() == [
        "",
        "  <bold>Gap 3: Escalation path</bold>",
        "  Impact: <red>CRITICAL</red>",
        "  Who takes over when the agent fails?",
        "    <yellow>PRD impact:</yellow> Support workflow section",
        "    <yellow>TRD impact:</yellow> Handoff API",
        "    <red>Risk if skipped:</red> Customers stuck in loops",
    ]
    assert gap == FULL_GAP


def test_empty_gap_prints_four_lines(recorder, lines):
    gapscope.display_gap_with_impact({}, 1)
    assert lines() == ["", "  <bold>Gap 1: Unknown</bold>", "  Impact: <dim>UNKNOWN</dim>", "  "]


@pytest.mark.parametrize(
    "level, shown",
    [("critical", "<red>CRITICAL</red>"), ("significant", "<yellow>SIGNIFICANT</yellow>"),
     ("Critical", "<dim>CRITICAL</dim>"), ("SIGNIFICANT", "<dim>SIGNIFICANT</dim>"), ("minor", "<dim>MINOR</dim>"),
     ("straße", "<dim>STRASSE</dim>"),
     # Not a str: shown through str() as it is (no upper-casing) and dim.
     (None, "<dim>None</dim>"), (3, "<dim>3</dim>"), (0.5, "<dim>0.5</dim>"), (["critical"], "<dim>['critical']</dim>"),
     ({"x": 1}, "<dim>{'x': 1}</dim>")],
)
def test_impact_colour_follows_the_raw_level(recorder, lines, level, shown):
    gapscope.display_gap_with_impact({"impact_level": level, "title": "T"}, 1)
    assert lines()[2] == f"  Impact: {shown}"


def test_level_that_is_not_a_str_prints_the_whole_gap(recorder, lines):
    gapscope.display_gap_with_impact(dict(FULL_GAP, impact_level=None), 2)
    out = lines()
    assert out[2] == "  Impact: <dim>None</dim>"
    assert len(out) == 7


def test_empty_prd_impact_omits_only_that_line(recorder, lines):
    gapscope.display_gap_with_impact({"impact_on_prd": "", "impact_on_trd": "Storage", "risk_if_skipped": 0}, 1)
    assert lines()[3:] == ["  ", "    <yellow>TRD impact:</yellow> Storage"]


def test_values_are_shown_through_str(recorder, lines):
    gapscope.display_gap_with_impact(
        {"title": 7, "description": None, "impact_on_prd": 12, "impact_on_trd": ["a"], "risk_if_skipped": 1.5}, 2.9
    )
    assert lines() == [
        "",
        "  <bold>Gap 2: 7</bold>",
        "  Impact: <dim>UNKNOWN</dim>",
        "  None",
        "    <yellow>PRD impact:</yellow> 12",
        "    <yellow>TRD impact:</yellow> ['a']",
        "    <red>Risk if skipped:</red> 1.5",
    ]
    assert recorder.calls[0] == ("bold", "Gap 2: 7")


@pytest.mark.parametrize("title", ["plain", "\u00e9t\u00e9", "\u65e5\u672c\u8a9e", "\U0001f680 launch", ""])
def test_texts_of_every_width(recorder, lines, title):
    gapscope.display_gap_with_impact({"title": title, "description": title, "impact_level": title}, 1)
    assert lines()[1:4] == [f"  <bold>Gap 1: {title}</bold>", f"  Impact: <dim>{title.upper()}</dim>", f"  {title}"]


# ------------------------------------------------------------ display_analysis: the examples


def test_empty_result(recorder, lines):
    assert report(Result.empty("No API key"), lines) == [
        "",
        "[bar] 0.5 Requirements Completeness",
        completeness("0.50", "Fair"),
        "<dim>  No API key</dim>",
        "",
        NO_GAPS,
        "",
        verdict(0),
    ]


def test_gaps_sorted_by_rank_with_tags(recorder, lines):
    gaps = [
        {"title": "P", "impact_level": "minor"},
        {"title": "Q", "impact_level": "important"},
        {"title": "R", "impact_level": "critical"},
        {"title": "S"},
        {"title": "T", "impact_level": "significant"},
    ]
    before = list(gaps)
    out = report(Result(0.7, gaps=gaps), lines)
    assert out[3:] == [
        "",
        "[info] Gaps found:",
        "<red>  HIGH   </red>R",
        "<yellow>  MEDIUM </yellow>T",
        "<dim>  LOW    </dim>P",
        "<dim>  LOW    </dim>S",
        "<dim>  LOW    </dim>Q",
        "",
        *YOU_CAN,
        "",
        verdict(1, ""),
    ]
    assert gaps == before


def test_capitalised_critical_is_tagged_high_but_ranks_last(recorder, lines):
    gaps = [{"title": "Cap", "impact_level": "Critical"}, {"title": "Min", "impact_level": "minor"}]
    out = report(Result(0.7, gaps=gaps), lines)
    assert out[3:] == ["", "[info] Gaps found:", "<dim>  LOW    </dim>Min", "<red>  HIGH   </red>Cap", "", "",
                       verdict(0)]


@pytest.mark.parametrize("count, plural", [(1, ""), (2, "s"), (3, "s")])
def test_verdict_counts_lower_case_critical_gaps(recorder, lines, count, plural):
    gaps = [{"title": f"G{i}", "impact_level": "critical"} for i in range(count)]
    gaps.append({"title": "Other", "impact_level": "CRITICAL"})
    out = report(Result(0.3, gaps=gaps), lines)
    assert out[-1] == verdict(count, plural)
    assert out[-7:-2] == ["", *YOU_CAN]


def test_gaps_without_critical_ones_have_no_options(recorder, lines):
    out = report(Result(0.7, gaps=[{"title": "A", "impact_level": "significant"}]), lines)
    assert out[3:] == ["", "[info] Gaps found:", "<yellow>  MEDIUM </yellow>A", "", "", verdict(0)]


def test_sufficient_with_critical_gaps(recorder, lines):
    out = report(Result(0.9, "", True, [{"title": "A", "impact_level": "critical"}]), lines)
    assert out[3:] == ["", "[info] Gaps found:", "<red>  HIGH   </red>A", "", *YOU_CAN, "", SUFFICIENT]


def test_gap_with_empty_description_and_a_risk(recorder, lines):
    gaps = [{"title": "A", "impact_level": "minor", "description": "", "risk_if_skipped": "Outages"},
            {"title": "B", "impact_level": "minor", "description": "Volume", "risk_if_skipped": ""}]
    out = report(Result(0.7, gaps=gaps), lines)
    assert out[5:10] == ["<dim>  LOW    </dim>A", "<dim>           Risk: Outages</dim>",
                         "<dim>  LOW    </dim>B", "<dim>           Volume</dim>", ""]


def test_insights(recorder, lines):
    insights = [
        {"severity": "nice_to_have", "title": "N", "description": "n", "recommendation": "r"},
        {"severity": "important", "title": "I1", "description": "i1", "recommendation": "never shown"},
        {"severity": "critical", "title": "C1", "description": "c1", "recommendation": "Fix it"},
        {"severity": "critical", "title": "C2"},
        {"severity": "CRITICAL", "title": "Upper"},
        {"title": "No severity"},
        {"severity": "important", "title": 42, "description": 7},
    ]
    out = report(Result(0.9, "", True, insights=insights), lines)
    assert out[5:] == [
        "",
        "[warning] Critical issues identified:",
        "    <red>!</red> <bold>C1</bold>",
        "      c1",
        "<dim>      Recommendation: Fix it</dim>",
        "    <red>!</red> <bold>C2</bold>",
        "      ",
        "",
        "[info] Important considerations:",
        "    <yellow>*</yellow> <bold>I1</bold>",
        "      i1",
        "    <yellow>*</yellow> <bold>42</bold>",
        "      7",
        "",
        SUFFICIENT,
    ]
    # The insight title reaches display.bold as the model gave it.
    assert ("bold", 42) in recorder.calls


def test_numbers_as_data_points_and_notes(recorder, lines):
    out = report(Result(0.9, "", True, data_points_found=[5000, "Spanish", 2.5], architecture_notes=[1, "RAG"]), lines)
    assert out == [
        "",
        "[info] Data points I extracted from your answers:",
        "<dim>    5000</dim>",
        "<dim>    Spanish</dim>",
        "<dim>    2.5</dim>",
        "",
        "[bar] 0.9 Requirements Completeness",
        completeness("0.90", "Excellent"),
        "",
        NO_GAPS,
        "",
        "[info] Architecture recommendations:",
        "<dim>    > 1</dim>",
        "<dim>    > RAG</dim>",
        "",
        SUFFICIENT,
    ]


class PlainResult:
    """Any object with the attributes is reported; nothing checks its type."""

    def __init__(self, **attributes):
        defaults = dict(summary="", data_points_found=[], completeness_score=0.0, completeness_reasoning="",
                        gaps=[], insights=[], architecture_notes=[], sufficient_for_prd=False)
        defaults.update(attributes)
        self.__dict__.update(defaults)


@pytest.mark.parametrize("result", [Result(1), PlainResult(completeness_score=1)])
def test_int_score_one(recorder, lines, result):
    out = report(result, lines)
    assert out[2] == completeness("1.00", "Excellent")
    # The bar gets the attribute's own value.
    assert recorder.calls[0] == ("confidence_bar", result.completeness_score, "Requirements Completeness")
    assert type(recorder.calls[0][1]) is type(result.completeness_score)


def test_summary_goes_to_narrative_after_a_line_feed(recorder, lines):
    out = report(PlainResult(summary=12), lines)
    assert out[:3] == ["[narrative] ", "12", ""]
    assert recorder.calls[0] == ("narrative", "\n12")


def test_every_section_in_order(recorder, lines):
    result = Result(
        0.456, "Most areas covered", False,
        gaps=[{"title": "Minor", "impact_level": "minor", "description": "d"},
              {"title": "Crit", "impact_level": "critical", "risk_if_skipped": "r"}],
        insights=[{"severity": "important", "title": "Imp", "description": "i"},
                  {"severity": "critical", "title": "Cr", "description": "c"}],
        data_points_found=["500 calls a day"], architecture_notes=["Queue"], summary="A call centre",
    )
    assert report(result, lines) == [
        "[narrative] ",
        "A call centre",
        "",
        "[info] Data points I extracted from your answers:",
        "<dim>    500 calls a day</dim>",
        "",
        "[bar] 0.456 Requirements Completeness",
        completeness("0.46", "Fair"),
        "<dim>  Most areas covered</dim>",
        "",
        "[info] Gaps found:",
        "<red>  HIGH   </red>Crit",
        "<dim>           Risk: r</dim>",
        "<dim>  LOW    </dim>Minor",
        "<dim>           d</dim>",
        "",
        *YOU_CAN,
        "",
        "[warning] Critical issues identified:",
        "    <red>!</red> <bold>Cr</bold>",
        "      c",
        "",
        "[info] Important considerations:",
        "    <yellow>*</yellow> <bold>Imp</bold>",
        "      i",
        "",
        "[info] Architecture recommendations:",
        "<dim>    > Queue</dim>",
        "",
        verdict(1, ""),
    ]


@settings(max_examples=EXAMPLES)
@given(st.one_of(st.floats(), st.integers(-10**30, 10**30)))
def test_score_is_formatted_as_the_interpreter_does(score):
    written = io.StringIO()
    quiet = RecordingDisplay()
    quiet._message = quiet.confidence_bar = lambda *args: None
    saved_display, saved_stdout = gapscope.display, sys.stdout
    gapscope.display, sys.stdout = quiet, written
    try:
        gapscope.display_analysis(PlainResult(completeness_score=score, sufficient_for_prd=True))
    finally:
        gapscope.display, sys.stdout = saved_display, saved_stdout
    label = gapscope._completeness_label(score)
    assert written.getvalue().split("\n")[1] == f"  Completeness: {format(score, '.2f')} / 1.0 ({label})"


def expected_gap_lines(gaps):
    """The tag lines as the interpreter's sorted() and str.upper() give them."""
    severity_order = {"critical": 0, "significant": 1, "minor": 2}
    ranked = sorted(gaps, key=lambda gap: severity_order.get(gap.get("impact_level", "minor"), 3))
    tags = {"CRITICAL": "<red>  HIGH   </red>", "SIGNIFICANT": "<yellow>  MEDIUM </yellow>"}
    return [tags.get(gap.get("impact_level", "unknown").upper(), "<dim>  LOW    </dim>") + gap["title"]
            for gap in ranked]


LEVELS = st.sampled_from(["critical", "significant", "minor", "Critical", "CRITICAL", "Significant", "important",
                          "critical ", "crit", "\u00dfignificant"]) | st.text(max_size=12)


@settings(max_examples=EXAMPLES)
@given(st.lists(st.one_of(LEVELS, st.none()), max_size=12))
def test_gap_order_and_tags_match_the_interpreter(levels):
    gaps = [{"title": f"G{i}"} if level is None else {"title": f"G{i}", "impact_level": level}
            for i, level in enumerate(levels)]
    written = io.StringIO()
    saved_display, saved_stdout = gapscope.display, sys.stdout
    gapscope.display, sys.stdout = RecordingDisplay(), written
    try:
        gapscope.display_analysis(Result(0.5, "", True, gaps))
    finally:
        gapscope.display, sys.stdout = saved_display, saved_stdout
    shown = [line for line in written.getvalue().split("\n") if line.startswith(("<red>  HIGH", "<yellow>", "<dim>  LOW"))]
    assert shown == expected_gap_lines(gaps)


# ------------------------------------------------------------ what the model may write


@pytest.mark.parametrize("level, shown", [(None, "None"), (4, "4"), (["critical"], "['critical']"), (0.0, "0.0")])
def test_level_that_is_not_a_str_ranks_last_and_is_tagged_low(recorder, lines, level, shown):
    gaps = [{"title": "Odd", "impact_level": level, "description": "d"},
            {"title": "Other", "impact_level": "nonsense"},
            {"title": "Sig", "impact_level": "significant"}]
    out = report(Result(0.7, gaps=gaps), lines)
    assert out[3:10] == ["", "[info] Gaps found:", "<yellow>  MEDIUM </yellow>Sig", "<dim>  LOW    </dim>Odd",
                         "<dim>           d</dim>", "<dim>  LOW    </dim>Other", ""]
    assert out[-1] == verdict(0)


def test_records_that_are_not_dicts_are_passed_over(recorder, lines):
    gaps = ["gap_1", {"title": "Real", "impact_level": "critical"}, None, 3, ["critical"]]
    insights = ["critical", {"severity": "critical", "title": "Seen", "description": "x"}, None]
    out = report(Result(0.7, gaps=gaps, insights=insights), lines)
    assert out[3:] == ["", "[info] Gaps found:", "<red>  HIGH   </red>Real", "", *YOU_CAN,
                       "", "[warning] Critical issues identified:", "    <red>!</red> <bold>Seen</bold>", "      x",
                       "", verdict(1, "")]


def test_only_records_that_are_not_dicts(recorder, lines):
    out = report(Result(0.7, gaps=["a", "b"], insights=[1]), lines)
    assert out[3:] == ["", "[info] Gaps found:", "", "", verdict(0)]


@pytest.mark.parametrize("score, text, label", [(math.nan, "nan", "Poor"), (math.inf, "inf", "Excellent"),
                                                (-math.inf, "-inf", "Poor")])
def test_score_that_is_not_finite(recorder, lines, score, text, label):
    out = report(Result(score, "", True), lines)
    assert out[2] == completeness(text, label)


# ------------------------------------------------------------ lookups at each use


def test_completeness_label_is_looked_up_by_name(recorder, lines, monkeypatch):
    monkeypatch.setattr(gapscope, "_completeness_label", lambda score: f"label of {score}")
    assert report(Result(0.25, "", True), lines)[2] == completeness("0.25", "label of 0.25")


def test_display_is_looked_up_at_each_use(monkeypatch, lines):
    first, second = RecordingDisplay(), RecordingDisplay()
    monkeypatch.setattr(gapscope, "display", first)
    first.info = lambda text: monkeypatch.setattr(gapscope, "display", second)
    report(Result(0.5, gaps=[{"title": "A"}]), lines)
    # Everything after "Gaps found:" went through the second display.
    assert [call[0] for call in first.calls] == ["confidence_bar"]
    assert second.calls[0] == ("dim", "  LOW    ")


def test_replacing_builtin_print_has_no_effect(recorder, lines, monkeypatch):
    printed = []
    monkeypatch.setattr(builtins, "print", lambda *args, **kwargs: printed.append(args))
    gapscope.display_gap_with_impact({}, 1)
    monkeypatch.undo()
    assert printed == []
    assert lines() == ["", "  <bold>Gap 1: Unknown</bold>", "  Impact: <dim>UNKNOWN</dim>", "  "]


def test_missing_display_raises_name_error(recorder, lines, monkeypatch):
    monkeypatch.delattr(gapscope, "display")
    with pytest.raises(NameError, match="display"):
        gapscope.display_gap_with_impact({}, 1)
    assert lines() == []


class RecordingStdout:
    """A console that records each write call."""

    def __init__(self):
        self.writes = []

    def write(self, text):
        self.writes.append(text)
        return len(text)

    def flush(self):
        pass


def writes_of(monkeypatch, block):
    console = RecordingStdout()
    monkeypatch.setattr(sys, "stdout", console)
    block()
    monkeypatch.setattr(sys, "stdout", sys.__stdout__)
    return console.writes


def test_lines_are_written_as_print_writes_them(recorder, monkeypatch):
    native = writes_of(monkeypatch, lambda: gapscope.display_gap_with_impact({"title": "\u00e9t\u00e9"}, 1))

    def by_print():
        print()
        print("  <bold>Gap 1: \u00e9t\u00e9</bold>")
        print("  Impact: <dim>UNKNOWN</dim>")
        print("  ")

    assert native == writes_of(monkeypatch, by_print)


def outcome(block):
    try:
        block()
    except Exception as error:  # the outcome compared is the exception itself
        return type(error), str(error)
    return None


class NoWrite:
    pass


@pytest.mark.parametrize("console", [None, NoWrite(), "missing"], ids=["none", "no-write", "missing"])
def test_unusual_stdout_behaves_as_with_print(recorder, monkeypatch, console):
    if console == "missing":
        monkeypatch.delattr(sys, "stdout")
    else:
        monkeypatch.setattr(sys, "stdout", console)
    native = outcome(lambda: gapscope.display_gap_with_impact({}, 1))
    by_print = outcome(print)
    monkeypatch.undo()
    assert native == by_print


def test_print_replaced_before_import_is_the_one_used():
    script = """
import builtins, json
calls = []
original = builtins.print
builtins.print = lambda *args, **kwargs: calls.append([args, kwargs])
import types
import brevanta.gapscope as gapscope
builtins.print = original
style = lambda text: text
gapscope.display = types.SimpleNamespace(bold=style, dim=style)
gapscope.display_gap_with_impact({}, 1)
print(json.dumps(calls))
"""
    done = subprocess.run([sys.executable, "-c", SDK_ON_FIRST_USE + script], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p)))
    assert done.returncode == 0, done.stderr
    assert json.loads(done.stdout) == [[[], {}], [["  Gap 1: Unknown"], {}], [["  Impact: UNKNOWN"], {}], [["  "], {}]]


def style_module(name, **overrides):
    module = types.ModuleType(name)
    for op in ("red", "yellow", "bold", "dim"):
        setattr(module, op, lambda text, op=op: f"<{op}>{text}</{op}>")
    module.__dict__.update(overrides)
    return module


def test_display_module_attributes_as_getattr_gives_them(monkeypatch, lines):
    lazy = types.ModuleType("lazy")
    lazy.__getattr__ = lambda name: getattr(style_module("styles"), name)
    monkeypatch.setattr(gapscope, "display", lazy)
    gapscope.display_gap_with_impact({}, 1)
    assert lines()[1:3] == ["  <bold>Gap 1: Unknown</bold>", "  Impact: <dim>UNKNOWN</dim>"]

    class Styles(types.ModuleType):
        @property
        def dim(self):
            return lambda text: f"[dim {text}]"

    subclassed = Styles("subclassed")
    subclassed.bold = style_module("styles").bold
    monkeypatch.setattr(gapscope, "display", subclassed)
    gapscope.display_gap_with_impact({}, 1)
    assert lines()[2] == "  Impact: [dim UNKNOWN]"

    incomplete = style_module("incomplete")
    del incomplete.dim
    monkeypatch.setattr(gapscope, "display", incomplete)
    with pytest.raises(AttributeError) as raised:
        gapscope.display_gap_with_impact({}, 1)
    with pytest.raises(AttributeError) as expected:
        incomplete.dim
    assert str(raised.value) == str(expected.value)


# ------------------------------------------------------------ exceptions leave, written lines stay


def test_raising_display_operation_ends_the_report(recorder, lines):
    def refuse(text):
        raise RuntimeError(f"refused {text}")

    recorder.warning = refuse
    result = Result(0.7, gaps=[{"title": "A", "impact_level": "critical"}], insights=[{"severity": "critical"}])
    with pytest.raises(RuntimeError, match="refused Critical issues identified:"):
        gapscope.display_analysis(result)
    out = lines()
    assert out[-6:] == ["", *YOU_CAN, ""]


def test_raising_style_operation_ends_the_gap_display(recorder, lines):
    recorder.yellow = lambda text: 1 / 0
    with pytest.raises(ZeroDivisionError):
        gapscope.display_gap_with_impact(dict(FULL_GAP), 1)
    assert lines() == ["", "  <bold>Gap 1: Escalation path</bold>", "  Impact: <red>CRITICAL</red>",
                       "  Who takes over when the agent fails?"]


class RefusingStdout:
    """A console whose write raises once a line containing `marker` is written."""

    def __init__(self, marker, keep=True):
        self.marker, self.keep, self.text = marker, keep, []

    def write(self, text):
        if self.marker in text:
            raise OSError("console gone")
        if self.keep:
            self.text.append(text)
        return len(text)

    def flush(self):
        pass


def test_raising_print_ends_the_report(recorder, monkeypatch):
    console = RefusingStdout("Completeness:")
    monkeypatch.setattr(sys, "stdout", console)
    with pytest.raises(OSError, match="console gone"):
        gapscope.display_analysis(Result(0.5, "why", summary="S"))
    assert "".join(console.text) == "[narrative] \nS\n\n[bar] 0.5 Requirements Completeness\n"


class Partial:
    summary = "S"
    data_points_found = []
    completeness_score = 0.5
    completeness_reasoning = ""


def test_result_lacking_an_attribute(recorder, lines):
    with pytest.raises(AttributeError, match="gaps"):
        gapscope.display_analysis(Partial())
    assert lines() == ["[narrative] ", "S", "", "[bar] 0.5 Requirements Completeness", completeness("0.50", "Fair")]


def test_none_raises_before_anything_is_written(recorder, lines):
    with pytest.raises(AttributeError, match="summary"):
        gapscope.display_analysis(None)
    assert lines() == []


def test_score_the_label_rejects(recorder, lines):
    with pytest.raises(TypeError):
        gapscope.display_analysis(PlainResult(completeness_score="0.9"))
    assert lines() == [""]


def test_level_whose_upper_raises(recorder, lines):
    class Level(str):
        def upper(self):
            raise LookupError("no upper")

    gaps = [{"title": "A", "impact_level": "minor"}, {"title": "B", "impact_level": Level("critical")}]
    with pytest.raises(LookupError):
        gapscope.display_analysis(Result(0.7, gaps=gaps))
    # A str subclass equal to "critical" still ranks first.
    assert lines()[-1] == "[info] Gaps found:"


# ------------------------------------------------------------ leaks


class Discard:
    """A console that keeps nothing, so the leak check sees only our allocations."""

    def write(self, text):
        return len(text)

    def flush(self):
        pass


def realistic_result():
    levels = ["critical", "significant", "minor", None, "Critical"]
    gaps = [{"id": f"gap_{i}", "title": f"Gap {i}", "description": "d" * i, "impact_level": levels[i % 5],
             "risk_if_skipped": "r" if i % 2 else ""} for i in range(10)]
    insights = [{"severity": s, "title": s, "description": "x", "recommendation": "y"}
                for s in ("critical", "important", "nice_to_have")] + ["not a record"]
    return Result(0.62, "reason", False, gaps, insights, ["a", 1], ["n"], "summary")


# A longer warm-up refills the interpreter's free lists that earlier tests
# emptied, so that their refill is not taken for a leak.
LEAK_CHECK = dict(warmup=300)


@pytest.mark.parametrize(
    "block",
    [
        lambda: gapscope._completeness_label(0.5),
        lambda: gapscope._completeness_label(math.nan),
        raising(TypeError, gapscope._completeness_label, "0.5"),
        lambda: gapscope.display_gap_with_impact(dict(FULL_GAP), 1),
        lambda: gapscope.display_gap_with_impact({"impact_level": ["x"]}, 2.5),
        raising(TypeError, gapscope.display_gap_with_impact, OrderedDict(), 1),
        lambda: gapscope.display_analysis(realistic_result()),
        lambda: gapscope.display_analysis(Result.empty("x")),
        raising(AttributeError, gapscope.display_analysis, None),
        raising(AttributeError, gapscope.display_analysis, Partial()),
        raising(TypeError, gapscope.display_analysis, PlainResult(completeness_score=None)),
    ],
    ids=["label", "label-nan", "label-error", "gap", "gap-odd-level", "gap-error", "report", "report-empty",
         "report-none", "report-partial", "report-bad-score"],
)
def test_no_leak(monkeypatch, block):
    # Set here, not in a fixture: output capture resets stdout between phases.
    monkeypatch.setattr(sys, "stdout", Discard())
    assert_no_leak(block, **LEAK_CHECK)


@pytest.mark.parametrize(
    "call", [lambda: gapscope.display_analysis(realistic_result()),
             lambda: gapscope.display_gap_with_impact({"title": "t"}, 1)], ids=["report", "gap"])
def test_no_leak_when_display_raises(monkeypatch, call):
    from brevanta import display

    def refuse(text):
        raise RuntimeError("refused")

    failing = type("FailingDisplay", (), {})()
    failing.__dict__.update({name: getattr(display, name) for name in dir(display) if not name.startswith("_")})
    failing.warning = failing.bold = refuse
    monkeypatch.setattr(gapscope, "display", failing)
    monkeypatch.setattr(sys, "stdout", Discard())
    assert_no_leak(raising(RuntimeError, call), **LEAK_CHECK)


@pytest.mark.parametrize("console", [RefusingStdout("Gap", keep=False), "missing"], ids=["write-raises", "lost-stdout"])
def test_no_leak_when_print_raises(monkeypatch, console):
    silent = {name: (lambda *args: None) for name in ("narrative", "info", "warning", "success", "confidence_bar")}
    monkeypatch.setattr(gapscope, "display", style_module("styles", **silent))
    if console == "missing":
        monkeypatch.delattr(sys, "stdout")
        expected = RuntimeError
    else:
        monkeypatch.setattr(sys, "stdout", console)
        expected = OSError
    assert_no_leak(raising(expected, gapscope.display_gap_with_impact, {}, 1), **LEAK_CHECK)
    assert_no_leak(raising(expected, gapscope.display_analysis, realistic_result()), **LEAK_CHECK)
