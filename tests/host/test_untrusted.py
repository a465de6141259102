"""The terminal-safe form of untrusted text: the same escapes as the analysis report writes."""

import contextlib
import io

from hypothesis import given
from hypothesis import strategies as st

from brevanta import gapscope
from brevanta.untrusted import for_terminal

# Every code point that matters: the controls, DEL, C1, surrogates, and ordinary text around them.
TEXT = st.text(st.characters(codec=None, min_codepoint=0, max_codepoint=0x10FFFF) | st.sampled_from(
    "\x00\x07\t\n\r\x1b\x7f\x80\x85\x9b\x9f\xa0\ud800\udc80\udfff\u2028é€"))


def shown_by_the_report(text: str) -> str:
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        gapscope.display_gap_with_impact({"risk_if_skipped": f"<{text}>"}, 1)
    return out.getvalue().split("    Risk if skipped: <", 1)[1][:-2]


@given(TEXT)
def test_escapes_exactly_as_the_report_does_and_only_once(text):
    shown = for_terminal(text)
    assert shown == shown_by_the_report(text)
    assert for_terminal(shown) == shown
    shown.encode("utf-8")  # a lone surrogate no longer stops the write


def test_an_escape_sequence_cannot_reach_the_terminal():
    assert for_terminal("T\x1b]52;c;cHduZWQ=\x07\x1b[2J\r\ud800\tkept\n") == \
        "T\\x1b]52;c;cHduZWQ=\\x07\\x1b[2J\\r\\ud800\tkept\n"
