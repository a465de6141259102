"""Reading a Messages reply: a streamed one to its end, and the text of any, with its citations.

A long reply is streamed so that the request timeout bounds the silence between
two events rather than the whole generation.
"""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any

import anthropic

if TYPE_CHECKING:  # the SDK's submodules load with it, on first use (brevanta.deferred_sdk)
    from anthropic.lib.streaming import MessageStream, ParsedMessageStreamEvent
    from anthropic.types import Message


class BrokenReply(Exception):
    """A streamed reply that ended before it was complete. `cause` is the error that ended it
    (a timeout, a dropped connection, an `error` event), or None when the stream just stopped."""

    def __init__(self, cause: Exception | None) -> None:
        super().__init__(str(cause) if cause is not None else "the stream ended before the reply did")
        self.cause = cause


def final_message(
    stream: MessageStream[Any], on_event: Callable[[ParsedMessageStreamEvent[Any]], None] | None = None
) -> Message:
    """The whole reply of `stream`, read to its last event; BrokenReply when it never got there.
    `on_event` sees each event as it comes; what it raises ends the reading, unchanged."""
    finished = False
    events = iter(stream)
    while True:
        try:
            event = next(events)
        except StopIteration:
            break
        except Exception as exc:  # whatever ended the stream, the reply is incomplete
            raise BrokenReply(exc) from exc
        finished = finished or event.type == "message_stop"
        if on_event is not None:
            on_event(event)
    if not finished:
        raise BrokenReply(None)
    return stream.get_final_message()


def reply_text(reply: Message) -> str:
    """The text blocks of the reply, joined."""
    return "".join(block.text for block in reply.content if isinstance(block, anthropic.types.TextBlock))


def reply_blocks(reply: Message) -> list[tuple[str, list[dict[str, Any]]]]:
    """The text blocks of the reply, each with its citations as the service sent them (plain data: a
    streamed reply's `citations_delta` events are gathered into its block by the SDK)."""
    return [(block.text, [citation.to_dict() for citation in block.citations or []])
            for block in reply.content if isinstance(block, anthropic.types.TextBlock)]
