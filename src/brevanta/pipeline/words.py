"""Small pieces of the messages every front end shows."""

from __future__ import annotations


def count(number: int, noun: str) -> str:
    return f"{number} {noun}{'' if number == 1 else 's'}"


def printable(text: str) -> str:
    """`text` read from disk (an organisation id, a file name) with control characters shown as "?",
    so it cannot move the cursor or change the terminal."""
    return "".join(character if character.isprintable() else "?" for character in text)
