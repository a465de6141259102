"""`brevanta sessions`: the sessions of an organisation, or of every organisation grouped by
organisation; moving an archived one back, and reopening a completed one, so that they are offered again."""

from __future__ import annotations

import argparse
from pathlib import Path

from brevanta import display, waymark
from brevanta.pipeline.inputs import check_org_id, read_source_file
from brevanta.errors import EXIT_OK, CommandError, EnvironmentProblem, UsageError, os_reason
from brevanta.pipeline import archive, session
from brevanta.pipeline import listing
from brevanta.pipeline import organisation as organisations
from brevanta.pipeline.interview import STDIN, Interview
from brevanta.pipeline.organisation import Organisation
from brevanta.pipeline.lock import SessionLocked
from brevanta.pipeline.session import in_words, state_of, when
from brevanta.untrusted import for_terminal

_SECTIONS = {listing.UNFINISHED: "Unfinished sessions", listing.COMPLETE: "Completed sessions",
             listing.ARCHIVED: "Archived sessions"}


def _show(title: str, summaries: list[listing.SessionSummary]) -> None:
    if not summaries:
        display.info(f"{title}: none.")
        return
    display.info(f"{title}, newest first:")
    for summary in summaries:
        usage = f"; {summary.usage}" if summary.usage else ""
        print(f"    {for_terminal(when(summary.saved_at))}  {for_terminal(summary.phase)}, "
              f"{in_words(summary.holdings)}{for_terminal(usage)}")
        print(f"        {for_terminal(summary.path)}")


def _listed(org_ids: tuple[str, ...] | None) -> dict[str, list[listing.SessionSummary]]:
    return {_SECTIONS[status]: summaries for status, summaries in listing.sessions(org_ids).items()}


def _show_all(sections: dict[str, list[listing.SessionSummary]]) -> None:
    """Every organisation's sessions, one organisation after the other."""
    every = listing.by_organisation(summary for summaries in sections.values() for summary in summaries)
    if not every:
        display.info(f"No sessions in {for_terminal(waymark.SESSIONS_DIR)}.")
    for org in every:
        print()
        display.info(f"Organisation {for_terminal(org)}:")
        for title, summaries in sections.items():
            _show(title, [summary for summary in summaries if summary.org_id == org])


def restore(name: str) -> int:
    try:
        target = archive.restore(name)
    except archive.NoSuchSessionFile as exc:
        raise UsageError(str(exc)) from None
    except archive.NotRestored as exc:
        raise CommandError(str(exc), hint="Archive or rename that file first." if exc.taken else None) from None
    display.success(f"Restored {for_terminal(target)}")
    print("It is offered again at the next `brevanta analyze` of its interview.")
    return EXIT_OK


def reopen(name: str) -> int:
    path = Path(name)
    try:
        record = archive.reopen(name)
    except archive.NoSuchSessionFile as exc:
        raise UsageError(str(exc)) from None
    except ValueError:
        raise CommandError(f"cannot reopen {path.name}: it is not a completed session",
                           hint="An unfinished session is offered by `brevanta analyze` as it is.") from None
    except SessionLocked as locked:
        raise CommandError(str(locked), hint="Nothing was changed; wait for that run to end.") from None
    display.success(f"Reopened {for_terminal(path)}")
    print(f"The next `brevanta analyze` of {for_terminal(session.interview_name(state_of(record)))} offers it: "
          "change its decisions there, and its documents are written again.")
    return EXIT_OK


def _org_of_interview(path: str) -> Organisation:
    return organisations.for_interview(
        Interview(path, read_source_file(path, "interview file").text if path == STDIN else ""))


def sessions(args: argparse.Namespace) -> int:
    for option in ("restore", "reopen"):
        if getattr(args, option) is not None:
            if args.org is not None or args.interview is not None or args.restore and args.reopen:
                raise UsageError(f"--{option} takes the session file alone")
            return restore(args.restore) if option == "restore" else reopen(args.reopen)
    organisation = organisations.named(check_org_id(args.org, "--org")) if args.org is not None else None
    try:
        if organisation is None and args.interview is not None:
            organisation = _org_of_interview(args.interview)
        sections = _listed(organisation.ids if organisation else None)
    except OSError as exc:
        raise EnvironmentProblem(f"cannot list the sessions in {waymark.SESSIONS_DIR}: {os_reason(exc)}",
                                 hint="Check CORVANE_HOME and the disk.") from None
    if organisation is None:
        _show_all(sections)
        return EXIT_OK
    for title, records in sections.items():
        _show(title, records)
    return EXIT_OK
