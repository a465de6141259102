"""What a run is given, read and checked before anything is asked or paid for: the interview and
the documents (readable, not empty, within the model's size), the saved replies of a replay, the
organisation's id and the document formats.

Imports nothing heavy, so a front end can check its inputs at once.
"""

from __future__ import annotations

import math
import re
import sys
from pathlib import Path

from typing import TYPE_CHECKING

from brevanta import config
from brevanta.errors import InputProblem, UsageError
from brevanta.pipeline.interview import STDIN, STDIN_NAME, interview_base_name

if TYPE_CHECKING:
    from brevanta.pipeline.readers import SourceText

# Organisation ids name session files: no path separators, no leading "-" or ".".
_ORG_ID = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]*")

# The documents a run writes, in the order they are written, and the formats it can write them in, in
# the order they are offered: every list of kinds or formats, in both front ends, is one of these.
DOCUMENT_KINDS = ("prd", "trd")
FORMATS = ("md", "html", "docx")

# Saved replies in a replay directory, one file per request of the run.
REPLAY_FILES = {"analysis": "analysis.md", **{kind: f"{kind}.md" for kind in DOCUMENT_KINDS}}


def _read_bytes(path: str, limit: int | None) -> bytes:
    """The file's bytes; with a `limit`, never more than one byte past it, so a file too large to read
    is refused without being read whole."""
    if path == STDIN:
        return sys.stdin.buffer.read() if limit is None else sys.stdin.buffer.read(limit + 1)
    with open(path, "rb") as file:
        return file.read() if limit is None else file.read(limit + 1)


def _shown(path: str) -> str:
    """`path` as a message names it."""
    return STDIN_NAME if path == STDIN else path


def _file_bytes(path: str, what: str, limit: int | None = None) -> bytes:
    """The bytes of `path` ("-": standard input); a UsageError for a missing or unreadable file."""
    shown = _shown(path)
    try:
        return _read_bytes(path, limit)
    except FileNotFoundError:
        raise UsageError(f"{what} not found: {shown}") from None
    except IsADirectoryError:
        raise UsageError(f"{what} is a directory: {shown}") from None
    except OSError as exc:
        raise UsageError(f"cannot read {what} {shown}: {exc.strerror or exc}") from None


def read_source_file(path: str, what: str) -> SourceText:
    """The document in `path` ("-": standard input) as its reader reads it, whatever its kind (text,
    Markdown, Word, PDF, a transcript); a UsageError naming the file and what is wrong with it."""
    from brevanta.pipeline.readers import MAX_SOURCE_BYTES, SourceProblem, read_source

    data = _file_bytes(path, what, MAX_SOURCE_BYTES)
    try:
        return read_source(data, interview_base_name(path))
    except SourceProblem as problem:
        raise UsageError(f"{what} {problem.reason}: {_shown(path)}") from None


def read_text_file(path: str, what: str) -> str:
    """The text of a file that must be text (a saved reply), decoded by the readers' one rule; a UsageError
    for a missing, unreadable, undecodable or empty file."""
    from brevanta.pipeline.readers import SourceProblem
    from brevanta.pipeline.readers.text import read_text

    shown = _shown(path)
    try:
        return read_text(_file_bytes(path, what), shown).text
    except SourceProblem as problem:
        raise UsageError(f"{what} {problem.reason}: {shown}") from None


def estimated_tokens(text: str) -> int:
    return max(1, math.ceil(len(text) / 4))  # about four characters a token for English prose


def check_size(text: str, what: str) -> None:
    """Refuses a text the model could not take, before anything is sent or asked."""
    estimate, limit = estimated_tokens(text), config.MAX_INTERVIEW_TOKENS
    if estimate > limit:
        raise InputProblem(
            f"{what} is too large: about {estimate:,} tokens estimated, the limit is {limit:,}",
            hint="Shorten it, or raise BREVANTA_MAX_INTERVIEW_TOKENS if your model takes more.",
        )


def read_replies(path: str) -> dict[str, str]:
    """The saved replies of a replay: a directory with one file per request, or one file for the analysis."""
    directory = Path(path)
    if not directory.is_dir():
        return {"analysis": read_text_file(path, "reply file")}
    files = {operation: directory / name for operation, name in REPLAY_FILES.items()}
    return {operation: read_text_file(str(file), "reply file") for operation, file in files.items() if file.exists()}


def check_org_id(org_id: str, field: str = "the organisation id") -> str:
    """`org_id` when it can name session files; a UsageError naming the front end's `field` when not."""
    if not _ORG_ID.fullmatch(org_id):
        raise UsageError(
            f"{field} must start with a letter or digit and hold only letters, digits, '.', '_' and '-': {org_id!r}"
        )
    return org_id


def check_formats(formats: list[str]) -> None:
    """Refuses formats whose libraries are not installed, before any model request."""
    from brevanta.pipeline.formats import missing_modules

    if missing_modules(formats):
        wanted = ",".join(fmt for fmt in formats if fmt != "md")
        raise InputProblem(f"--format {wanted} needs the documents extra: pip install 'brevanta[documents]'")
