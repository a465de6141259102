"""Counts as every front end words them."""

import pytest

from brevanta.pipeline.words import count


@pytest.mark.parametrize("number, noun, words", [(1, "gap", "1 gap"), (0, "answer", "0 answers"), (7, "gap", "7 gaps")])
def test_a_count_takes_the_plural_except_for_one(number, noun, words):
    assert count(number, noun) == words
