"""The interview a session belongs to: where it was read from and a SHA-256 of its text.

A session is resumed only for the same text. Standard input has no path to go by, so its
organisation, unless `--org` names one, is derived from the text's hash: two different texts
piped in never share a session.
"""

from __future__ import annotations

import hashlib
import uuid
from pathlib import Path
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    from brevanta.pipeline.readers import SourceText

STDIN = "-"  # the interview file argument that means standard input

# Sessions of interviews read from standard input are named in this namespace, apart from file paths.
_STDIN_NAMESPACE = uuid.uuid5(uuid.NAMESPACE_URL, "brevanta:standard-input")


def text_sha256(text: str) -> str:
    return hashlib.sha256(text.encode("utf-8")).hexdigest()


def stored_path(path: str) -> str:
    """How a session records the interview's path: absolute, so a run from another folder matches it."""
    return path if path == STDIN else str(Path(path).resolve())


def default_org_id(path: str, text: str) -> str:
    """A stable UUID for the interview: for a file, its path (reruns on an edited file share sessions);
    for standard input, its text."""
    if path == STDIN:
        return str(uuid.uuid5(_STDIN_NAMESPACE, text_sha256(text)))
    return str(uuid.uuid5(uuid.NAMESPACE_URL, Path(path).resolve().as_uri()))


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
        return "standard input" if self.path == STDIN else self.path


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
    return "standard input" if path == STDIN else Path(path).name


def binding(state: dict[str, object], interview: Interview) -> str:
    """How a saved session stands to this interview: "same" (the same text), "changed" (the same
    file, edited since it was saved) or "other" (another interview)."""
    saved_hash = state.get("interview_sha256")
    if saved_hash == interview.sha256:
        return "same"
    if interview.path != STDIN and state.get("interview_file") == interview.stored_path:
        return "changed"  # also a session saved before the text's hash was kept
    return "other"
