"""Checks of the session home, made before anything is asked, archived or paid for."""

from __future__ import annotations

import errno
import tempfile

from brevanta import config, waymark
from brevanta.errors import EnvironmentProblem, os_reason


def check_session_home() -> None:
    """The session directories exist or can be made, and take new files."""
    making: OSError | None = None
    try:
        waymark._ensure_dirs()  # made by the store itself, private as it makes them
    except OSError as exc:
        making = exc  # the probe below names the directory; this is the reason when it is missing
    for directory in (waymark.SESSIONS_DIR, waymark.ARCHIVE_DIR):
        try:
            with tempfile.TemporaryFile(dir=directory):
                pass
        except OSError as exc:
            # A directory that could not be made is missing: say why it could not be made.
            cause = making if making is not None and exc.errno == errno.ENOENT else exc
            raise EnvironmentProblem(
                f"cannot use the session directory {directory}: {os_reason(cause)}",
                hint=f"Set CORVANE_HOME to a directory you can write (the session home now is {config.CORVANE_HOME}).",
            ) from None
