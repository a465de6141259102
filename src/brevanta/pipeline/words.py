"""Small pieces of the messages every front end shows."""

from __future__ import annotations


def count(number: int, noun: str) -> str:
    return f"{number} {noun}{'' if number == 1 else 's'}"


def sentence(text: str) -> str:
    """A message part ("the session ... is in use by ...") as a sentence of its own: capitalised, a full stop."""
    return f"{text[:1].upper()}{text[1:]}{'' if text.endswith('.') else '.'}"

