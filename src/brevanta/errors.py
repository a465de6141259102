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


# What the user can do next about a failure, named once here and worded by each front end its own way
# (the command: "run the command again", "pass --out DIR"; the browser: "try again", a button).
RETRY = "retry"  # the same step again, once the cause is fixed; nothing saved is lost
RESUME_DOCUMENTS = "resume-documents"  # the documents again: only those still missing are asked for
OTHER_OUTPUT = "other-output"  # the documents into a folder that can be written
MODEL_ACCESS = "model-access"  # a way to the model: an API key, a relay, or saved replies
ACTIONS = (RETRY, RESUME_DOCUMENTS, OTHER_OUTPUT, MODEL_ACCESS)


class CommandError(Exception):
    """Ends the run with one line `brevanta: <message>` on stderr and `status`.

    `message` and `hint` are in words fit for any front end; `action`, one of ACTIONS, names what to do
    next, and each front end words it its own way after the hint."""

    status = EXIT_NO_ANALYSIS

    def __init__(self, message: str, *, hint: str | None = None, action: str | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.hint = hint  # a second line saying what to do, when the message alone does not
        self.action = action


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
SESSION_KEPT = "The last saved session file is unchanged."


class SessionNotSaved(EnvironmentProblem):
    """The session store could not do `what` (save the session, archive it, ...) in `directory`; the last
    saved session file is unchanged."""

    def __init__(self, what: str, directory: object, error: OSError) -> None:
        super().__init__(f"cannot {what} in {directory}: {os_reason(error)}", hint=SESSION_KEPT, action=RETRY)
        self.what = what
        self.directory = directory
        self.error = error


@contextmanager
def saving(directory: object, what: str = "save the session") -> Iterator[None]:
    """Turns an OSError of the session store into SessionNotSaved, saying what failed and why."""
    try:
        yield
    except OSError as exc:
        raise SessionNotSaved(what, directory, exc) from None
