"""The run's session at the terminal: offering to resume one of this interview, refusing a session
another run holds, reopening a completed one, and the lines that say where it is saved."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import TYPE_CHECKING, Any

from brevanta import display
from brevanta.errors import EnvironmentProblem
from brevanta.cli.terminal import Spinner, ask_word, ask_yes_no
from brevanta.pipeline import session
from brevanta.pipeline.interview import Interview
from brevanta.pipeline.lock import InterviewBusy, SessionLocked
from brevanta.pipeline.organisation import Organisation
from brevanta.pipeline.session import Run, describe, interview_name, state_of, when
from brevanta.pipeline.words import sentence
from brevanta.untrusted import for_terminal

if TYPE_CHECKING:  # the analysis module loads the SDK
    from brevanta import gapscope

# At a session whose interview file changed since: analyse the new text keeping the answers, or start anew.
CHANGED_CHOICES = {"k": "keep", "n": "new"}


def _list_sessions(sessions: list[dict[str, Any]]) -> None:
    display.info("Unfinished sessions of this interview, newest first:")
    for record in sessions:
        print(f"    {for_terminal(when(record['saved_at']))}  {for_terminal(record['phase'])}, {describe(state_of(record))}  "
              f"{for_terminal(record['path'])}")


IN_USE_HINT = "Wait for that run to end (or end it), or pass --new to start a new session."


def _in_use(locked: SessionLocked, fresh: Run, interactive: bool) -> Run:
    """Another run holds the session (or its lock file is unusable): it is never touched here. A new
    session, or status 3."""
    display.warning(for_terminal(sentence(str(locked))))
    if interactive and ask_yes_no("Start a new session instead?", default=False):
        return fresh
    raise EnvironmentProblem(str(locked), hint=None if locked.problem else IN_USE_HINT)


def _taken(record: dict[str, Any], args: argparse.Namespace, interview: Interview) -> Run | None:
    """The session of `record`, locked and read again, under its own organisation (one saved under an
    earlier default id keeps it); None when it finished or vanished meanwhile."""
    lock, current = session.take(record)
    if current is None or (current["phase"] == session.COMPLETE_PHASE and not args.reopen):
        lock.release()
        return None
    return session.resumed(current, interview, current["org_id"], args.round, lock)


def _resume_question(record: dict[str, Any]) -> str:
    state = state_of(record)
    return (f"Resume the session of {for_terminal(interview_name(state))} saved {for_terminal(when(record['saved_at']))} "
            f"({describe(state)})?")


def _offer(record: dict[str, Any], args: argparse.Namespace, interview: Interview,
           interactive: bool, fresh: Run) -> Run | None:
    session.refuse_if_held(record)
    question = _resume_question(record)
    wanted: bool | None = True
    if not interactive:
        print(f"{question} [Y/n] yes (not asking)")
    else:
        wanted = ask_yes_no(question)
    if wanted is None:  # end of input: the session stays as it is, on offer
        return None
    if not wanted:
        # Archived only once the new run has an analysis: a run that cannot reach a model keeps it on offer.
        fresh.declined = record["path"]
        display.info(f"Starting a new session; {for_terminal(Path(record['path']).name)} is archived once it has "
                     "its analysis.")
        return fresh
    return _taken(record, args, interview) or fresh


def _offer_changed(record: dict[str, Any], args: argparse.Namespace, interview: Interview,
                   interactive: bool, fresh: Run) -> Run | None:
    """The interview file was edited since the session was saved: its old analysis is never used.
    None at end of input: nothing is changed."""
    session.refuse_if_held(record)
    state = state_of(record)
    display.warning(f"The interview changed since this session was saved: {for_terminal(interview_name(state))}, "
                    f"saved {for_terminal(when(record['saved_at']))} ({describe(state)}).")
    prompt = "  [k]eep every answer and analyse the changed interview, or start [n]ew? "
    if not interactive:
        print(f"{prompt}keep (not asking)")
        choice: str | None = "k"
    else:
        choice = ask_word(prompt, CHANGED_CHOICES)
    if choice is None:
        return None
    if choice == "n":
        fresh.declined = record["path"]
        display.info(f"Starting a new session; {for_terminal(Path(record['path']).name)} is archived once it has "
                     "its analysis.")
        return fresh
    run = _taken(record, args, interview)
    if run is None:
        return fresh
    session.for_changed_interview(run)
    display.info(f"Keeping {describe(state)}; the changed interview is analysed again (bypassed gaps are asked again).")
    return run


def _chosen(args: argparse.Namespace, interview: Interview, organisation: Organisation, interactive: bool,
            listed: list[dict[str, Any]]) -> Run | None:
    """One of this interview's sessions of `listed`, resumed, or a new one; None at end of input."""
    fresh = session.new_run(interview, organisation.org_id, args.round or 1)
    if args.new:
        return fresh
    if args.reopen:
        return _reopened(args, interview, organisation, fresh)
    same, changed = session.of_interview(listed, interview)
    try:
        if same:
            _list_sessions(same)
            return _offer(same[0], args, interview, interactive, fresh)
        if changed:
            return _offer_changed(changed[0], args, interview, interactive, fresh)
    except SessionLocked as locked:
        return _in_use(locked, fresh, interactive)
    return fresh


BUSY_HINT = "Run the command again once that analysis is saved: its session is offered then."


def _unfinished(organisation: Organisation) -> list[dict[str, Any]]:
    """The organisation's unfinished sessions, under its name and the ids it had before, newest first."""
    return session.newest_first(session.unfinished_sessions, organisation.ids)


def choose_session(args: argparse.Namespace, interview: Interview, organisation: Organisation,
                   interactive: bool) -> Run | None:
    """The session this run works in: one of this interview's, resumed, or a new one. None when the
    user ended the input before choosing; nothing was changed then. A new session is analysed by this
    run alone: another run analysing the same text for a new session is waited for (its session is then
    offered) or refused."""
    while True:
        listed = [] if args.new or args.reopen else _unfinished(organisation)
        run = _chosen(args, interview, organisation, interactive, listed)
        if run is None or run.session_file is not None:
            return run
        try:
            session.claim(run)
        except InterviewBusy as busy:
            if not _wait_for_claim(run, busy, interactive):
                return None
            continue  # its session is offered now, or it saved none
        if args.new or run.declined:
            return run
        if not session.saved_meanwhile(_unfinished(organisation), {record["path"] for record in listed}, interview):
            return run
        run.release()  # saved by another run between the listing and the claim: offered now


def _wait_for_claim(run: Run, busy: InterviewBusy, interactive: bool) -> bool:
    """Another run is analysing this interview text for a new session: wait until it has saved it
    (then it is offered), or status 3. False at end of input."""
    if not interactive or busy.problem:
        raise EnvironmentProblem(str(busy), hint=None if busy.problem else BUSY_HINT)
    display.warning(for_terminal(sentence(str(busy))))
    wanted = ask_yes_no("Wait for it, then take up its session?")
    if wanted is None:
        return False
    if not wanted:
        raise EnvironmentProblem(str(busy), hint=None if busy.problem else BUSY_HINT)
    with Spinner("Waiting for that analysis...", sys.stderr):
        session.claim(run, wait=True)
    run.release()
    return True


def _reopened(args: argparse.Namespace, interview: Interview, organisation: Organisation, fresh: Run) -> Run:
    """The newest completed session of this interview, opened again so its decisions can be changed
    and its documents written again."""
    same, _ = session.of_interview(session.newest_first(session.completed_sessions, organisation.ids), interview)
    if not same:
        raise EnvironmentProblem(f"no completed session of {interview.shown_name()} to reopen",
                                 hint="`brevanta sessions` lists the sessions; run without --reopen to start one.")
    try:
        run = _taken(same[0], args, interview)
    except SessionLocked as locked:
        return _in_use(locked, fresh, interactive=False)
    if run is None:
        raise EnvironmentProblem(f"the session {same[0]['path']} is gone", hint="Run the command again.")
    session.reopen(run)
    display.info(f"Reopened the session of {for_terminal(interview.shown_name())} saved "
                 f"{for_terminal(when(same[0]['saved_at']))} "
                 f"({describe(state_of(same[0]))}).")
    return run


def archive_declined(run: Run) -> None:
    if run.declined is not None:
        if session.archive(run.declined):
            display.info(f"Archived {for_terminal(Path(run.declined).name)}.")
        run.declined = None


def save_session(run: Run, result: gapscope.AnalysisResult) -> None:
    if session.save(run, result):
        print(display.dim(f"Session saved: {for_terminal(run.session_file)}"))
