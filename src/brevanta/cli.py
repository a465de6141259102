"""The `brevanta` command: one analysis round of an interview, end to end.

    brevanta analyze INTERVIEW_FILE [--org ORG_ID] [--round N] [--replay REPLY_FILE] [--yes] [--new] [-v]

Reads the interview, picks up or starts the organisation's session, asks the
model for an analysis, prints the report, lets the user answer or bypass each
gap, and saves the session after the analysis and after the decisions.
"""

from __future__ import annotations

import argparse
import asyncio
import itertools
import logging
import math
import re
import shlex
import sys
import threading
import uuid
from dataclasses import dataclass
from datetime import datetime
from pathlib import Path
from typing import Any, TextIO

from brevanta import config, display, gapscope, waymark
from brevanta.relaygate import RelayGate

EXIT_OK = 0
EXIT_NO_ANALYSIS = 1
EXIT_INTERRUPTED = 130
# Usage errors exit with argparse's own status, 2.

ANALYSIS_PHASE = "analysis"  # one of waymark.PHASES: the only phase this command runs

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


class UsageError(Exception):
    """A problem with what the user asked for; reported like an argument error."""


# -- arguments ----------------------------------------------------------------


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


# -- the session --------------------------------------------------------------


@dataclass
class Run:
    """One invocation's working state; a resumed session fills it from its saved state."""

    interview_path: str
    org_id: str
    round: int
    answers: list[dict[str, Any]]
    bypassed: list[dict[str, Any]]
    session_file: str | None = None


def _ask(prompt: str) -> str | None:
    """One line from the user, or None at end of input."""
    try:
        return input(prompt).strip()
    except EOFError:
        print()
        return None


def _when(saved_at: Any) -> str:
    try:
        return datetime.fromisoformat(saved_at).strftime("%Y-%m-%d %H:%M:%S")
    except (TypeError, ValueError):
        return str(saved_at) or "an unknown time"


def _state_of(record: dict[str, Any]) -> dict[str, Any]:
    return record["state"] if isinstance(record["state"], dict) else {}


def _saved_round(state: dict[str, Any]) -> int:
    value = state.get("round")
    return value if isinstance(value, int) and value >= 1 else 1


def _saved_list(state: dict[str, Any], key: str) -> list[Any]:
    value = state.get(key)
    return [item for item in value if isinstance(item, dict)] if isinstance(value, list) else []


def _unfinished_sessions(org_id: str) -> list[dict[str, Any]]:
    # The store matches on the shortened id; keep this organisation's own sessions only.
    return [record for record in waymark.load_incomplete_sessions(org_id) if record["org_id"] == org_id]


def _list_sessions(sessions: list[dict[str, Any]]) -> None:
    display.info("Unfinished sessions, newest first:")
    for record in sessions:
        print(f"    {_when(record['saved_at'])}  round {_saved_round(_state_of(record))}  {record['path']}")


def _wants_resume(record: dict[str, Any], interactive: bool) -> bool:
    question = f"Resume session from {_when(record['saved_at'])} (round {_saved_round(_state_of(record))})?"
    if not interactive:
        print(f"{question} [Y/n] yes (not asking)")
        return True
    while True:
        reply = _ask(f"{question} [Y/n] ")
        if reply is None or reply.lower() in ("", "y", "yes"):
            return True  # end of input keeps the session: declining would archive it
        if reply.lower() in ("n", "no"):
            return False
        print("Please answer y or n.")


def choose_session(args: argparse.Namespace, org_id: str, interactive: bool) -> Run:
    fresh = Run(args.interview, org_id, args.round or 1, answers=[], bypassed=[])
    if args.new:
        return fresh
    sessions = _unfinished_sessions(org_id)
    if not sessions:
        return fresh
    _list_sessions(sessions)
    newest = sessions[0]
    if not _wants_resume(newest, interactive):
        waymark.archive_session(newest["path"])
        display.info(f"Archived {Path(newest['path']).name}; starting a new session.")
        return fresh
    state = _state_of(newest)
    return Run(
        args.interview,
        org_id,
        args.round or _saved_round(state),
        answers=_saved_list(state, "interview_answers"),
        bypassed=_saved_list(state, "bypassed_gaps"),
        session_file=newest["path"],
    )


def save_session(run: Run, result: Any) -> None:
    state = waymark.build_serialisable_state(
        interview_answers=run.answers,
        analysis_summary=result.summary,
        analysis_completeness=result.completeness_score,
    )
    # What a resumed run needs beyond the standard keys.
    state["round"] = run.round
    state["bypassed_gaps"] = run.bypassed
    state["interview_file"] = str(Path(run.interview_path).resolve())
    first_save = run.session_file is None
    run.session_file = waymark.save_state(run.org_id, state, ANALYSIS_PHASE, run.session_file)
    if first_save:
        print(display.dim(f"Session saved: {run.session_file}"))


# -- model access -------------------------------------------------------------


def _estimated_tokens(text: str) -> int:
    return max(1, math.ceil(len(text) / 4))  # about four characters a token for English prose


class ReplayClient:
    """Relay-shaped client that answers every request with one saved model reply."""

    full_hosted = True

    def __init__(self, reply_text: str) -> None:
        self.reply_text = reply_text
        self.token_log: list[dict[str, Any]] = []

    def _call_ai_proxy(
        self, *, messages: list[dict[str, Any]], model: str, max_tokens: int, operation: str
    ) -> tuple[str, int, int]:
        prompt = "".join(str(message.get("content", "")) for message in messages)
        return self.reply_text, _estimated_tokens(prompt), min(max_tokens, _estimated_tokens(self.reply_text))


def choose_transport(replay_path: str | None, reply_text: str | None) -> tuple[Any, str]:
    """The api_client for the analysis and a description of where the answer comes from."""
    if reply_text is not None:
        return ReplayClient(reply_text), f"saved reply {replay_path}"
    relay = RelayGate.from_config()
    if relay is not None:
        return relay, f"relay {relay.base_url}"
    if config.ANTHROPIC_API_KEY:
        return None, "Anthropic API"
    return None, "no model access"


class Spinner:
    """A turning bar on a terminal stream while a blocking call runs; silent on anything else."""

    FRAMES = "|/-\\"

    def __init__(self, label: str, stream: TextIO, interval: float = 0.1) -> None:
        self._label = label
        self._stream = stream
        self._interval = interval
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None

    def _on_terminal(self) -> bool:
        try:
            return self._stream.isatty()
        except (AttributeError, ValueError):  # no isatty, or a closed stream
            return False

    def __enter__(self) -> Spinner:
        if self._on_terminal():
            self._thread = threading.Thread(target=self._spin, name="spinner", daemon=True)
            self._thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self._thread is None:
            return
        self._stop.set()
        self._thread.join()
        self._stream.write("\r" + " " * (len(self._label) + 2) + "\r")
        self._stream.flush()

    def _spin(self) -> None:
        for frame in itertools.cycle(self.FRAMES):
            self._stream.write(f"\r{frame} {self._label}")
            self._stream.flush()
            if self._stop.wait(self._interval):
                return


# -- the round ----------------------------------------------------------------


def interview_with_answers(interview: str, answers: list[dict[str, Any]]) -> str:
    """The interview followed by the follow-up answers, one section per round in which they were given."""
    if not answers:
        return interview
    sections = [interview.rstrip()]
    for round_number, group in itertools.groupby(answers, key=lambda answer: answer.get("round")):
        lines = [f"## Follow-up answers (round {round_number})"]
        for answer in group:
            lines += ["", f"Q: {answer.get('question', '')}", f"A: {answer.get('answer', '')}"]
        sections.append("\n".join(lines))
    return "\n\n".join(sections) + "\n"


def run_analysis(text: str, round_number: int, client: Any) -> Any:
    with Spinner(f"Analysing the interview (round {round_number})...", sys.stderr):
        return asyncio.run(gapscope.analyze_requirements(text, round_number, client))


def _print_token_usage(client: Any, estimated: bool) -> None:
    log = getattr(client, "token_log", None)
    if log:
        entry = log[-1]
        note = " (estimated)" if estimated else ""
        print(display.dim(f"  Tokens: {entry.get('input')} in, {entry.get('output')} out{note}"))


# -- the gap walk -------------------------------------------------------------


def _count(number: int, noun: str) -> str:
    return f"{number} {noun}{'' if number == 1 else 's'}"


def _gap_question(gap: dict[str, Any]) -> str:
    return str(gap.get("question") or gap.get("title") or "What is missing here?")


def _ask_decision() -> str | None:
    """'a' (answer), 'b' (bypass), 'l' (leave open), or None at end of input."""
    while True:
        reply = _ask("  [a]nswer, [b]ypass, or [l]eave open for later? ")
        if reply is None:
            return None
        if reply[:1].lower() in ("a", "b", "l"):
            return reply[:1].lower()
        print("  Please type a, b or l.")


def _ask_answer() -> str | None:
    while True:
        reply = _ask("  Your answer: ")
        if reply != "":
            return reply
        print("  An empty answer tells the model nothing; type your answer.")


def walk_gaps(result: Any, run: Run, not_asking: str | None) -> list[dict[str, Any]]:
    """Records the user's decision on each open gap; returns the new answers."""
    gaps = result.get_unanswered_gaps()
    if not gaps:
        return []
    if not_asking:
        result.bypassed_gaps.extend(gaps)
        display.info(f"Bypassing {_count(len(gaps), 'open gap')} without asking ({not_asking}).")
        return []
    print()
    display.info(f"{_count(len(gaps), 'open gap')}: answer each one, bypass it, or leave it open.")
    new_answers = []
    for index, gap in enumerate(gaps, 1):
        gapscope.display_gap_with_impact(gap, index)
        print(f"  {display.bold('Question:')} {_gap_question(gap)}")
        decision = _ask_decision()
        answer = _ask_answer() if decision == "a" else ""
        if decision is None or answer is None:
            display.info("End of input: the remaining gaps stay open.")
            break
        if decision == "a":
            result.answered_gaps.append(gap.get("id"))
            new_answers.append({"question": _gap_question(gap), "answer": answer, "gap_id": gap.get("id"),
                                "round": run.round})
        elif decision == "b":
            result.bypassed_gaps.append(gap)
    return new_answers


# -- finishing ----------------------------------------------------------------


def _invocation() -> list[str]:
    """How this program was started, so the printed command runs as it is."""
    if Path(sys.argv[0]).name == "__main__.py":
        return [sys.executable, "-m", "brevanta"]
    return [sys.argv[0] or "brevanta"]


def next_round_command(args: argparse.Namespace, run: Run) -> str:
    words = [*_invocation(), "analyze", args.interview]
    if args.org:
        words += ["--org", args.org]
    words += ["--round", str(run.round)]
    if args.replay:
        words += ["--replay", args.replay]
    return shlex.join(words)


def finish(args: argparse.Namespace, run: Run, result: Any, new_answers: list[dict[str, Any]]) -> None:
    print()
    bypass_summary = result.get_bypass_summary()
    if bypass_summary:
        display.info("Document generation will be told:")
        print(bypass_summary)
    else:
        display.info("No gaps bypassed.")
    print()
    open_gaps = result.get_unanswered_gaps()
    if not open_gaps and not new_answers:
        waymark.mark_complete(run.session_file)
        display.success(f"Session complete: {run.session_file}")
        return
    if new_answers:
        display.info(f"{_count(len(new_answers), 'new answer')} for round {run.round}.")
    if open_gaps:
        display.info(f"{_count(len(open_gaps), 'gap')} still open.")
    display.info("Run the next round with:")
    print(f"  {next_round_command(args, run)}")


def analysis_round(args: argparse.Namespace, run: Run, interview: str, reply_text: str | None,
                   not_asking: str | None) -> int:
    client, source = choose_transport(args.replay, reply_text)
    display.info(f"Analysing {args.interview}, round {run.round} ({source}).")
    result = run_analysis(interview_with_answers(interview, run.answers), run.round, client)
    if result.raw_response == "":  # the empty result of a failed or impossible analysis
        print(f"brevanta: no analysis: {result.completeness_reasoning}", file=sys.stderr)
        if source == "no model access":
            print("Set ANTHROPIC_API_KEY, set BREVANTA_RELAY_URL, or pass --replay REPLY_FILE.", file=sys.stderr)
        return EXIT_NO_ANALYSIS
    _print_token_usage(client, isinstance(client, ReplayClient))
    gapscope.display_analysis(result)

    result.bypassed_gaps.extend(run.bypassed)  # earlier rounds' bypasses stay bypassed
    run.bypassed = result.bypassed_gaps
    save_session(run, result)
    new_answers = walk_gaps(result, run, not_asking)
    run.answers += new_answers
    if new_answers:
        run.round += 1
    save_session(run, result)
    finish(args, run, result, new_answers)
    return EXIT_OK


def _why_not_asking(args: argparse.Namespace) -> str | None:
    """Why this run asks the user nothing, or None when it may ask."""
    if args.yes:
        return "--yes"
    if not sys.stdin.isatty():
        return "standard input is not a terminal"
    return None


def _configure_logging(verbose: bool) -> None:
    logging.basicConfig(
        level=logging.INFO if verbose else logging.WARNING,
        format="%(levelname)s %(name)s: %(message)s",
        stream=sys.stderr,
    )


def analyze(args: argparse.Namespace) -> int:
    interview = read_text_file(args.interview, "interview file")
    reply_text = read_text_file(args.replay, "reply file") if args.replay else None
    org_id = check_org_id(args.org) if args.org is not None else default_org_id(args.interview)
    _configure_logging(args.verbose)
    not_asking = _why_not_asking(args)
    run = None
    try:
        run = choose_session(args, org_id, interactive=not_asking is None)
        return analysis_round(args, run, interview, reply_text, not_asking)
    except KeyboardInterrupt:
        print("\nInterrupted.", file=sys.stderr)
        if run is not None and run.session_file:
            print(f"The session is saved in {run.session_file}; run the command again to resume it.",
                  file=sys.stderr)
        return EXIT_INTERRUPTED


def main(argv: list[str] | None = None) -> int:
    parser = build_parser()
    args = parser.parse_args(argv)
    try:
        return analyze(args)
    except UsageError as exc:
        args.parser.error(str(exc))  # prints the usage and exits with status 2
