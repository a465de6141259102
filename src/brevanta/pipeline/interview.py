"""The interview a session belongs to: where it was read from and a SHA-256 of its text.

A session is resumed only for the same text. Standard input has no path to go by, so its
organisation, unless `--org` names one, is derived from the text's hash: two different texts
piped in never share a session.
"""

from __future__ import annotations

import hashlib
import uuid
from pathlib import Path

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
    def __init__(self, path: str, text: str) -> None:
        self.path = path  # as given on the command line; "-" for standard input
        self.text = text

    @property
    def sha256(self) -> str:
        return text_sha256(self.text)

    @property
    def stored_path(self) -> str:
        return stored_path(self.path)

    def shown_name(self) -> str:
        return "standard input" if self.path == STDIN else self.path


def binding(state: dict[str, object], interview: Interview) -> str:
    """How a saved session stands to this interview: "same" (the same text), "changed" (the same
    file, edited since it was saved) or "other" (another interview)."""
    saved_hash = state.get("interview_sha256")
    if saved_hash == interview.sha256:
        return "same"
    if interview.path != STDIN and state.get("interview_file") == interview.stored_path:
        return "changed"  # also a session saved before the text's hash was kept
    return "other"
