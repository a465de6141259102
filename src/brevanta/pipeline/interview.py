"""The interview a session belongs to: where it was read from, a SHA-256 of its text, and the name it
is shown by.

A session is resumed only for the same text. An interview without a file (standard input, a paste in
the browser) has no path to go by: it is bound by its text alone and shown by its first heading.
"""

from __future__ import annotations

import hashlib
import re
import uuid
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from brevanta.pipeline.readers import SourceText

STDIN = "-"  # the interview file argument that means standard input (or, in the browser, a paste)
# What names a text that came without a file: read from standard input, or pasted in the browser.
STDIN_NAME = "standard input"
PASTED_NAME = "pasted interview"

# Sessions of interviews read from standard input were named in this namespace, apart from file paths.
_STDIN_NAMESPACE = uuid.uuid5(uuid.NAMESPACE_URL, "brevanta:standard-input")

_HEADING = re.compile(r"#{1,6}\s+(.*?)\s*#*\s*")
_MARKUP = re.compile(r"[*_`>]+|^\s*(?:[-+]|\d+[.)])\s+")
_LONGEST_TITLE = 60
_LINES_FOR_A_HEADING = 40  # a heading further down belongs to the body, not to the title


def text_sha256(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


def stored_path(path: str) -> str:
    """How a session records the interview's path: absolute, so a run from another folder matches it."""
    return path if path == STDIN else str(Path(path).resolve())


def legacy_org_id(path: str, text: str) -> str:
    """The organisation id earlier versions gave an interview without `--org`: a UUID of the file's path,
    or for standard input of its text. Their sessions are still found under it."""
    if path == STDIN:
        return str(uuid.uuid5(_STDIN_NAMESPACE, text_sha256(text)))
    return str(uuid.uuid5(uuid.NAMESPACE_URL, Path(path).resolve().as_uri()))


def title(text: str) -> str:
    """What an interview calls itself: its first heading near the top, else its first line, without
    Markdown marks, shortened to a line's worth; "" for a text of white space."""
    lines = [line.strip() for line in text.splitlines() if line.strip()]
    found = next((match.group(1) for line in lines[:_LINES_FOR_A_HEADING]
                  if (match := _HEADING.fullmatch(line))), lines[0] if lines else "")
    words = " ".join(_MARKUP.sub("", found).split())
    if len(words) > _LONGEST_TITLE:
        words = words[:_LONGEST_TITLE].rsplit(" ", 1)[0].rstrip(",;:-—") + "…"
    return words


_NO_FILE_NAMES = (STDIN_NAME, PASTED_NAME, "interview", "")


def display_name(path: str, text: str = "", source_name: object = None) -> str:
    """How an interview is named wherever it is shown (documents, listings, questions): its file's name
    (an upload's own), or for one without a file its title in quotes."""
    if path != STDIN:
        return Path(path).name
    if isinstance(source_name, str) and source_name not in _NO_FILE_NAMES:
        return source_name
    shown = title(text)
    return f"“{shown}”" if shown else "an untitled interview"


class Interview:
    """The interview text of this run and where it came from."""

    # A plain class: the command line builds it before any heavy import, and dataclasses load inspect.
    def __init__(self, path: str, text: str, source: SourceText | None = None) -> None:
        self.path = path  # as given on the command line; "-" for standard input or an upload
        self.text = text
        self.source = source  # the file as its reader read it (name, kind, marks); None when not read here

    @property
    def sha256(self) -> str:
        return text_sha256(self.text)

    @property
    def stored_path(self) -> str:
        return stored_path(self.path)

    def shown_name(self) -> str:
        return display_name(self.path, self.text)


def source_state(source: SourceText | None) -> dict[str, Any] | None:
    """What a session keeps of the interview's source beside its text: name, kind, size and marks."""
    return None if source is None else source.to_state(with_text=False)


def kept_source(state: dict[str, Any]) -> SourceText:
    """The interview's source as a session keeps it; a session saved before sources were kept reads
    as plain text named after its file."""
    from brevanta.pipeline.readers import SourceText

    kept = state.get("interview_source")
    text = state.get("interview_text")
    return SourceText.from_state({**(kept if isinstance(kept, dict) else {}),
                                  "text": text if isinstance(text, str) else ""},
                                 fallback_name=interview_base_name(state.get("interview_file")))


def interview_base_name(path: object) -> str:
    """The interview's file name as the user knows it, from the path a session keeps."""
    if not isinstance(path, str) or not path:
        return "interview"
    return STDIN_NAME if path == STDIN else Path(path).name


def binding(state: dict[str, object], interview: Interview) -> str:
    """How a saved session stands to this interview: "same" (the same text), "changed" (the same
    file, edited since it was saved) or "other" (another interview)."""
    saved_hash = state.get("interview_sha256")
    if saved_hash == interview.sha256:
        return "same"
    if interview.path != STDIN and state.get("interview_file") == interview.stored_path:
        return "changed"  # also a session saved before the text's hash was kept
    return "other"
