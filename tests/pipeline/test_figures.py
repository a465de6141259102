"""The figure check: the labelled cases (no figure that must be listed is missed, few false alarms),
how a listed figure is quoted, cited words looked at first, and the example run's documents, whose
every listed figure must be absent from the interview."""

import re
from pathlib import Path

import pytest
from figure_cases import CASES, score

from brevanta.pipeline.figures import document_figures, source_values, unsourced_figures

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
FALSE_ALARMS_AT_MOST = 0.03


def listed(document, sources, cited=None):
    return [item.text for item in unsourced_figures(document, source_values(sources), cited)]


@pytest.mark.parametrize("case", CASES, ids=[f"{index}-{case.document[:40]}" for index, case in enumerate(CASES)])
def test_every_figure_that_must_be_listed_is(case):
    found = listed(case.document, case.sources)
    assert [figure for figure in case.listed if figure not in found] == [], (case, found)


def test_false_alarms_on_the_labelled_cases_stay_within_three_per_cent():
    result = score(listed)
    assert result.false_alarm_rate <= FALSE_ALARMS_AT_MOST, [
        (case.document, figure) for case, figure in result.false_alarms]


@pytest.mark.parametrize("document, figure, quoted", [
    ("## Goals\n\nFirst reply in time. Answer 99% of leads\nquickly. Book visits.", "99%",
     "Answer 99% of leads quickly."),
    ("# Title\n\n## 30% fewer cold leads\nThe agent answers first.", "30%", "30% fewer cold leads"),
    ("Targets:\n\n| Metric | Target |\n|---|---|\n| **First reply** | 800 ms |\n| Uptime | 99.9% |\n", "800 ms",
     "First reply | 800 ms"),
    ("Text.\n\n<!-- assume 42 properties -->\n", "42 properties", "<!-- assume 42 properties -->"),
])
def test_a_figure_is_quoted_with_its_sentence_heading_or_table_row(document, figure, quoted):
    item, *_ = unsourced_figures(document, source_values(["nothing"]))
    assert (item.text, item.sentence) == (figure, quoted)


CITED_DOCUMENT = "We run 34 properties. Occupancy is 86%."  # the sentences: [0, 21) and [22, 39)


@pytest.mark.parametrize("cited, sources, expected", [
    ({(0, 21): ["we operate 34 properties"]}, "nothing", ["86%"]),  # found in its cited words
    ({(0, 21): ["we operate 43 properties"]}, "34 properties", ["86%"]),  # not there: all the sources
    ({(22, 39): ["we operate 34 properties"]}, "nothing", ["34 properties", "86%"]),  # another sentence's
    ({(22, 39): ["86 properties"]}, "nothing", ["34 properties", "86%"]),  # cited, but not a percentage
])
def test_a_figure_is_looked_up_in_its_sentences_cited_words_first(cited, sources, expected):
    assert listed(CITED_DOCUMENT, [sources], cited) == expected


# Each figure the example documents list, with what the interview would say if it held that figure,
# written any usual way: none of these may be in it.
EXAMPLE_LISTS = {
    "prd": {"11 pm": r"\b11(?::00)?\s?pm|23:00", "₹14,000": r"\b14,?000|14k", "1 June": r"\b1(?:st)? June|June 1\b",
            "99%": r"\b99\s?(?:%|per ?cent)", "5%": r"(?<![\d.])5\s?(?:%|per ?cent)", "18": r"\b18\b(?!%)",
            "2023": r"2023", "30-minute": r"\b30[- ]?min|half an hour", "15-minute": r"\b15[- ]?min"},
    "trd": {"1 second": r"\b(?:1|one|a)[- ]?sec", "24-hour": r"\b24[- ]?h", "5 minutes": r"\b(?:5|five)[- ]?min",
            "10 seconds": r"\b(?:10|ten)[- ]?sec", "95th": r"\b95",
            "9,000 new conversations a month": r"9,000 (?:new )?conversations", "300 a day": r"(?<![\d,])300\b",
            "500 a day": r"(?<![\d,])500\b", "60 new conversations an hour": r"\b60\b[^.]*\b(?:an|per|a) hour",
            "5 concurrent model calls": r"\b(?:5|five) (?:concurrent )?(?:model )?calls",
            "2x": r"\b2\s?x\b|twice|double", "2023": r"2023", "30-minute": r"\b30[- ]?min|half an hour",
            "15-minute": r"\b15[- ]?min"},
}
# And figures the documents share with the interview, each in another kind of figure than a bare number.
EXAMPLE_FOUND = {
    "prd": {"2,650 beds", "86%", "₹5,000", "9 am", "₹9,500", "one minute", "45 days", "2-6 month", "12 months"},
    "trd": {"15,000 a month", "9 pm", "60 seconds", "12 months"},
}


@pytest.mark.parametrize("kind", ["prd", "trd"])
def test_every_figure_listed_for_the_examples_is_absent_from_the_interview(kind):
    interview = (EXAMPLES / "interview.md").read_text(encoding="utf-8")
    document = (EXAMPLES / "replay" / f"{kind}.md").read_text(encoding="utf-8")
    found = listed(document, [interview])
    assert found == list(EXAMPLE_LISTS[kind])
    for figure, pattern in EXAMPLE_LISTS[kind].items():
        assert not re.search(pattern, interview, re.IGNORECASE), figure
    assert EXAMPLE_FOUND[kind] <= {figure.text for figure in document_figures(document)} - set(found)
