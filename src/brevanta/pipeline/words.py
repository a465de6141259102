"""Small pieces of the messages every front end shows."""

from __future__ import annotations


def count(number: int, noun: str) -> str:
    return f"{number} {noun}{'' if number == 1 else 's'}"

