"""Why a request gave nothing, in words a user can act on, whichever transport it went through."""

import anthropic
import httpx2 as httpx
import pytest

from brevanta.pipeline.reasons import Exchange, analysis_failure, transport_failure
from brevanta.streaming import BrokenReply

REQUEST = httpx.Request("POST", "https://relay.example/v1/messages")
CLIENT = anthropic.Anthropic(api_key="test-key")


def status_error(status, body):
    return CLIENT._make_status_error("failed", body=body,
                                     response=httpx.Response(status, request=REQUEST, json=body))


@pytest.mark.parametrize("error, relay, reason", [
    (status_error(401, {}), False, "the Anthropic API refused the key (HTTP 401); check ANTHROPIC_API_KEY"),
    (status_error(403, {}), True, "the relay refused the token (HTTP 403); check BREVANTA_RELAY_TOKEN"),
    (status_error(500, {"error": {"message": "overloaded"}}), True, "the relay answered HTTP 500: overloaded"),
    (anthropic.APIConnectionError(request=REQUEST), False, "the model is unreachable: cannot connect to relay.example"),
    (ValueError("Expecting value"), False, "the model's reply could not be read: the Anthropic API sent a malformed"),
    (BrokenReply(ValueError("x")), True, "the model's reply could not be read: the relay sent a malformed reply"),
    (RuntimeError(""), False, "RuntimeError"),
])
def test_each_failure_is_named_with_what_to_check(error, relay, reason):
    assert transport_failure(error, relay=relay).startswith(reason)


@pytest.mark.parametrize("exchange, reason", [
    (Exchange(relay=False, cut_off=True, replied=True), "the reply was cut off at the limit of 8,000 tokens"),
    (Exchange(relay=False, replied=True), "the reply is not valid analysis JSON (Expecting value)"),
    (Exchange(relay=False), "JSON parse error: Expecting value"),  # no request was made: the analysis's own
])
def test_an_empty_analysis_says_why(exchange, reason):
    assert analysis_failure("JSON parse error: Expecting value", exchange).startswith(reason)
