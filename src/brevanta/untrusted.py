"""Text this program did not write (model replies, relay and API error bodies, names read from disk),
made safe to show.

A control character in such text could clear the screen, retitle the window or write the clipboard,
and a lone surrogate cannot be encoded at all. `for_terminal` shows each of them as the escape `repr`
writes for it, by the same rule as the analysis report: C0 controls except tab and line feed, DEL,
C1 controls and lone surrogates.
"""

from __future__ import annotations

import re

_UNSAFE = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\ud800-\udfff]")


def _escape(match: re.Match[str]) -> str:
    code = ord(match.group())
    if code == 0x0D:
        return "\\r"
    if code <= 0xFF:
        return f"\\x{code:02x}"
    return f"\\u{code:04x}"


def for_terminal(text: object) -> str:
    """`text` (its str form) with every character that could drive or break the terminal escaped.
    Idempotent: what it returns holds no such character."""
    shown = str(text)
    if _UNSAFE.search(shown) is None:
        return shown
    return _UNSAFE.sub(_escape, shown)
