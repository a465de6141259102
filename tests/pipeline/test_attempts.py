"""Attempts at one request: which failures are tried again, how long to wait (the server's word
first), how many attempts in all, and a cancel that ends the wait at once."""

import threading

import anthropic
import httpx2 as httpx
import pytest

from brevanta import config
from brevanta.pipeline import attempts
from brevanta.pipeline.attempts import Cancelled, Unwatched, retry_wait, retryable, with_attempts

REQUEST = httpx.Request("POST", "https://api.example/v1/messages")


CLIENT = anthropic.Anthropic(api_key="test-key")  # makes the SDK's own error for each status


def status_error(status, **headers):
    response = httpx.Response(status, headers=headers, request=REQUEST, json={"error": {"message": "no"}})
    return CLIENT._make_status_error("no", body=None, response=response)


@pytest.mark.parametrize("error, again", [
    (status_error(429), True), (status_error(500), True), (status_error(529), True), (status_error(408), True),
    (status_error(400), False), (status_error(401), False), (status_error(404), False),
    (status_error(400, **{"x-should-retry": "true"}), True), (status_error(500, **{"x-should-retry": "false"}), False),
    (anthropic.APIConnectionError(request=REQUEST), True), (anthropic.APITimeoutError(REQUEST), True),
    (ValueError("bad reply"), False),
])
def test_which_failures_are_tried_again(error, again):
    assert retryable(error) is again


@pytest.mark.parametrize("headers, wait", [({"retry-after": "3"}, 3.0), ({"retry-after-ms": "250"}, 0.25),
                                           ({"retry-after": "600"}, None), ({}, None)])
def test_the_servers_wait_is_followed_when_reasonable(headers, wait):
    got = retry_wait(status_error(429, **headers), 2)
    assert got == wait if wait is not None else 0.75 <= got <= 1.0  # the second backoff, less up to a quarter


def test_attempts_stop_after_the_retries_and_a_cancel_ends_the_wait(monkeypatch):
    monkeypatch.setattr(config, "REQUEST_RETRIES", 2)
    monkeypatch.setattr(attempts, "retry_wait", lambda error, failed: 0.0)
    calls = []

    def failing():
        calls.append(1)
        raise status_error(500)

    with pytest.raises(anthropic.APIStatusError):
        with_attempts(failing, watch=Unwatched())
    assert len(calls) == 3

    monkeypatch.setattr(attempts, "retry_wait", lambda error, failed: 60.0)
    stop = threading.Event()
    threading.Timer(0.1, stop.set).start()
    with pytest.raises(Cancelled):
        with_attempts(failing, watch=Unwatched(), cancel=stop)  # not the minute the server asked for
    with pytest.raises(anthropic.RateLimitError):  # a caller with a better plan gets the 429 at once
        with_attempts(lambda: (_ for _ in ()).throw(status_error(429)), watch=Unwatched(), retry_rate_limit=False)
