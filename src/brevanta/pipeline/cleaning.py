"""Text made safe to write into a document: nothing a terminal would run when the file is shown with
`cat`, nothing an encoder or an XML writer refuses."""

from __future__ import annotations

import re

# Control characters (C0, DEL, C1) except tab and line feed, and the two code points that no XML
# file may hold (a Word document is XML).
_UNWANTED = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\ufffe\uffff]")
_LONE_SURROGATE = re.compile("[\ud800-\udfff]")
REPLACEMENT = "\ufffd"


def clean_text(text: str) -> tuple[str, int]:
    """`text` without control characters other than tab and line feed, each lone surrogate replaced by
    U+FFFD; returns the clean text and how many characters were removed or replaced. A carriage return
    is removed too, so CRLF line ends become LF."""
    text, removed = _UNWANTED.subn("", text)
    text, replaced = _LONE_SURROGATE.subn(REPLACEMENT, text)
    return text, removed + replaced
