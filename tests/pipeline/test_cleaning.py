"""Text written into a document: nothing a terminal would run, nothing an encoder or XML refuses."""

import pytest

from brevanta.pipeline.cleaning import clean_text


@pytest.mark.parametrize("text, clean, count", [
    ("plain\ttext\n", "plain\ttext\n", 0),
    ("red\x1b[31m bell\x07 nul\x00", "red[31m bell nul", 3),
    ("windows\r\nline", "windows\nline", 1),
    ("C1\x85 DEL\x7f", "C1 DEL", 2),
    ("lone \ud800 surrogate", "lone \ufffd surrogate", 1),
    ("not XML \ufffe\uffff", "not XML ", 2),
    ("emoji \U0001f600 and \u00e9", "emoji \U0001f600 and \u00e9", 0),
])
def test_control_characters_go_and_lone_surrogates_are_replaced(text, clean, count):
    assert clean_text(text) == (clean, count)
