"""The command line: its parser, help texts and the checks of what the user typed.

Imports nothing heavy, so `--help`, `--version` and usage errors answer at once.
"""

from __future__ import annotations

import argparse
import re
import sys
from collections.abc import Sequence
from typing import Any

from brevanta import installed_version
from brevanta.pipeline.inputs import (DOCUMENT_KINDS, FORMATS, check_formats, check_org_id, check_size, read_replies,
                                     read_source_file)
from brevanta.pipeline.interview import STDIN, Interview

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
The interview and attached documents may be text or Markdown (UTF-8, or UTF-16
with its byte-order mark), Word (.docx), PDF (with a text layer) or a call
transcript (WebVTT or SRT, each passage kept with its time and speaker); the
kind is told by the file's content.
INTERVIEW_FILE "-" reads the interview from standard input (on a terminal: paste
it, then Ctrl-D). Without --org, the organisation is named after the interview
file (interview.md: interview), or for "-" after its first heading; a short
hash is added when another interview has that name already, so different
interviews never share a session.

At a gap, type a/answer, b/bypass or l/leave (any case). An answer may span
several lines; an empty line ends it. Bypassing a critical gap asks first.
End of input (Ctrl-D) at any prompt keeps every decision and the analysis.

The session is saved under $CORVANE_HOME/sessions (default ~/.corvane) after
the analysis, after every decision and after each document, and marked
complete when both documents are written. When gaps are left open, the
command for the next round is printed. When the organisation has an
unfinished session of this very interview text, the newest one is offered
for resuming: it continues where it stopped, without paying for its analysis
again; a declined session is moved to sessions/archive once the new run has its
analysis. A session whose interview file was edited since is offered to be
analysed again keeping its answers. A session in use by another run is never
touched: the command says which process holds it and offers a new session.
On resume and before the documents are written, the decisions can be changed;
--reopen takes up the interview's completed session to change them and write
the documents again.

Model access, first match wins: --replay DIR (saved model replies, offline);
a relay when BREVANTA_RELAY_URL is set (with BREVANTA_RELAY_TOKEN); the
Anthropic API when ANTHROPIC_API_KEY is set. Each request waits at most
BREVANTA_REQUEST_TIMEOUT seconds (default 120) for its answer to begin and is
retried BREVANTA_REQUEST_RETRIES times (default 2); the documents are streamed,
and the same limit holds between two parts of the reply. An interview longer than
BREVANTA_MAX_INTERVIEW_TOKENS estimated tokens (default 150000) is refused.
BREVANTA_MAX_TOKENS_DOCUMENT (default 16000) limits each document's reply.

The model is BREVANTA_MODEL_REASONING (default claude-sonnet-4-5), and the
analysis reply holds at most BREVANTA_MAX_TOKENS_ANALYSIS tokens (default
8000). BREVANTA_MODEL_ROUTING, a JSON object such as {"prd": "claude-opus-4-1"},
gives a request (analysis, prd, trd) a model of its own (default: none, every
request asks BREVANTA_MODEL_REASONING). Token limits go up to 128000, the
interview limit up to 1000000, the timeout up to 86400 seconds (a day), the
retries up to 10. Sessions live in CORVANE_HOME (default ~/.corvane).
The two documents are requested at once over a shared, cached prompt
(BREVANTA_PARALLEL_DOCUMENTS=0: one after the other; BREVANTA_PROMPT_CACHE=0:
no cache mark). The run ends with its tokens and their cost at list prices;
BREVANTA_MODEL_PRICES='{"model": [input, output]}' (dollars per million
tokens) prices a model the table lacks (a batch then pays half; four numbers
give the batch prices too). Many interviews at once, at half the price: see
`brevanta batch --help`; it waits BREVANTA_BATCH_POLL seconds (default 10)
before its first look at a batch.
"""

ANALYZE_EPILOG = """\
Without a terminal on standard input, or with --yes, nothing is asked: the
newest unfinished session is resumed and every open gap is bypassed.

exit status: 0 done, 1 no analysis or document could be made (the reason is
shown), 2 usage error (bad option, missing, unreadable, empty or too large
file), 3 environment or configuration problem (session directory or output
directory not writable, bad setting, disk full, session in use by another run), 130 interrupted (Ctrl-C),
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
        print(f"brevanta {installed_version()}")
        parser.exit()


def _round_number(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = 0
    if value < 1:
        raise argparse.ArgumentTypeError(f"must be a positive whole number, got {text!r}")
    return value


def add_command(commands: Any, name: str, summary: str, description: str, epilog: str) -> argparse.ArgumentParser:
    """A subcommand whose help keeps its paragraphs as written; its own parser reports its usage errors."""
    command: argparse.ArgumentParser = commands.add_parser(
        name, help=summary, description=description, epilog=epilog,
        formatter_class=argparse.RawDescriptionHelpFormatter)
    command.set_defaults(parser=command)
    return command


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(prog="brevanta", description=DESCRIPTION)
    parser.add_argument("--version", action=_ShowVersion, help="show the installed version and exit")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    analyze = add_command(commands, "analyze", "analyse an interview, settle its gaps, write its PRD and TRD", ANALYZE_DESCRIPTION, ANALYZE_EPILOG)
    analyze.add_argument(
        "interview", metavar="INTERVIEW_FILE", help="the interview so far: text, Markdown, Word, PDF or a WebVTT/SRT transcript; '-' for standard input"
    )
    analyze.add_argument(
        "--org",
        metavar="ORG_ID",
        help="organisation whose sessions to use (letters, digits, '.', '_', '-'); default: the interview "
        "file's name (interview.md: interview), or for '-' its first heading, with a short hash added "
        "when another interview has that name already",
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
    analyze.add_argument("--reopen", action="store_true",
                         help="reopen this interview's newest completed session: change its decisions, "
                         "write the documents again (the earlier ones are kept as numbered backups)")
    analyze.add_argument("-v", "--verbose", action="store_true", help="also log informational messages to stderr")
    add_document_options(analyze)
    add_sessions_command(commands)
    add_render_command(commands)
    add_serve_command(commands)
    add_batch_command(commands)
    return parser


class Inputs:
    """What the command line names, read and checked before any heavy import."""

    # A plain class: dataclasses would load inspect, a tenth of the start-up time.
    def __init__(self, interview: Interview, replies: dict[str, str] | None, org_id: str | None) -> None:
        self.interview = interview
        self.replies = replies
        self.org_id = org_id  # --org; without it the organisation is named after the interview


PASTE_PROMPT = "Paste the interview, then press Ctrl-D on a line of its own to end it."


def check_inputs(args: argparse.Namespace) -> Inputs:
    if args.interview == STDIN and sys.stdin.isatty():  # else the terminal would wait without a word
        print(PASTE_PROMPT, file=sys.stderr, flush=True)
    source = read_source_file(args.interview, "interview file")
    check_size(source.text, "the interview")
    check_formats(args.formats)
    replies = read_replies(args.replay) if args.replay else None
    org_id = check_org_id(args.org, "--org") if args.org is not None else None
    return Inputs(Interview(args.interview, source.text, source), replies, org_id)


# -- the documents and the sessions command -------------------------------------


def _formats(text: str) -> list[str]:
    """--format md,html,docx: each format once, in the order given."""
    chosen = list(dict.fromkeys(part.strip().lower() for part in text.split(",") if part.strip()))
    unknown = [fmt for fmt in chosen if fmt not in FORMATS]
    if unknown or not chosen:
        raise argparse.ArgumentTypeError(f"choose from {','.join(FORMATS)}, separated by commas; got {text!r}")
    return chosen


def add_format_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument(
        "--format", dest="formats", type=_formats, default=["md"], metavar=",".join(FORMATS),
        help="the document formats to write, separated by commas (default: md): PRD.md, a self-contained "
        "PRD.html to read or print, PRD.docx for Word; html and docx need brevanta[documents]",
    )


def add_document_options(analyze: argparse.ArgumentParser) -> None:
    add_format_option(analyze)
    analyze.add_argument(
        "--out",
        metavar="DIR",
        help="write PRD.md and TRD.md into DIR (default: a folder under the current directory named "
        "after the organisation)",
    )
    analyze.add_argument(
        "--replay",
        metavar="DIR",
        help="answer every request from the saved model replies in DIR (analysis.md, prd.md, trd.md) "
        "instead of calling a model (offline runs and demos); a single file answers the analysis only",
    )


SESSIONS_DESCRIPTION = """\
List an organisation's sessions: the unfinished ones (which `brevanta analyze`
offers to resume), the completed ones and the archived ones (declined when
offered), each with when it was saved, its phase, round, answers, bypassed and
open gaps. The organisation is --org, else the one the interview file stands
for; with neither, every organisation's sessions are listed, one organisation
after the other.

--restore FILE moves an archived session back among the unfinished ones, so
it is offered again; it never replaces a file. --reopen FILE makes a completed
session unfinished again. Either takes only a regular file directly inside
its folder (sessions/archive, or sessions): a link is refused, not followed.
"""

SESSIONS_EPILOG = """\
exit status: 0 done, 1 the session could not be restored (the reason is
shown), 2 usage error, 3 environment problem (for instance an unreadable
session home).
"""


def add_sessions_command(commands: Any) -> None:
    sessions = add_command(commands, "sessions", "list an organisation's sessions, or restore an archived one", SESSIONS_DESCRIPTION, SESSIONS_EPILOG)
    sessions.add_argument("interview", nargs="?", metavar="INTERVIEW_FILE",
                          help="list the sessions of the organisation this interview file stands for")
    sessions.add_argument("--org", metavar="ORG_ID", help="list this organisation's sessions")
    sessions.add_argument("--restore", metavar="FILE",
                          help="move this archived session (a file name in sessions/archive, or its path there) back")
    sessions.add_argument("--reopen", metavar="FILE",
                          help="make this completed session (a file name in sessions, or its path there) unfinished "
                          "again, so `brevanta analyze` offers it with its decisions and writes the documents again")


RENDER_DESCRIPTION = """\
Write a session's PRD and TRD again from what the session stores: its
analysis, the decisions, the follow-up answers, the attached documents and
the model's reply of each document. No new analysis is made, and no model
request: each document is checked and assembled again from its kept reply,
in the formats asked for (--format), into --out if given. --ask-model asks
the model to write them anew instead (after a better prompt, with another
model). A document the session has no reply of is asked of the model when
it was never written (an unfinished session); one written before replies
were kept needs --ask-model. --only writes that document alone and keeps the
other's record. The session is the organisation's newest one that reached
its documents: unfinished at the documents, or complete. The organisation is
--org, else the one the interview file stands for. Earlier versions are kept
as numbered backups (PRD.md.~1~).
"""

RENDER_EPILOG = """\
exit status: 0 done, 1 no session to render, or a document could not be
written (the reason is shown; the session stays at the documents and a rerun
asks for the missing ones only), 2 usage error (bad option, unreadable file,
--format html or docx without brevanta[documents]), 3 environment problem
(session home or output directory not writable), 130 interrupted (Ctrl-C),
129 terminal closed, 143 terminated.
"""


def add_render_command(commands: Any) -> None:
    render = add_command(commands, "render", "write a session's PRD and TRD again, without a new analysis", RENDER_DESCRIPTION, RENDER_EPILOG)
    render.add_argument("interview", nargs="?", metavar="INTERVIEW_FILE",
                        help="write the documents of the organisation this interview file stands for")
    render.add_argument("--org", metavar="ORG_ID", help="write the documents of this organisation's session")
    render.add_argument("--only", choices=DOCUMENT_KINDS, help="write this document only")
    render.add_argument("--ask-model", action="store_true",
                        help="ask the model to write the documents anew (a new request, paid for) instead of "
                        "writing them from the replies the session keeps")
    render.add_argument("--out", metavar="DIR",
                        help="write into DIR (default: where the session wrote its documents); with --only, "
                        "a copy: the session's record of its documents stays where it was")
    render.add_argument("--replay", metavar="DIR",
                        help="answer the document requests from the saved replies in DIR (prd.md, trd.md)")
    add_format_option(render)


# -- the browser front end -------------------------------------------------------

SERVE_DESCRIPTION = """\
Run brevanta in your browser: the sessions of every organisation, a new
analysis (paste or upload an interview), the report, the gap walk, attached
documents, the documents written with live progress, and their downloads. It
uses the same sessions as `brevanta analyze`, so a session started in one can
be finished in the other; a session that a terminal run holds is shown read-only.

It listens on 127.0.0.1 (a free port unless --port is given) and prints one
address carrying a random access token: open it, and the browser keeps access
in a cookie; any other request is refused. Ctrl-C stops it: model requests in
flight are cancelled, every decision is already saved.

With --host set to another address, other machines can reach it, over plain
HTTP with that one token (a warning says so): it then answers to that address
(on 0.0.0.0 or ::, to any address of this machine) and to each name given
with --allow-host; a page of another site that reaches it under any other
name is refused.
"""

SERVE_EPILOG = """\
exit status: 0 stopped (Ctrl-C), 2 usage error, 3 environment problem (the
port is in use, the session home is not writable, or the `serve` extra is
not installed: pip install 'brevanta[serve]').
"""


def _port_number(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= 65535:
        raise argparse.ArgumentTypeError(f"must be a port number from 0 to 65535, got {text!r}")
    return value


def _host_name(text: str) -> str:
    """--allow-host: a host name or an IP address, without a port."""
    name = text.strip().lower().rstrip(".")
    if not re.fullmatch(r"[a-z0-9]([a-z0-9.-]*[a-z0-9])?|\[?[0-9a-f:.]+\]?", name):
        raise argparse.ArgumentTypeError(f"must be a host name or an address, without a port, got {text!r}")
    return name


def add_serve_command(commands: Any) -> None:
    serve = add_command(commands, "serve", "run brevanta in your browser, on this machine", SERVE_DESCRIPTION, SERVE_EPILOG)
    serve.add_argument("--host", metavar="H", default="127.0.0.1",
                       help="address to listen on (default 127.0.0.1). Any other address is reachable from "
                       "other machines over plain HTTP, and a warning says so; the server then answers to that "
                       "address (on 0.0.0.0 or ::, to any address of this machine) and to --allow-host names")
    serve.add_argument("--allow-host", metavar="NAME", type=_host_name, action="append", default=[],
                       help="also answer to this host name (or address) in the browser's Host header, for a "
                       "server reached by its name from other machines; may be repeated")
    serve.add_argument("--port", metavar="P", type=_port_number, default=0,
                       help="port to listen on (default: a free one)")
    serve.add_argument("--open", action="store_true", help="open the address in your web browser")


# -- many interviews at once -----------------------------------------------------

BATCH_DESCRIPTION = """\
Many interviews at half the price, on the model service's batch engine (its
Message Batches API): for a folder of interviews, or the documents of many
sessions, when nobody waits for one of them. A batch ends within 24 hours,
usually much sooner. Its requests are those of `brevanta analyze`, and its
results fill the same sessions, each exactly once: a session filled by a batch
is walked with `brevanta analyze FILE` or in the browser like any other.

  batch analyze PATH...   one analysis request per interview named, or found in
                          the folders named (.md, .markdown, .txt, .docx, .pdf,
                          .vtt, .srt); an interview whose analysis exists or
                          waits in a batch is left out
  batch wait [BATCH_ID]   follows the batch (every batch not yet read, without
                          an id) until it ends, then saves each analysis as a
                          session, or writes each document, and lists what failed
  batch documents         the PRD and TRD of every session ready for them
  batch list              the batches sent from here, and how far each one is
  batch retry BATCH_ID    a new batch of the requests that failed
  batch cancel BATCH_ID   asks the service to stop the batch

Batches above the service's limits (100,000 requests, 256 MB) are split into
several. Each batch is recorded in $CORVANE_HOME/batches before it is sent.
Batches need direct access to the Anthropic API (ANTHROPIC_API_KEY): the relay
has none. BREVANTA_BATCH_POLL (default 10) is the first wait in seconds between
two looks at a batch; the wait grows to a minute.
"""

BATCH_EPILOG = """\
exit status: 0 done, 1 a request failed or the service refused (the reason is
shown), 2 usage error (bad option, no readable interview, unknown batch), 3
environment problem (no direct access to the Anthropic API, the relay set,
session home not writable), 130 interrupted (Ctrl-C while following stops the
following, never the batch: `brevanta batch wait` follows it again).
"""


def _wait_option(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--wait", action="store_true", help="follow the batch at once, as `brevanta batch wait` does")


def add_batch_command(commands: Any) -> None:
    batch = add_command(commands, "batch", "many interviews at half the price, on the model service's batch engine",
                        BATCH_DESCRIPTION, BATCH_EPILOG)
    actions = batch.add_subparsers(dest="batch_command", required=True, metavar="ACTION")
    analyze = add_command(actions, "analyze", "analyse many interviews in one batch", BATCH_DESCRIPTION, BATCH_EPILOG)
    analyze.add_argument("paths", nargs="+", metavar="PATH", help="an interview file, or a folder of them")
    analyze.add_argument("--org", metavar="ORG_PREFIX",
                         help="each interview's organisation is ORG_PREFIX-NAME, NAME from its file's name; "
                         "default: the organisation `brevanta analyze FILE` gives it")
    _wait_option(analyze)
    wait = add_command(actions, "wait", "follow a batch, then save what it made", BATCH_DESCRIPTION, BATCH_EPILOG)
    wait.add_argument("batch_id", nargs="?", metavar="BATCH_ID", help="the batch (default: every batch not yet read)")
    documents = add_command(actions, "documents", "write the PRD and TRD of many sessions in one batch",
                            BATCH_DESCRIPTION, BATCH_EPILOG)
    documents.add_argument("--org", action="append", metavar="ORG",
                           help="the sessions of this organisation (again for more; default: every organisation)")
    documents.add_argument("-y", "--yes", action="store_true",
                           help="bypass the open gaps of each session, as `brevanta analyze --yes` does")
    documents.add_argument("--out", metavar="DIR",
                           help="write each session's documents into DIR/ORG (default: where the session writes "
                           "them, else ./ORG)")
    add_format_option(documents)
    _wait_option(documents)
    add_command(actions, "list", "the batches sent from here", BATCH_DESCRIPTION, BATCH_EPILOG)
    retry = add_command(actions, "retry", "a new batch of the requests that failed", BATCH_DESCRIPTION, BATCH_EPILOG)
    retry.add_argument("batch_id", metavar="BATCH_ID")
    _wait_option(retry)
    cancel = add_command(actions, "cancel", "ask the service to stop a batch", BATCH_DESCRIPTION, BATCH_EPILOG)
    cancel.add_argument("batch_id", metavar="BATCH_ID")
