"""Numbers written in words, as a person writes them in English and in Indian English: "twenty-five",
"fifteen thousand", "one hundred and twenty", "two lakh", "one lakh fifty thousand", "a dozen"."""

from __future__ import annotations

import re

SMALL = {word: number for number, word in enumerate(
    "zero one two three four five six seven eight nine ten eleven twelve thirteen fourteen fifteen sixteen "
    "seventeen eighteen nineteen".split())}
TENS = {"twenty": 20, "thirty": 30, "forty": 40, "fifty": 50, "sixty": 60, "seventy": 70, "eighty": 80,
        "ninety": 90}
HUNDRED = {"hundred": 100, "dozen": 12}
SCALES = {"thousand": 1000, "lakh": 100_000, "lakhs": 100_000, "lac": 100_000, "lacs": 100_000,
          "crore": 10_000_000, "crores": 10_000_000, "million": 1_000_000, "billion": 1_000_000_000}

_FIRST = "|".join(sorted([*SMALL, *TENS], key=len, reverse=True))
_MULTIPLIERS = "|".join(sorted([*HUNDRED, *SCALES], key=len, reverse=True))
# Where a number in words begins: a number word, or "a" before "hundred", "thousand", "lakh", ...
START = rf"\b(?:{_FIRST}|a(?=\s+(?:{_MULTIPLIERS})\b))\b"
_WORD = re.compile(r"([a-z]+)", re.IGNORECASE)
_GAP = re.compile(r"[ \t]+(?:and[ \t]+)?|-")


def read(text: str, start: int) -> tuple[int, int] | None:
    """The number in words at `start` and the offset where it ends, or None. Reads as far as the words
    make one number: "twenty-five thousand" is 25,000; "two three" stops after "two"."""
    total, current, end, position = 0, 0, start, start
    previous = ""  # "small", "ten", "hundred" or "scale": what may follow depends on it
    while (word := _WORD.match(text, position)) is not None:
        name = word.group(1).lower()
        if name == "a" and position == start:
            current, kind = 1, "small"
        elif name in SMALL and previous in ("", "ten", "hundred", "scale") and not (previous == "ten" and SMALL[name] >= 10):
            current, kind = current + SMALL[name], "small"
        elif name in TENS and previous in ("", "hundred", "scale"):
            current, kind = current + TENS[name], "ten"
        elif name in HUNDRED and previous in ("small", "ten") and current < 100:
            current, kind = current * HUNDRED[name], "hundred"
        elif name in SCALES and previous in ("small", "ten", "hundred"):
            total, current, kind = total + current * SCALES[name], 0, "scale"
        else:
            break
        previous, end = kind, word.end()
        gap = _GAP.match(text, end)
        if gap is None:
            break
        # "and" only joins a hundred or a scale to what follows ("one hundred and twenty")
        if "and" in gap.group(0) and kind not in ("hundred", "scale"):
            break
        position = gap.end()
    if end == start or previous == "" or (text[start:end].lower() == "a"):
        return None
    return total + current, end
