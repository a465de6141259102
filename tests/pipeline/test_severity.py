"""The report's table for levels no front end may trust: a level of another type or case still has a
rank, a tag and an impact word, and only "critical" itself counts as critical."""

import pytest

from brevanta.pipeline import severity


@pytest.mark.parametrize("gap, rank, tag, word, critical", [
    ({"impact_level": "critical"}, 0, "HIGH", "CRITICAL", True),
    ({"impact_level": "Critical"}, 3, "HIGH", "CRITICAL", False),  # tagged by its upper case, ranked as written
    ({}, 2, "LOW", "UNKNOWN", False),  # a missing level ranks as minor
    ({"impact_level": None}, 3, "LOW", "NONE", False),
    ({"impact_level": ["unhashable"]}, 3, "LOW", "['UNHASHABLE']", False),
])
def test_every_level_has_a_rank_a_tag_and_a_word(gap, rank, tag, word, critical):
    assert (severity.rank(gap), severity.tag(gap), severity.impact_word(gap), severity.is_critical(gap)) == \
        (rank, tag, word, critical)
