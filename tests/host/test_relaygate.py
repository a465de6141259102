"""RelayGate against the local Messages API stub, through the real SDK."""

import anthropic
import pytest

from brevanta import config
from brevanta.relaygate import RelayGate

TURN = [{"role": "user", "content": "Which agent do you want to build?"}]


def call(gate, operation="analysis", model="claude-sonnet-4-5", max_tokens=321):
    return gate._call_ai_proxy(messages=TURN, model=model, max_tokens=max_tokens, operation=operation)


@pytest.fixture
def gate(messages_server):
    return RelayGate(messages_server.base_url, "relay-token", max_retries=0)


def test_round_trip(gate, messages_server):
    messages_server.reply_text("A triage agent.", input_tokens=17, output_tokens=6)
    assert gate._client is None  # nothing is built until the first call
    assert call(gate, "prd-draft", "claude-haiku-4-5", 99) == ("A triage agent.", 17, 6)
    (request,) = messages_server.requests
    assert (request.method, request.path) == ("POST", "/v1/messages")
    body = request.body
    assert (body["model"], body["max_tokens"], body["messages"]) == ("claude-haiku-4-5", 99, TURN)
    assert request.headers["x-brevanta-operation"] == "prd-draft"
    assert request.headers["authorization"] == "Bearer relay-token"
    client = gate._client
    call(gate)
    assert gate._client is client and gate.token_log == []  # callers keep the token log


@pytest.mark.parametrize(
    ("blocks", "expected"),
    [
        ([], ""),
        ([{"type": "text", "text": "one "}, {"type": "text", "text": "two"}], "one two"),
        ([{"type": "tool_use", "id": "toolu_1", "name": "f", "input": {}}, {"type": "text", "text": "after"}], "after"),
    ],
)
def test_joins_only_text_blocks(gate, messages_server, blocks, expected):
    messages_server.reply_content(blocks, input_tokens=1, output_tokens=2)
    assert call(gate) == (expected, 1, 2)


@pytest.mark.parametrize(
    ("status", "error_class"),
    [(500, anthropic.InternalServerError), (529, anthropic.OverloadedError), (429, anthropic.RateLimitError)],
)
def test_http_errors_raise_the_sdk_error(gate, messages_server, status, error_class):
    messages_server.reply_error(status)
    with pytest.raises(error_class) as caught:
        call(gate)
    assert isinstance(caught.value, anthropic.APIStatusError) and caught.value.status_code == status


@pytest.mark.parametrize(("given", "expected"), [(True, True), (0, False), ("yes", True)])
def test_attributes(given, expected):
    gate = RelayGate("http://127.0.0.1:1", "t", full_hosted=given)
    assert (gate.base_url, gate.full_hosted, gate.token_log) == ("http://127.0.0.1:1", expected, [])
    assert RelayGate("http://127.0.0.1:1", None).full_hosted is True
    assert RelayGate("http://127.0.0.1:1", None).token_log is not gate.token_log


@pytest.mark.parametrize("url", [None, ""])
def test_from_config_without_a_relay(monkeypatch, url):
    monkeypatch.setattr(config, "RELAY_URL", url)
    assert RelayGate.from_config() is None


def test_from_config_reads_settings_at_call_time(monkeypatch, messages_server):
    monkeypatch.setattr(config, "RELAY_URL", messages_server.base_url)
    monkeypatch.setattr(config, "RELAY_TOKEN", "configured-token")
    messages_server.reply_text("via config")
    assert call(RelayGate.from_config())[0] == "via config"
    assert messages_server.requests[0].headers["authorization"] == "Bearer configured-token"


def test_direct_sdk_env_points_default_clients_at_the_stub(direct_sdk_env):
    reply = anthropic.Anthropic(max_retries=0).messages.create(model="claude-sonnet-4-5", max_tokens=10, messages=TURN)
    assert ([b.text for b in reply.content], reply.model) == (["{}"], "claude-sonnet-4-5")
    assert (reply.usage.input_tokens, reply.usage.output_tokens) == (10, 20)
    assert direct_sdk_env.requests[0].headers["authorization"] == "Bearer test-key"


def test_a_relay_without_token_never_receives_the_anthropic_key(monkeypatch, messages_server):
    monkeypatch.setenv("ANTHROPIC_API_KEY", "real-anthropic-secret")
    gate = RelayGate(messages_server.base_url, None, max_retries=0)
    gate._call_ai_proxy(messages=[{"role": "user", "content": "hi"}], model="m", max_tokens=5, operation="analysis")
    sent = " ".join(messages_server.requests[-1].headers.values())
    assert "real-anthropic-secret" not in sent
