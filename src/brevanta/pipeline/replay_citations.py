"""Citations in a saved reply, written so that the reply stays readable.

A saved document reply marks what it cites with the cited words in double braces, right after the text
they support, on the same line or on the next one:

    - FR-1 (must): reply to a new enquiry within 60 seconds. {{Answer the first message within a minute}}
    - FR-2 (must): collect the city, the budget and the move-in date.
      {{qualify the lead: city and preferred area}}{{budget, move-in date}}

Replayed, each mark becomes a citation of the documents the request sent, at their real offsets: the
words are looked up in the documents in order (the interview first), line breaks and runs of spaces
matching any white space, and the first document holding them is cited. The supported text is the text
before the mark, from the start of its line or the end of the previous mark (a mark that begins a line
supports the line before it); the mark, the spaces before it and the line break it begins a line with
are removed. Words found in no document give a citation no check accepts (it names a document
that was not sent), as a model that cited wrongly would.
"""

from __future__ import annotations

import re
from collections.abc import Sequence
from typing import Any

MARK = re.compile(r"(?:\n[ \t]*)?[ \t]*\{\{([^{}\n]+)\}\}")


def request_documents(messages: Sequence[dict[str, Any]]) -> list[tuple[str, str | None]]:
    """The plain-text documents of a request's messages, in order: (text, title)."""
    found = []
    for message in messages:
        content = message.get("content")
        if not isinstance(content, list):
            continue
        for block in content:
            if isinstance(block, dict) and block.get("type") == "document":
                source = block.get("source") or {}
                found.append((str(source.get("data", "")), block.get("title")))
    return found


def _citation(words: str, documents: Sequence[tuple[str, str | None]]) -> dict[str, Any]:
    pattern = re.compile(r"\s+".join(re.escape(word) for word in words.split()))
    for index, (text, title) in enumerate(documents):
        found = pattern.search(text)
        if found:
            return {"type": "char_location", "cited_text": found.group(0), "document_index": index,
                    "document_title": title, "start_char_index": found.start(), "end_char_index": found.end()}
    return {"type": "char_location", "cited_text": words, "document_index": len(documents),
            "document_title": None, "start_char_index": 0, "end_char_index": len(words)}


def cited_blocks(reply: str, documents: Sequence[tuple[str, str | None]]) -> list[dict[str, Any]]:
    """The reply as the service's text blocks: the marks removed, each cited passage a block of its own
    carrying its citations."""
    blocks: list[dict[str, Any]] = []
    cursor = 0
    for mark in MARK.finditer(reply):
        citation = _citation(mark.group(1).strip(), documents)
        if mark.start() == cursor and blocks and blocks[-1].get("citations"):
            blocks[-1]["citations"].append(citation)  # a second mark on the same text
        else:
            begin = max(cursor, reply.rfind("\n", 0, mark.start()) + 1)
            if begin > cursor:
                blocks.append({"type": "text", "text": reply[cursor:begin]})
            blocks.append({"type": "text", "text": reply[begin:mark.start()], "citations": [citation]})
        cursor = mark.end()
    if cursor < len(reply) or not blocks:
        blocks.append({"type": "text", "text": reply[cursor:]})
    return blocks
