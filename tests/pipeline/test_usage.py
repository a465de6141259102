"""What a run's requests cost: totals over records read defensively, the estimate at list prices."""

import pytest

from brevanta.pipeline.usage import cost_text, totals, usage_summary

SONNET = {"operation": "prd", "model": "claude-sonnet-4-5", "input_tokens": 100_000, "output_tokens": 10_000,
          "cache_creation_input_tokens": 0, "cache_read_input_tokens": 0}


@pytest.mark.parametrize("records, cost, summary", [
    ([SONNET], "$0.45", "100,000 tokens in (0 from cache), 10,000 tokens out, about $0.45 at list prices"),
    ([{**SONNET, "estimated": True}], "~$0.45", "about $0.45 at list prices (estimated)"),
    ([{**SONNET, "model": "unknown-model"}], "", "(no list price known for unknown-model)"),
    ([SONNET, "not a record", {"input_tokens": -5, "output_tokens": True, "model": "claude-sonnet-4-5"}], "$0.45",
     "100,000 tokens in"),
    ([], "", "0 tokens in"),
])
def test_costs_and_totals(records, cost, summary):
    assert cost_text(records) == cost
    assert summary in usage_summary(records)
    assert totals(records).tokens_out == (10_000 if records else 0)
