"""The command line: its parser, help texts and the checks of what the user typed.

Imports nothing heavy, so `--help` and usage errors answer at once.
"""

from __future__ import annotations

import argparse
import re
import uuid
from pathlib import Path

from brevanta.cli.errors import UsageError

# Organisation ids name session files: no path separators, no leading "-" or ".".
_ORG_ID = re.compile(r"[A-Za-z0-9][A-Za-z0-9._-]*")

DESCRIPTION = "Interview a company about the AI agent it wants: analyse the interview, one round at a time."

ANALYZE_DESCRIPTION = """\
Run one analysis round of an interview: the model scores how complete the
requirements are and lists the gaps with their impact on the PRD and the TRD.
The report is printed, then each open gap is shown and you answer it (the
answer joins the interview for the next round), bypass it (document
generation is told what is missing) or leave it open for a later round.

The session is saved under $CORVANE_HOME/sessions (default ~/.corvane) after
the analysis and after your decisions; it is marked complete when no gap is
left open and no answer awaits another round, otherwise the command for the
next round is printed. When the organisation has an unfinished session, the newest
one is offered for resuming: it continues with its saved round and answers;
a declined session is moved to sessions/archive.

Model access, first match wins: --replay REPLY_FILE (a saved model reply,
offline); a relay when BREVANTA_RELAY_URL is set (with BREVANTA_RELAY_TOKEN);
the Anthropic API when ANTHROPIC_API_KEY is set.
"""

ANALYZE_EPILOG = """\
Without a terminal on standard input, or with --yes, nothing is asked: the
newest unfinished session is resumed and every open gap is bypassed.

exit status: 0 analysis done, 1 no analysis could be made (the reason is
shown), 2 usage error (bad option, missing, unreadable or empty file),
130 interrupted.
"""


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
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    analyze = commands.add_parser(
        "analyze",
        help="run one analysis round of an interview",
        description=ANALYZE_DESCRIPTION,
        epilog=ANALYZE_EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    analyze.set_defaults(parser=analyze)
    analyze.add_argument("interview", metavar="INTERVIEW_FILE", help="the interview so far, as text or Markdown")
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
        "--replay",
        metavar="REPLY_FILE",
        help="answer from this saved model reply instead of calling a model (offline runs and demos)",
    )
    analyze.add_argument(
        "-y", "--yes", action="store_true", help="ask nothing: resume the newest unfinished session, bypass every gap"
    )
    analyze.add_argument("--new", action="store_true", help="start a new session without offering to resume one")
    analyze.add_argument("-v", "--verbose", action="store_true", help="also log informational messages to stderr")
    return parser


def read_text_file(path: str, what: str) -> str:
    """The file's text; a UsageError for a missing, unreadable, non-UTF-8 or empty file."""
    try:
        data = Path(path).read_bytes()
    except FileNotFoundError:
        raise UsageError(f"{what} not found: {path}") from None
    except IsADirectoryError:
        raise UsageError(f"{what} is a directory: {path}") from None
    except OSError as exc:
        raise UsageError(f"cannot read {what} {path}: {exc.strerror or exc}") from None
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError:
        raise UsageError(f"{what} is not UTF-8 text: {path}") from None
    if not text.strip():
        raise UsageError(f"{what} is empty: {path}")
    return text


def default_org_id(interview_path: str) -> str:
    """A stable UUID for the interview file, so reruns on the same file share sessions."""
    return str(uuid.uuid5(uuid.NAMESPACE_URL, Path(interview_path).resolve().as_uri()))


def check_org_id(org_id: str) -> str:
    if not _ORG_ID.fullmatch(org_id):
        raise UsageError(
            f"--org must start with a letter or digit and hold only letters, digits, '.', '_' and '-': {org_id!r}"
        )
    return org_id
