"""Text this program did not write (model replies, relay and API error bodies, names read from disk,
settings), made safe to show on the terminal and on the pages.

A control character in such text could clear the screen, retitle the window or write the clipboard,
a lone surrogate cannot be encoded at all, and a bidirectional override or an invisible character
makes the text read differently from what it holds (a file name that shows as `txt.exe`, an answer
with a hidden word). `escaped` shows each of them as the escape `repr` writes for it, by the same rule
as the analysis report: C0 controls except tab and line feed, DEL, C1 controls, lone surrogates, and
the bidirectional and invisible format characters (U+061C, U+200B to U+200F, U+202A to U+202E, U+2060
to U+2064, U+2066 to U+2069, U+FEFF).
"""

from __future__ import annotations

import re

UNSAFE = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\u061c\u200b-\u200f\u202a-\u202e\u2060-\u2064\u2066-\u2069"
                    "\ufeff\ud800-\udfff]")


def _escape(match: re.Match[str]) -> str:
    code = ord(match.group())
    if code == 0x0D:
        return "\\r"
    if code <= 0xFF:
        return f"\\x{code:02x}"
    return f"\\u{code:04x}"


def escaped(text: object) -> str:
    """`text` (its str form) with every character that could drive or break the terminal or the page,
    or hide what the text says, escaped. Idempotent: what it returns holds no such character."""
    shown = str(text)
    if shown.isprintable() or UNSAFE.search(shown) is None:  # every unsafe character is unprintable
        return shown
    return UNSAFE.sub(_escape, shown)


# The name every terminal print uses.
for_terminal = escaped
