"""The command line: its parser, help texts and the checks of what the user typed.

Imports nothing heavy, so `--help`, `--version` and usage errors answer at once.
"""

from __future__ import annotations

import argparse
import math
import re
import sys
import uuid
from collections.abc import Sequence
from pathlib import Path
from typing import Any

from brevanta import config
from brevanta.cli.errors import InputProblem, UsageError

# Organisation ids name session files: no path separators, no leading "-" or ".".
_ORG_ID = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]*")

STDIN = "-"  # the interview file argument that means standard input

# Saved replies in a replay directory, one file per request of the run.
REPLAY_FILES = {"analysis": "analysis.md", "prd": "prd.md", "trd": "trd.md"}

DESCRIPTION = "Interview a company about the AI agent it wants: analyse the interview, then write its PRD and TRD."

ANALYZE_DESCRIPTION = """\
From an interview to the documents. The model scores how complete the
requirements are and lists the gaps with their impact on the PRD and the TRD;
the report is printed. When critical gaps exist you choose: 1 continue anyway
(the open gaps are bypassed), 2 answer follow-up questions, or 3 attach a
document (its text joins the interview and the round is analysed again).
Answering goes gap by gap: answer it, bypass it (the documents are told what
is missing), or leave it open for a later round. Once every gap is answered
or bypassed, the model writes PRD.md and TRD.md into the output directory;
every bypassed gap is listed in their "Known gaps and assumptions" section.
An existing document is kept as a numbered backup (PRD.md.~1~).
INTERVIEW_FILE "-" reads the interview from standard input.

The session is saved under $CORVANE_HOME/sessions (default ~/.corvane) after
the analysis, after every decision and after each document, and marked
complete when both documents are written. When gaps are left open, the
command for the next round is printed. When the organisation has an
unfinished session, the newest one is offered for resuming: it continues
where it stopped, without paying for its analysis again; a declined session is
moved to sessions/archive once the new run has its analysis.

Model access, first match wins: --replay DIR (saved model replies, offline);
a relay when BREVANTA_RELAY_URL is set (with BREVANTA_RELAY_TOKEN); the
Anthropic API when ANTHROPIC_API_KEY is set. Each request waits at most
BREVANTA_REQUEST_TIMEOUT seconds (default 120) for its answer to begin and is
retried BREVANTA_REQUEST_RETRIES times (default 2); the documents are streamed,
and the same limit holds between two parts of the reply. An interview longer than
BREVANTA_MAX_INTERVIEW_TOKENS estimated tokens (default 150000) is refused.
BREVANTA_MAX_TOKENS_DOCUMENT (default 16000) limits each document's reply.
The two documents are requested at once over a shared, cached prompt
(BREVANTA_PARALLEL_DOCUMENTS=0: one after the other; BREVANTA_PROMPT_CACHE=0:
no cache mark). The run ends with its tokens and their cost at list prices;
BREVANTA_MODEL_PRICES='{"model": [input, output]}' (dollars per million
tokens) prices a model the table lacks.
"""

ANALYZE_EPILOG = """\
Without a terminal on standard input, or with --yes, nothing is asked: the
newest unfinished session is resumed and every open gap is bypassed.

exit status: 0 done, 1 no analysis or document could be made (the reason is
shown), 2 usage error (bad option, missing, unreadable, empty or too large
file), 3 environment or configuration problem (session directory or output
directory not writable, bad setting, disk full), 130 interrupted (Ctrl-C),
129 terminal closed (SIGHUP), 143 terminated (SIGTERM), 141 output closed
early (as by | head); every decision made until then is saved.
"""


class _ShowVersion(argparse.Action):
    """--version: the installed package's version, looked up only when asked for."""

    def __init__(self, option_strings: Sequence[str], dest: str = argparse.SUPPRESS,
                 default: str = argparse.SUPPRESS, help: str | None = None) -> None:  # noqa: A002 - argparse's name
        super().__init__(option_strings, dest, nargs=0, default=default, help=help)

    def __call__(self, parser: argparse.ArgumentParser, namespace: argparse.Namespace,
                 values: str | Sequence[object] | None, option_string: str | None = None) -> None:
        from importlib.metadata import PackageNotFoundError, version

        try:
            installed = version("brevanta")
        except PackageNotFoundError:
            installed = "(not installed)"
        print(f"brevanta {installed}")
        parser.exit()


def _round_number(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a positive whole number, got {text!r}")
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="brevanta", description=DESCRIPTION)
    parser.add_argument("--version", action=_ShowVersion, help="show the installed version and exit")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    analyze = commands.add_parser(
        "analyze",
        help="analyse an interview, settle its gaps, write its PRD and TRD",
        description=ANALYZE_DESCRIPTION,
        epilog=ANALYZE_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    analyze.set_defaults(parser=analyze)
    analyze.add_argument(
        "interview", metavar="INTERVIEW_FILE", help="the interview so far, as text or Markdown; '-' for standard input"
    )
    analyze.add_argument(
        "--org",
        metavar="ORG_ID",
        help="organisation whose sessions to use (letters, digits, '.', '_', '-'); "
        "default: an id derived from the interview file's path",
    )
    analyze.add_argument(
        "--round",
        type=_round_number,
        metavar="N",
        help="analysis round to run (default: the resumed session's round, else 1); "
        "from round 2 the model is told to look for new gaps only",
    )
    analyze.add_argument(
        "-y", "--yes", action="store_true", help="ask nothing: resume the newest unfinished session, bypass every gap"
    )
    analyze.add_argument("--new", action="store_true", help="start a new session without offering to resume one")
    analyze.add_argument("-v", "--verbose", action="store_true", help="also log informational messages to stderr")
    add_document_options(analyze)
    add_sessions_command(commands)
    return parser


def _read_bytes(path: str) -> bytes:
    if path == STDIN:
        return sys.stdin.buffer.read()
    return Path(path).read_bytes()


def read_text_file(path: str, what: str) -> str:
    """The file's text ("-": standard input); a UsageError for a missing, unreadable, non-UTF-8 or empty file."""
    shown = "standard input" if path == STDIN else path
    try:
        data = _read_bytes(path)
    except FileNotFoundError:
        raise UsageError(f"{what} not found: {shown}") from None
    except IsADirectoryError:
        raise UsageError(f"{what} is a directory: {shown}") from None
    except OSError as exc:
        raise UsageError(f"cannot read {what} {shown}: {exc.strerror or exc}") from None
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError:
        raise UsageError(f"{what} is not UTF-8 text: {shown}") from None
    if not text.strip():
        raise UsageError(f"{what} is empty: {shown}")
    return text


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


def default_org_id(interview_path: str) -> str:
    """A stable UUID for the interview file, so reruns on the same file share sessions."""
    return str(uuid.uuid5(uuid.NAMESPACE_URL, Path(interview_path).resolve().as_uri()))


def check_org_id(org_id: str) -> str:
    if not _ORG_ID.fullmatch(org_id):
        raise UsageError(
            f"--org must start with a letter or digit and hold only letters, digits, '.', '_' and '-': {org_id!r}"
        )
    return org_id


class Inputs:
    """What the command line names, read and checked before any heavy import."""

    # A plain class: dataclasses would load inspect, a tenth of the start-up time.
    def __init__(self, interview: str, replies: dict[str, str] | None, org_id: str) -> None:
        self.interview = interview
        self.replies = replies
        self.org_id = org_id


def check_inputs(args: argparse.Namespace) -> Inputs:
    interview = read_text_file(args.interview, "interview file")
    check_size(interview, "the interview")
    replies = read_replies(args.replay) if args.replay else None
    org_id = check_org_id(args.org) if args.org is not None else default_org_id(args.interview)
    return Inputs(interview, replies, org_id)


# -- the documents and the sessions command -------------------------------------


def add_document_options(analyze: argparse.ArgumentParser) -> None:
    analyze.add_argument(
        "--out",
        metavar="DIR",
        help="write PRD.md and TRD.md into DIR (default: a folder under the current directory named "
        "after --org, else after the interview file)",
    )
    analyze.add_argument(
        "--replay",
        metavar="DIR",
        help="answer every request from the saved model replies in DIR (analysis.md, prd.md, trd.md) "
        "instead of calling a model (offline runs and demos); a single file answers the analysis only",
    )


SESSIONS_DESCRIPTION = """\
List an organisation's sessions: the unfinished ones (which `brevanta analyze`
offers to resume) and the archived ones (declined when offered), each with
when it was saved, its phase, round, answers, bypassed and open gaps. The
organisation is --org, else the one the interview file stands for; with
neither, every session is listed.

--restore FILE moves an archived session back among the unfinished ones, so
it is offered again; it never replaces a file.
"""

SESSIONS_EPILOG = """\
exit status: 0 done, 1 the session could not be restored (the reason is
shown), 2 usage error, 3 environment problem (for instance an unreadable
session home).
"""


def add_sessions_command(commands: Any) -> None:
    sessions = commands.add_parser(
        "sessions",
        help="list an organisation's sessions, or restore an archived one",
        description=SESSIONS_DESCRIPTION,
        epilog=SESSIONS_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sessions.set_defaults(parser=sessions)
    sessions.add_argument("interview", nargs="?", metavar="INTERVIEW_FILE",
                          help="list the sessions of the organisation this interview file stands for")
    sessions.add_argument("--org", metavar="ORG_ID", help="list this organisation's sessions")
    sessions.add_argument("--restore", metavar="FILE",
                          help="move this archived session (a path or a file name in sessions/archive) back")
