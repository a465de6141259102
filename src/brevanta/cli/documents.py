"""The PRD and the TRD: their prompts, the model's reply checked for completeness and for the
known gaps, and the files written whole or not at all, beside numbered backups of what was there."""

from __future__ import annotations

import contextlib
import errno
import os
import re
import tempfile
from importlib import resources
from pathlib import Path
from typing import Any

from brevanta import config, gapscope
from brevanta.cli.errors import EnvironmentProblem, ModelFailure
from brevanta.pipeline.models import Completion

# The documents of a run, by the operation that requests each one, in the order they are written.
FILE_NAMES = {"prd": "PRD.md", "trd": "TRD.md"}
# Asked for at the end of every document: a relay reply reports no stop reason, so a reply
# without this line was cut off on the way.
END_MARKER = "<!-- end of document -->"
KNOWN_GAPS_HEADING = "Known gaps and assumptions"
NO_BYPASSED_GAPS = "None: every gap was answered or settled in the interview."

_HEADING = re.compile(r"^(#{1,6})[ \t]+(.+?)[ \t#]*$", re.MULTILINE)
_WHOLE_FENCE = re.compile(r"\A```(?:markdown|md)?[ \t]*\n(.*)\n```[ \t]*\Z", re.DOTALL)
_BACKUP_NUMBER = r"\.~(\d+)~"


def short_name(kind: str) -> str:
    return kind.upper()


# -- the request --------------------------------------------------------------


def prompt_template(kind: str) -> str:
    """The project's prompt for one document, kept as package data beside this module."""
    return (resources.files("brevanta.cli") / "prompts" / f"{kind}.md").read_text(encoding="utf-8")


def _bullets(items: list[Any]) -> list[str]:
    return [f"- {item}" for item in items] or ["- (none)"]


def _insight_line(insight: dict[str, Any]) -> str:
    line = f"[{insight.get('severity', 'unrated')}] {insight.get('title', '')}: {insight.get('description', '')}"
    if insight.get("recommendation"):
        line += f" Recommendation: {insight['recommendation']}"
    return line


def analysis_text(result: gapscope.AnalysisResult) -> str:
    """The analysis as the document requests show it: summary, facts, insights, architecture, completeness."""
    insights = [_insight_line(insight) for insight in result.insights if isinstance(insight, dict)]
    lines = [
        "## Summary", "", result.summary or "(none)", "",
        "## Completeness", "",
        f"{result.completeness_score:.2f} / 1.0. {result.completeness_reasoning}".rstrip(), "",
        "## Facts taken from the interview", "", *_bullets(result.data_points_found), "",
        "## Insights", "", *_bullets(insights), "",
        "## Architecture notes", "", *_bullets(result.architecture_notes),
    ]
    return "\n".join(lines)


def shared_material(interview: str, result: gapscope.AnalysisResult) -> str:
    """What both document requests begin with, byte for byte the same: the interview (answers and attached
    documents included), the analysis, and the bypass summary verbatim."""
    return prompt_template("material").format(
        interview=interview.strip(),
        analysis=analysis_text(result),
        bypass_summary=result.get_bypass_summary() or NO_BYPASSED_GAPS,
    )


def compose(kind: str, interview: str, result: gapscope.AnalysisResult) -> list[dict[str, Any]]:
    """The content of the one request that writes a document: the shared material, marked as the end of
    the prompt the two requests share so the second reads it from the service's prompt cache (unless
    BREVANTA_PROMPT_CACHE=0), then the document's own instructions."""
    shared: dict[str, Any] = {"type": "text", "text": shared_material(interview, result)}
    if config.PROMPT_CACHE:
        shared["cache_control"] = {"type": "ephemeral"}
    return [shared, {"type": "text", "text": prompt_template(kind).format(end_marker=END_MARKER)}]


# -- the reply ----------------------------------------------------------------


def document_text(kind: str, completion: Completion) -> str:
    """The document in a reply; ModelFailure when the reply was cut off or holds no document."""
    name = short_name(kind)
    text = completion.text
    marker_at = text.rfind(END_MARKER)
    cut_off = completion.stop_reason == "max_tokens" or (completion.stop_reason is None and marker_at < 0)
    if cut_off:
        raise ModelFailure(
            f"the {name} reply was cut off at the token limit ({config.MAX_TOKENS_DOCUMENT} tokens); "
            f"{FILE_NAMES[kind]} was not written",
            hint="Raise BREVANTA_MAX_TOKENS_DOCUMENT and run the command again: it resumes at the documents.",
        )
    if completion.stop_reason not in (None, "end_turn", "stop_sequence"):
        raise ModelFailure(f"the model stopped writing the {name} ({completion.stop_reason}); "
                           f"{FILE_NAMES[kind]} was not written")
    if marker_at >= 0:
        text = text[:marker_at]
    text = text.strip()
    if fenced := _WHOLE_FENCE.match(text):
        text = fenced.group(1).strip()
    if not text:
        raise ModelFailure(f"the {name} reply was empty; {FILE_NAMES[kind]} was not written")
    return text + "\n"


def _plain(heading: str) -> str:
    """A heading as compared: lower case, "&" as "and", single spaces ("10. Known Gaps & Assumptions")."""
    return " ".join(heading.lower().replace("&", " and ").split())


def _known_gaps_section(text: str) -> tuple[int, int] | None:
    """Where the body of the known-gaps section lies in `text`, from after its heading to the next
    heading of the same or a higher level."""
    headings = list(_HEADING.finditer(text))
    for position, heading in enumerate(headings):
        if KNOWN_GAPS_HEADING.lower() in _plain(heading.group(2)):
            level = len(heading.group(1))
            later = (other.start() for other in headings[position + 1:] if len(other.group(1)) <= level)
            return heading.end(), next(later, len(text))
    return None


def _gap_title(gap: dict[str, Any]) -> str:
    return str(gap.get("title", "Unknown"))


def _gap_entry(kind: str, gap: dict[str, Any]) -> str:
    impact = gap.get(f"impact_on_{kind}", "Unknown")
    return (f"- **{_gap_title(gap)}** [LIMITED DATA]: {gap.get('risk_if_skipped', 'Unknown impact')}\n"
            f"  {short_name(kind)} impact: {impact}")


def with_known_gaps(kind: str, text: str, bypassed: list[dict[str, Any]]) -> tuple[str, list[str]]:
    """`text` with every bypassed gap under "Known gaps and assumptions": the titles the model left
    out are added there, and the section itself when it is missing. Returns the text and the titles added."""
    section = _known_gaps_section(text)
    listed = text[section[0]:section[1]].lower() if section else ""
    missing = [gap for gap in bypassed if _gap_title(gap).lower() not in listed]
    if not missing:
        return text, []
    entries = "\n".join(_gap_entry(kind, gap) for gap in missing)
    if section is None:
        note = ("The interview did not settle these points and the user chose to go ahead without them: "
                "what this document says about them is an assumption, not a requirement.")
        text = f"{text.rstrip()}\n\n## {KNOWN_GAPS_HEADING}\n\n{note}\n\n{entries}\n"
    else:
        before, after = text[:section[1]].rstrip(), text[section[1]:]
        text = f"{before}\n{entries}\n" + (f"\n{after}" if after else "")
    return text, [_gap_title(gap) for gap in missing]


# -- the files ----------------------------------------------------------------


def check_output_dir(directory: Path) -> None:
    """EnvironmentProblem unless documents can be written into `directory` (created when it is written)."""
    existing = directory.absolute()
    while not existing.exists() and existing != existing.parent:
        existing = existing.parent
    problem = None
    if not existing.is_dir():
        problem = f"{existing} is not a directory"
    elif not os.access(existing, os.W_OK | os.X_OK):
        problem = f"{existing} is not writable"
    if problem:
        raise EnvironmentProblem(f"cannot write the documents into {directory}: {problem}",
                                 hint="Pass --out DIR with a directory you can write to.")


def _next_backup(path: Path) -> Path:
    """The next free numbered backup name, as `cp --backup=numbered` chooses it: one above the highest."""
    pattern = re.compile(re.escape(path.name) + _BACKUP_NUMBER)
    numbers = [int(match.group(1)) for entry in os.listdir(path.parent) if (match := pattern.fullmatch(entry))]
    return path.with_name(f"{path.name}.~{max(numbers, default=0) + 1}~")


def _keep_existing(path: Path) -> Path | None:
    """Keeps what is at `path` under the next numbered backup name; None when nothing is there."""
    if not os.path.lexists(path):
        return None
    if path.is_dir() and not path.is_symlink():
        raise IsADirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), str(path))
    while True:
        backup = _next_backup(path)
        try:
            # A second name for the old file: the document keeps its name until the new one replaces it.
            os.link(path, backup, follow_symlinks=False)
            return backup
        except FileExistsError:
            continue  # taken since the directory was read
        except OSError as exc:
            if exc.errno not in (errno.EPERM, errno.EXDEV, errno.EMLINK, errno.ENOTSUP, errno.EOPNOTSUPP):
                raise
        os.rename(path, backup)  # a file system without hard links
        return backup


def _new_file_mode(path: Path) -> int:
    if path.is_file():
        return path.stat().st_mode & 0o7777
    umask = os.umask(0)
    os.umask(umask)
    return 0o666 & ~umask


def _fsync_directory(directory: Path) -> None:
    descriptor = os.open(directory, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.fsync(descriptor)
    finally:
        os.close(descriptor)


def write_document(path: Path, text: str) -> Path | None:
    """Writes `text` to `path` whole or not at all (temporary file, fsync, rename). What was at
    `path` is kept as a numbered backup (`PRD.md.~1~`), whose path is returned."""
    path.parent.mkdir(parents=True, exist_ok=True)
    descriptor, temporary = tempfile.mkstemp(prefix=f".{path.name}.", suffix=".tmp", dir=path.parent)
    try:
        with open(descriptor, "w", encoding="utf-8", newline="") as file:
            file.write(text)
            file.flush()
            os.fchmod(file.fileno(), _new_file_mode(path))
            os.fsync(file.fileno())
        backup = _keep_existing(path)
        os.replace(temporary, path)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise
    _fsync_directory(path.parent)
    return backup
