"""Exit statuses of the `brevanta` command and the errors that end a run with one of them."""

from __future__ import annotations

EXIT_OK = 0
EXIT_NO_ANALYSIS = 1
EXIT_USAGE = 2  # argparse's own status for a bad command line
EXIT_ENVIRONMENT = 3
EXIT_INTERRUPTED = 130


class UsageError(Exception):
    """A problem with what the user asked for; reported like an argument error."""


class CommandError(Exception):
    """Ends the run with one line `brevanta: <message>` on stderr and `status`."""

    status = EXIT_NO_ANALYSIS

    def __init__(self, message: str, *, hint: str | None = None) -> None:
        super().__init__(message)
        self.message = message
        self.hint = hint  # a second line saying what to do, when the message alone does not


class ModelFailure(CommandError):
    """A model request gave no usable answer (refused key, unreachable, timed out, bad or cut-off reply)."""

    status = EXIT_NO_ANALYSIS


class EnvironmentProblem(CommandError):
    """The machine or the settings stop the run: an unwritable home, a bad setting, a full disk."""

    status = EXIT_ENVIRONMENT
