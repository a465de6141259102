"""Reading a Messages reply: a streamed one to its end, and the text of any.

A long reply is streamed so that the request timeout bounds the silence between
two events rather than the whole generation.
"""

from __future__ import annotations

from typing import Any

from anthropic.lib.streaming import MessageStream
from anthropic.types import Message, TextBlock


class BrokenReply(Exception):
    """A streamed reply that ended before it was complete. `cause` is the error that ended it
    (a timeout, a dropped connection, an `error` event), or None when the stream just stopped."""

    def __init__(self, cause: Exception | None) -> None:
        super().__init__(str(cause) if cause is not None else "the stream ended before the reply did")
        self.cause = cause


def final_message(stream: MessageStream[Any]) -> Message:
    """The whole reply of `stream`, read to its last event; BrokenReply when it never got there."""
    finished = False
    try:
        for event in stream:
            finished = finished or event.type == "message_stop"
    except Exception as exc:  # whatever ended the stream, the reply is incomplete
        raise BrokenReply(exc) from exc
    if not finished:
        raise BrokenReply(None)
    return stream.get_final_message()


def reply_text(reply: Message) -> str:
    """The text blocks of the reply, joined."""
    return "".join(block.text for block in reply.content if isinstance(block, TextBlock))
