"""Exit statuses of the `brevanta` command and the error that ends a run with one of them."""

from __future__ import annotations

EXIT_OK = 0
EXIT_NO_ANALYSIS = 1
EXIT_USAGE = 2  # argparse's own status for a bad command line
EXIT_INTERRUPTED = 130


class UsageError(Exception):
    """A problem with what the user asked for; reported like an argument error."""
