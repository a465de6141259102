"""The figure checker: each normalisation, each thing that looks like a number but is not a figure,
and the example run's documents, whose every listed figure must be absent from the sources."""

import re
from pathlib import Path

import pytest

from brevanta.pipeline.figures import find_figures, source_values, unsourced_figures

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.mark.parametrize("document, source, listed", [
    # the same value however it is written
    ("About 15,000 leads.", "about 15000 leads", []),
    ("About 15000 leads.", "about 15k leads", []),
    ("About 15k leads.", "about 15,000 leads", []),
    ("A budget of ₹35,00,000.", "a budget of ₹35 lakh", []),
    ("A budget of 1.2 million.", "1,200,000 in total", []),
    ("Occupancy is 86%.", "occupancy of 86 per cent", []),
    ("Occupancy is 86 percent.", "86% occupied", []),
    ("Token amount ₹5,000.", "a token of Rs. 5000", []),
    ("Token amount ₹5,000.", "a token of 5,000 rupees", []),
    ("Token amount ₹5,000.", "a token of 5000", []),  # an amount without its sign in the source
    ("Token amount $5,000.", "a token of ₹5,000", ["$5,000"]),  # another currency is another amount
    ("Live by 15 May.", "before May 15th", []),
    ("Live by 2025-05-15.", "before 15 May", []),
    ("Live by 15/05/2025.", "on 2025-05-15", []),
    ("Held on 11 March.", "held on March 11", []),
    ("Live by 16 May.", "before 15 May", ["16 May"]),
    ("Open until 9 pm.", "until 21:00", []),
    ("Open from 09:00.", "from 9 am", []),
    ("Replies after 11 pm.", "after 9 pm", ["11 pm"]),
    ("Seven days a week: 7 days.", "seven days a week", []),  # a number written as a word in the source
    ("Stays of 2-6 months.", "2 to 6 months", []),
    ("A 6.5% booking rate.", "6.5% book", []),
    ("A 6.5% booking rate.", "65 bookings", ["6.5%"]),
    ("Refreshed every 5 minutes.", "60 a day", ["5 minutes"]),
    ("Within 60 seconds, at the 95th percentile.", "60 a day", ["95th"]),
    # not figures
    ("FR-3 and NFR-12 apply.", "", []),
    ("## 4. Functional requirements\n\n1. Greeting\n2) Qualification\n- 3. Booking", "", []),
    ("See section 7 and https://example.com/v2/42.", "", []),
    ("Listed on 99acres and S3, version v2.", "", []),
    ("SOC 2 and ISO 27001 audits, TLS 1.3 only, HTTP 429 retried.", "", []),
    ("<!-- end 42 -->", "", []),
])
def test_figures_against_the_sources(document, source, listed):
    assert [item.text for item in unsourced_figures(document, source_values([source]))] == listed


def test_a_figure_is_listed_with_its_sentence():
    document = "## Goals\n\nFirst reply in time. Answer 99% of leads\nwithin a minute. Book visits."
    (item,) = unsourced_figures(document, source_values(["nothing"]))
    assert (item.text, item.sentence) == ("99%", "Answer 99% of leads within a minute.")


def _numbers(text):
    """Every number of `text` as plain digits, the way a person would search for it (not a name such as 99acres)."""
    text = re.sub(r"(\d)(st|nd|rd|th)\b", r"\1", text)  # 95th is 95
    return {match.replace(",", "") for match in re.findall(r"(?<![\w.])\d[\d,]*(?:\.\d+)?(?![A-Za-z\d])", text)}


@pytest.mark.parametrize("kind, expected, sourced", [
    ("prd", ["11 pm", "₹14,000", "1 June", "99%", "5%", "2023"], {"2,650", "86%", "₹5,000", "9 am", "₹9,500"}),
    ("trd", ["24-hour", "5 minutes", "10 seconds", "95th", "300", "500", "5", "2023"], {"9,000", "15,000", "9 pm"}),
])
def test_every_figure_listed_for_the_examples_is_absent_from_the_interview(kind, expected, sourced):
    interview = (EXAMPLES / "interview.md").read_text(encoding="utf-8")
    document = (EXAMPLES / "replay" / f"{kind}.md").read_text(encoding="utf-8")
    listed = [item.text for item in unsourced_figures(document, source_values([interview]))]
    assert listed == expected
    present = _numbers(interview)
    for text in listed:
        if "pm" in text or "June" in text:  # a time or a date: the interview names no such one
            assert text not in interview and not re.search(r"\b(23:00|June)\b", interview)
        else:
            assert _numbers(text) and not _numbers(text) & present, text
    # and every figure the documents share with the interview is found there
    found = {figure.text for figure in find_figures(document)} - set(listed)
    assert sourced <= found
