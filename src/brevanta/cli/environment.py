"""Checks of the machine the command runs on, made before anything is asked, archived or paid for."""

from __future__ import annotations

import tempfile

from brevanta import config, waymark
from brevanta.cli.errors import EnvironmentProblem, os_reason


def check_session_home() -> None:
    """The session directories exist or can be made, and take new files."""
    try:
        waymark._ensure_dirs()  # made by the store itself, private as it makes them
    except OSError:
        pass  # the probe below names the directory and the reason
    for directory in (waymark.SESSIONS_DIR, waymark.ARCHIVE_DIR):
        try:
            with tempfile.TemporaryFile(dir=directory):
                pass
        except OSError as exc:
            raise EnvironmentProblem(
                f"cannot use the session directory {directory}: {os_reason(exc)}",
                hint=f"Set CORVANE_HOME to a directory you can write (the session home now is {config.CORVANE_HOME}).",
            ) from None
