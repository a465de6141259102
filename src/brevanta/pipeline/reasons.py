"""Why a model request gave nothing, in words a user can act on."""

from __future__ import annotations

from dataclasses import dataclass

import anthropic

from brevanta import config
from brevanta.streaming import BrokenReply


@dataclass
class Exchange:
    """How one model request went, as seen from the transport: the error it raised, or whether a reply came
    and whether the token limit cut it off."""

    relay: bool  # through a relay (its token) rather than the Anthropic API (its key)
    error: Exception | None = None
    replied: bool = False
    cut_off: bool = False


# What the SDK raises when a reply came but cannot be read: a body that is not JSON (ValueError), an
# event stream that does not begin as a message does (AssertionError), parts of the wrong shape.
_MALFORMED = (ValueError, AssertionError, TypeError, KeyError, AttributeError)


def _unreadable(server: str) -> str:
    return f"the model's reply could not be read: {server} sent a malformed reply; try again later"


def _attempts() -> str:
    attempts = 1 + config.REQUEST_RETRIES
    return f"{attempts} attempt{'' if attempts == 1 else 's'}"


def _api_message(error: anthropic.APIStatusError) -> str:
    body = error.body
    if isinstance(body, dict) and isinstance(body.get("error"), dict):
        message = body["error"].get("message")
        if isinstance(message, str) and message:
            return message
    return error.message


def _broken_off(cause: Exception | None, server: str) -> str:
    """Why a streamed reply stopped before its end: nothing came for too long, an `error` event, or the
    connection ended. No retry is made once the reply has started."""
    if isinstance(cause, _MALFORMED):
        return _unreadable(server)
    if isinstance(cause, anthropic.APITimeoutError):
        return (f"the request timed out in the middle of the reply: nothing came from {server} for "
                f"{config.REQUEST_TIMEOUT:g} s; try again later, or raise BREVANTA_REQUEST_TIMEOUT")
    if isinstance(cause, anthropic.APIStatusError):  # an `error` event in the stream
        kind = cause.body.get("error", {}).get("type") if isinstance(cause.body, dict) else None
        detail = f" ({kind})" if isinstance(kind, str) and kind else ""
        return f"{server} broke off the reply: {_api_message(cause)}{detail}; try again later"
    if isinstance(cause, anthropic.APIConnectionError):
        cause = cause.__cause__ if isinstance(cause.__cause__, Exception) else None
    detail = f" ({cause})" if cause is not None and str(cause) else ""
    return f"the connection to {server} ended in the middle of the reply{detail}; try again later"


def transport_failure(error: Exception, *, relay: bool) -> str:
    """The reason a request raised `error`; the error's own text where the cause is not one we know."""
    credential, variable = ("token", "BREVANTA_RELAY_TOKEN") if relay else ("key", "ANTHROPIC_API_KEY")
    server, address_variable = ("the relay", "BREVANTA_RELAY_URL") if relay else ("the Anthropic API", "ANTHROPIC_BASE_URL")
    if isinstance(error, BrokenReply):
        return _broken_off(error.cause, server)
    if isinstance(error, anthropic.AuthenticationError | anthropic.PermissionDeniedError):
        return f"{server} refused the {credential} (HTTP {error.status_code}); check {variable}"
    if isinstance(error, anthropic.APITimeoutError):
        return (f"the request timed out: no answer from {server} within {config.REQUEST_TIMEOUT:g} s "
                f"({_attempts()}); try again later, or raise BREVANTA_REQUEST_TIMEOUT")
    if isinstance(error, anthropic.APIConnectionError):
        cause = error.__cause__ or error.__context__
        detail = f" ({cause})" if cause is not None and str(cause) else ""
        return (f"the model is unreachable: cannot connect to {error.request.url.host}{detail}; "
                f"check the network and {address_variable}")
    if isinstance(error, anthropic.APIStatusError):
        return f"{server} answered HTTP {error.status_code}: {_api_message(error)}"
    if isinstance(error, _MALFORMED):
        return _unreadable(server)
    return str(error) or type(error).__name__


def analysis_failure(reason: str, exchange: Exchange) -> str:
    """Why the analysis is empty; `reason` is the analysis's own."""
    if exchange.error is not None:
        return transport_failure(exchange.error, relay=exchange.relay)
    if exchange.cut_off:
        return (f"the reply was cut off at the limit of {config.MAX_TOKENS_ANALYSIS:,} tokens; "
                "raise BREVANTA_MAX_TOKENS_ANALYSIS and analyse again")
    if exchange.replied:
        return f"the reply is not valid analysis JSON ({reason.removeprefix('JSON parse error: ')})"
    return reason  # no request was made
