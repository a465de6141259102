"""The one seam for model requests, with the replay standing in for the model: the analysis and a
document answered from saved replies, each request's usage recorded; no access says what to do."""

import pytest

from brevanta import config
from brevanta.errors import MODEL_ACCESS, ModelFailure
from brevanta.pipeline.models import ModelAccess, ReplayClient, open_access


def test_the_replay_answers_the_analysis_and_the_documents_and_counts_them(replay, example_interview):
    seen = []
    replay.on_usage = seen.append
    result = replay.analyze(example_interview, 1)
    assert result.completeness_score == pytest.approx(0.55) and result.gaps
    completion = replay.complete("Write the PRD.", operation="prd", max_tokens=16000)
    assert completion.text.startswith("# Product requirements") and completion.stop_reason is None
    assert [record["operation"] for record in replay.usage] == ["analysis", "prd"] and seen == replay.usage
    assert all(record["estimated"] for record in replay.usage)  # a replay counts characters, not tokens
    with pytest.raises(LookupError):
        ModelAccess(ReplayClient({}), "replay").client._call_ai_proxy(messages=[], model="m", max_tokens=1,
                                                                      operation="trd")


def test_without_any_access_the_failure_names_the_action(monkeypatch):
    monkeypatch.setattr(config, "ANTHROPIC_API_KEY", None)
    monkeypatch.setattr(config, "RELAY_URL", None)
    access = open_access(None, None)
    with pytest.raises(ModelFailure) as failure:
        access.request("Write the PRD.", operation="prd", max_tokens=100)
    assert failure.value.action == MODEL_ACCESS and "--replay" not in str(failure.value)
