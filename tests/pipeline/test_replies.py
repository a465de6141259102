"""A document's reply: its end line, a fence around it, a reply cut off or without its end line said
as what it was; and a kept reply that writes the same document again without a request."""

import re

import pytest

from brevanta import config
from brevanta.errors import RESUME_DOCUMENTS, ModelFailure
from brevanta.pipeline.assembly import Assembled
from brevanta.pipeline.documents import END_MARKER, Finished, document_text, kept_completion, kept_reply
from brevanta.pipeline.models import Completion


@pytest.mark.parametrize("text, stop_reason, tokens, document, problem", [
    (f"# PRD\n\nBody.\n{END_MARKER}\n", None, 500, "# PRD\n\nBody.\n", None),
    (f"```markdown\n# PRD\n\nBody.\n```\n{END_MARKER}", None, 500, "# PRD\n\nBody.\n", None),
    ("# PRD\n\nBody.", "end_turn", 500, "# PRD\n\nBody.\n", None),
    ("# PRD\n\nBo", "max_tokens", 16000, None, "cut off at the token limit (16000 tokens)"),
    ("# PRD\n\nBo", None, 555, None, "ended without its end line after 555 tokens (below the token limit"),
    ("# PRD\n\nBo", None, 16000, None, "ended without its end line after 16,000 tokens (the token limit"),
    ("# PRD", "refusal", 3, None, "the model stopped writing the PRD (refusal)"),
    (f"  \n{END_MARKER}", None, 3, None, "the PRD reply was empty"),
])
def test_a_reply_is_a_document_or_one_reason(monkeypatch, text, stop_reason, tokens, document, problem):
    monkeypatch.setattr(config, "MAX_TOKENS_DOCUMENT", 16000)
    completion = Completion(text, stop_reason, 100, tokens)
    if problem is None:
        assert document_text("prd", completion) == document
        return
    with pytest.raises(ModelFailure, match=re.escape(problem)) as failure:
        document_text("prd", completion)
    assert "PRD.md was not written" in failure.value.message
    assert ("BREVANTA_MAX_TOKENS_DOCUMENT" in (failure.value.hint or "")) is (tokens >= 16000)
    assert failure.value.action in (RESUME_DOCUMENTS, None)


def test_a_kept_reply_stands_for_its_completion():
    completion = Completion(f"# PRD\n{END_MARKER}", "end_turn", 10, 20, model="claude-sonnet-4-5")
    finished = Finished("prd", Assembled("# PRD\n"))
    kept = kept_reply(completion, finished, [], "routed-model")
    assert kept == {"text": completion.text, "model": "claude-sonnet-4-5", "stop_reason": "end_turn", "citations": []}
    assert document_text("prd", kept_completion(kept)) == document_text("prd", completion)
    unnamed = kept_reply(Completion("x", None, 1, 1), finished, [], "routed-model", replayed=True)
    assert unnamed["replayed"] is True and unnamed["model"] == "routed-model"
