"""Exit statuses of the `brevanta` command and the errors that end a run with one of them."""

from __future__ import annotations

import errno
from collections.abc import Iterator
from contextlib import contextmanager

EXIT_OK = 0
EXIT_NO_ANALYSIS = 1
EXIT_USAGE = 2  # argparse's own status for a bad command line
EXIT_ENVIRONMENT = 3
EXIT_INTERRUPTED = 130  # 128 + SIGINT, as a shell reports a command ended by Ctrl-C
EXIT_OUTPUT_CLOSED = 141  # 128 + SIGPIPE, as a shell reports a writer whose reader went away


class UsageError(Exception):
    """A problem with what the user asked for; reported like an argument error."""


class CommandError(Exception):
    """Ends the run with one line `brevanta: <message>` on stderr and `status`."""

    status = EXIT_NO_ANALYSIS

    def __init__(self, message: str, *, hint: str | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.hint = hint  # a second line saying what to do, when the message alone does not


class InputProblem(CommandError):
    """The input cannot be used as it is (too large, for one); no usage line, since the command line was fine."""

    status = EXIT_USAGE


class ModelFailure(CommandError):
    """A model request gave no usable answer (refused key, unreachable, timed out, bad or cut-off reply)."""

    status = EXIT_NO_ANALYSIS


class EnvironmentProblem(CommandError):
    """The machine or the settings stop the run: an unwritable home, a bad setting, a full disk."""

    status = EXIT_ENVIRONMENT


_OS_REASONS = {
    errno.ENOSPC: "the disk is full",
    errno.EDQUOT: "the disk quota is used up",
    errno.EFBIG: "the file is larger than this system allows",
    errno.EROFS: "the file system is read-only",
    errno.EACCES: "permission denied",
    errno.EPERM: "permission denied",
    errno.ENOTDIR: "a file stands where a directory is needed",
    errno.EEXIST: "a file stands where a directory is needed",
}


def os_reason(exc: OSError) -> str:
    """Why a file operation failed, in words; the system's own text for the rarer causes."""
    reason = _OS_REASONS.get(exc.errno or 0)
    return reason or exc.strerror or str(exc)


# The store replaces a session file only once the new one is complete, so the
# previous file is still there when a save fails.
SESSION_KEPT = "The last saved session file is unchanged; fix the cause and run the command again to resume."


@contextmanager
def saving(directory: object, action: str = "save the session", hint: str = SESSION_KEPT) -> Iterator[None]:
    """Turns an OSError of the session store into an EnvironmentProblem that says what failed and why."""
    try:
        yield
    except OSError as exc:
        raise EnvironmentProblem(f"cannot {action} in {directory}: {os_reason(exc)}", hint=hint) from None
