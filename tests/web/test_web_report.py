"""The browser's report against the console's: on generated analyses, the web report's gaps come in
the native report's order with its tags, its critical count and its verdict, all taken from the one
table (`brevanta.pipeline.severity`) that both are held to."""

from __future__ import annotations

import contextlib
import io
import os
import string
from unittest import mock

from hypothesis import given, settings
from hypothesis import strategies as st

from brevanta import gapscope
from brevanta.web.report import report_of

MISSING = object()  # a gap without the key
LEVELS = ["critical", "significant", "minor", "important", "Critical", "SIGNIFICANT", "", MISSING]
TEXT = st.text(alphabet=string.ascii_letters + string.digits + " -.,", min_size=1, max_size=30).map(str.strip).filter(bool)


@st.composite
def gaps(draw):
    gap = {"id": f"gap_{draw(st.integers(0, 99))}"}
    level = draw(st.sampled_from(LEVELS))
    if level is not MISSING:
        gap["impact_level"] = level
    if draw(st.booleans()):
        gap["title"] = draw(TEXT)
    for key in ("description", "risk_if_skipped"):
        if draw(st.booleans()):
            gap[key] = draw(TEXT)
    return gap


def printed(fields):
    output = io.StringIO()
    with contextlib.redirect_stdout(output), mock.patch.dict(os.environ, {"NO_COLOR": "1"}):
        gapscope.display_analysis(gapscope.AnalysisResult(**fields))
    return output.getvalue()


def console_report(fields):
    """(tag, title) of each gap line, whether the ways forward were offered, and the last line."""
    lines = printed(fields).splitlines()
    listed = []
    if "› Gaps found:" in lines:
        for line in lines[lines.index("› Gaps found:") + 1:]:
            if not line:
                break
            if not line.startswith(" " * 11):  # a description or a risk under its gap
                listed.append((line[:9].strip(), line[9:]))
    return listed, "› You can:" in lines, lines[-1]


@settings(max_examples=150, deadline=None)
@given(analysis_gaps=st.lists(gaps(), max_size=8), sufficient=st.booleans())
def test_the_web_report_ranks_tags_and_judges_as_the_console_report(analysis_gaps, sufficient):
    fields = {"gaps": analysis_gaps, "sufficient_for_prd": sufficient, "completeness_score": 0.5}
    listed, options, last = console_report(fields)
    report = report_of(fields)
    assert [(view.tag, view.title) for view in report.gaps] == listed
    assert (report.critical_count > 0) is options
    assert last.endswith(report.verdict)
    if not analysis_gaps:
        assert report.no_gaps in printed(fields)
