"""The organisation a run works for when the user names none (`--org`, the browser's field): a readable
name taken from the interview, which also names the folder its documents go into.

The name is the interview file's stem, or for an interview without a file (standard input, a paste)
its title, lowercased and reduced to letters, digits and hyphens: `interview.md` is `interview`. Two
different interviews that would get the same name are kept apart by a short hash of what tells them
apart (the file's path, or the text), added only when the store shows the name taken by another
interview. Earlier versions named the organisation by a UUID; the sessions saved under it are still
found (`Organisation.earlier_ids`).
"""

from __future__ import annotations

import hashlib
import re
import unicodedata
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from brevanta import waymark
from brevanta.pipeline.interview import STDIN, Interview, binding, legacy_org_id, title
from brevanta.pipeline.session import session_records, state_of

FALLBACK_NAME = "interview"
_LONGEST_NAME = 40
_SHORT_HASH = 6
# Words that begin many a title and tell one interview from another not at all.
_LEADING_WORDS = re.compile(r"^(?:interview|transcript|notes)(?:\s+(?:with|of|for))?\s*[:\u2014-]?\s+", re.IGNORECASE)


@dataclass(frozen=True)
class Organisation:
    """The id new sessions are saved under, and the ids this interview's sessions may carry from before."""

    org_id: str
    earlier_ids: tuple[str, ...] = ()

    @property
    def ids(self) -> tuple[str, ...]:
        return (self.org_id, *self.earlier_ids)


def safe_name(text: str) -> str:
    """`text` as an organisation id: lowercased ASCII letters and digits joined by hyphens, at most 40
    characters (cut at a hyphen); "interview" when nothing is left."""
    ascii_text = unicodedata.normalize("NFKD", text).encode("ascii", "ignore").decode("ascii")
    name = re.sub(r"[^a-z0-9]+", "-", ascii_text.lower()).strip("-")
    if len(name) > _LONGEST_NAME:
        name = name[:_LONGEST_NAME + 1].rsplit("-", 1)[0] if "-" in name[:_LONGEST_NAME + 1] else name[:_LONGEST_NAME]
    return name or FALLBACK_NAME


def readable_name(interview: Interview, file_name: str | None = None) -> str:
    """The name an interview gives its organisation: its file's stem (an upload's `file_name` stands in
    for a file), else its title."""
    if interview.path != STDIN:
        return safe_name(Path(interview.path).stem)
    if file_name:
        return safe_name(Path(file_name).stem)
    return safe_name(_LEADING_WORDS.sub("", title(interview.text)))


def _identity(interview: Interview) -> str:
    """What tells this interview from another of the same name: its file, or its text."""
    return interview.stored_path if interview.path != STDIN else interview.sha256


def _records(org_id: str) -> list[dict[str, Any]]:
    waymark._ensure_dirs()
    return session_records(waymark.SESSIONS_DIR, org_id) + session_records(waymark.ARCHIVE_DIR, org_id)


def _ours(record: dict[str, Any], interview: Interview) -> bool:
    return binding(state_of(record), interview) != "other"


def for_interview(interview: Interview, file_name: str | None = None) -> Organisation:
    """The organisation of an interview whose user named none: its readable name, or that name with a
    short hash when the store holds another interview's sessions under it."""
    name = readable_name(interview, file_name)
    kept_apart = f"{name}-{hashlib.sha256(_identity(interview).encode('utf-8', 'surrogatepass')).hexdigest()[:_SHORT_HASH]}"
    taken = _records(name)
    if taken and not any(_ours(record, interview) for record in taken):
        name = kept_apart
    elif not taken and _records(kept_apart):  # the name was taken when this interview began, and freed since
        name = kept_apart
    return Organisation(name, (legacy_org_id(interview.path, interview.text),))


def named(org_id: str) -> Organisation:
    """The organisation the user named: its sessions are under that id alone."""
    return Organisation(org_id)


def default_output_dir(org_id: str) -> str:
    """Where a session writes its documents unless told otherwise: a folder named after its organisation
    under the current directory (the one `brevanta analyze` or `brevanta serve` was started in)."""
    return str(Path(org_id).absolute())
