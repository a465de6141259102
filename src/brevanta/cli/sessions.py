"""`brevanta sessions`: the sessions of an organisation, or of every organisation grouped by
organisation; moving an archived one back, and reopening a completed one, so that they are offered again."""

from __future__ import annotations

import argparse
from pathlib import Path
from typing import Any

from brevanta import display, waymark
from brevanta.pipeline.inputs import check_org_id, read_source_file
from brevanta.errors import EXIT_OK, CommandError, UsageError, os_reason, saving
from brevanta.pipeline import archive, session
from brevanta.pipeline.interview import STDIN, default_org_id
from brevanta.pipeline.lock import SessionLocked
from brevanta.pipeline.session import describe, state_of, when
from brevanta.pipeline.usage import usage_summary
from brevanta.untrusted import for_terminal

_SECTIONS = ("Unfinished sessions", "Completed sessions", "Archived sessions")


def _usage(record: dict[str, Any]) -> str:
    """The session's model usage over all its runs, when it kept any."""
    usage = state_of(record).get("usage")
    return f"; {usage_summary(usage)}" if isinstance(usage, list) and usage else ""


def _show(title: str, records: list[dict[str, Any]]) -> None:
    if not records:
        display.info(f"{title}: none.")
        return
    display.info(f"{title}, newest first:")
    for record in records:
        print(f"    {for_terminal(when(record['saved_at']))}  {for_terminal(record['phase'])}, {describe(state_of(record))}"
              f"{for_terminal(_usage(record))}")
        print(f"        {for_terminal(record['path'])}")


def _listed(org_id: str | None) -> dict[str, list[dict[str, Any]]]:
    unfinished = session.unfinished_sessions(org_id)
    completed, archived = session.completed_sessions(org_id), session.archived_sessions(org_id)
    return dict(zip(_SECTIONS, (unfinished, completed, archived), strict=True))


def _show_all(sections: dict[str, list[dict[str, Any]]]) -> None:
    """Every organisation's sessions, one organisation after the other."""
    grouped = {title: session.by_organisation(records) for title, records in sections.items()}
    organisations = sorted({org for groups in grouped.values() for org in groups})
    if not organisations:
        display.info(f"No sessions in {for_terminal(waymark.SESSIONS_DIR)}.")
    for org in organisations:
        print()
        display.info(f"Organisation {for_terminal(org)}:")
        for title, groups in grouped.items():
            _show(title, groups.get(org, []))


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
    except session.SessionNotSaved as exc:
        raise CommandError(f"cannot reopen {path.name}: {os_reason(exc.error)}") from None
    display.success(f"Reopened {for_terminal(path)}")
    print(f"The next `brevanta analyze` of {for_terminal(session.interview_name(state_of(record)))} offers it: "
          "change its decisions there, and its documents are written again.")
    return EXIT_OK


def _org_of_interview(path: str) -> str:
    return default_org_id(path, read_source_file(path, "interview file").text if path == STDIN else "")


def sessions(args: argparse.Namespace) -> int:
    for option in ("restore", "reopen"):
        if getattr(args, option) is not None:
            if args.org is not None or args.interview is not None or args.restore and args.reopen:
                raise UsageError(f"--{option} takes the session file alone")
            return restore(args.restore) if option == "restore" else reopen(args.reopen)
    org_id = check_org_id(args.org) if args.org is not None else None
    if org_id is None and args.interview is not None:
        org_id = _org_of_interview(args.interview)
    with saving(waymark.SESSIONS_DIR, "list the sessions", hint="Check CORVANE_HOME and the disk."):
        sections = _listed(org_id)
    if org_id is None:
        _show_all(sections)
        return EXIT_OK
    for title, records in sections.items():
        _show(title, records)
    return EXIT_OK
