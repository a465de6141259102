"""`brevanta sessions`: an organisation's unfinished and archived sessions, and moving an archived
one back so that it is offered again."""

from __future__ import annotations

import argparse
import errno
import json
import os
from pathlib import Path
from typing import Any

from brevanta import display, waymark
from brevanta.cli.args import check_org_id, default_org_id
from brevanta.cli.errors import EXIT_OK, CommandError, UsageError, os_reason, saving
from brevanta.cli.session import describe, state_of, unfinished_sessions, when
from brevanta.pipeline.usage import usage_summary


def _archived_sessions(org_id: str | None) -> list[dict[str, Any]]:
    """The archive's sessions, newest first, read as the store reads its own files: what does not
    parse as a session is passed over."""
    records = []
    for path in waymark.ARCHIVE_DIR.glob("*.json"):
        try:
            data = json.loads(path.read_text(encoding="utf-8"))
        except (OSError, ValueError):
            continue
        if isinstance(data, dict) and (org_id is None or data.get("org_id") == org_id):
            records.append({"path": str(path), "phase": data.get("phase", "unknown"),
                            "saved_at": str(data.get("saved_at", "")), "state": data.get("state")})
    return sorted(records, key=lambda record: record["saved_at"], reverse=True)


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
        print(f"    {when(record['saved_at'])}  {record['phase']}, {describe(state_of(record))}{_usage(record)}")
        print(f"        {record['path']}")


def _archived_file(name: str) -> Path:
    """The archived session that `name` (a path, or a file name in the archive) stands for."""
    given = Path(name)
    path = given if given.exists() or given.is_absolute() else waymark.ARCHIVE_DIR / given
    if not path.is_file() or path.suffix != ".json" or path.resolve().parent != waymark.ARCHIVE_DIR.resolve():
        raise UsageError(f"no archived session {name} (archived sessions are in {waymark.ARCHIVE_DIR})")
    return path


def _move_without_replacing(source: Path, target: Path) -> None:
    """Moves `source` to `target`; FileExistsError, and nothing moved, when `target` exists."""
    try:
        os.link(source, target)  # fails when the name is taken, however it was taken
    except OSError as exc:
        if exc.errno not in (errno.EPERM, errno.EMLINK, errno.ENOTSUP, errno.EOPNOTSUPP):
            raise
        with open(target, "xb") as copy:  # a file system without hard links
            copy.write(source.read_bytes())
            copy.flush()
            os.fsync(copy.fileno())
    os.unlink(source)


def restore(name: str) -> int:
    source = _archived_file(name)
    target = waymark.SESSIONS_DIR / source.name
    try:
        _move_without_replacing(source, target)
    except FileExistsError:
        raise CommandError(f"cannot restore {source.name}: {target} already exists; nothing was moved",
                           hint="Archive or rename that file first.") from None
    except OSError as exc:
        raise CommandError(f"cannot restore {source.name}: {os_reason(exc)}") from None
    display.success(f"Restored {target}")
    print("It is offered again at the next `brevanta analyze` of its organisation.")
    return EXIT_OK


def sessions(args: argparse.Namespace) -> int:
    if args.restore is not None:
        if args.org is not None or args.interview is not None:
            raise UsageError("--restore takes the session file alone")
        return restore(args.restore)
    org_id = check_org_id(args.org) if args.org is not None else None
    if org_id is None and args.interview is not None:
        org_id = default_org_id(args.interview)
    with saving(waymark.SESSIONS_DIR, "list the sessions", hint="Check CORVANE_HOME and the disk."):
        _show("Unfinished sessions", unfinished_sessions(org_id))
        _show("Archived sessions", _archived_sessions(org_id))
    return EXIT_OK
