"""The terminal-safe form of untrusted text: the same escapes as the analysis report writes."""

import contextlib
import io

from hypothesis import given
from hypothesis import strategies as st

from brevanta import gapscope
from brevanta.untrusted import for_terminal

# Every code point that matters: the controls, DEL, C1, surrogates, the bidirectional and invisible
# format characters and their neighbours, and ordinary text around them.
SPECIAL = ("\x00\x07\t\n\r\x1b\x7f\x80\x85\x9b\x9f\xa0\ud800\udc80\udfff\u2028é€\u061b\u061c\u200a\u200b\u200f"
           "\u2010\u2029\u202a\u202e\u202f\u205f\u2060\u2064\u2065\u2066\u2069\u206a\ufeff")
# A list of characters joined, not st.text: text() folds the special ones into its own alphabet, where
# they are almost never drawn.
TEXT = st.lists(st.characters(codec=None, min_codepoint=0, max_codepoint=0x10FFFF) | st.sampled_from(SPECIAL)).map(
    "".join)


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


def test_bidirectional_and_invisible_characters_are_spelt_out():
    # "invoice\u202etxt.exe" shows as "invoiceexe.txt"; a zero-width space hides inside a word.
    assert for_terminal("invoice\u202etxt.exe pay\u200bment \u2066x\u2069 \ufeff") == \
        "invoice\\u202etxt.exe pay\\u200bment \\u2066x\\u2069 \\ufeff"
