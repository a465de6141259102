"""The `brevanta` program: parses the command line and hands each command to its front end (the
terminal's, `brevanta.cli`, or the browser's, `brevanta.web`), turning every failure of the user, the
input, the model or the environment into one line `brevanta: ...` and an exit status.
"""

from __future__ import annotations

import argparse
import os
import sys
from typing import TYPE_CHECKING

from brevanta import config, deferred_sdk
from brevanta.cli.args import build_parser, check_inputs
from brevanta.cli.terminal import tolerate_encodings
from brevanta.errors import (
    EXIT_INTERRUPTED,
    EXIT_OUTPUT_CLOSED,
    CommandError,
    EnvironmentProblem,
    UsageError,
    os_reason,
)
from brevanta.untrusted import for_terminal

if TYPE_CHECKING:
    from brevanta.cli.injection import Environment


def _report(error: CommandError) -> int:
    from brevanta.cli.advice import what_to_do

    # The message may carry a relay's error body or a name read from disk.
    print(f"brevanta: {for_terminal(error.message)}", file=sys.stderr)
    advice = what_to_do(error)
    if advice:
        print(for_terminal(advice), file=sys.stderr)
    return error.status


def _output_closed() -> int:
    """The reader of standard output went away (`| head`): end quietly, and let nothing flush to it at exit."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)
    return EXIT_OUTPUT_CLOSED


def main(argv: list[str] | None = None, env: Environment | None = None) -> int:
    """The command; `env`, when given, stands in for the process's standard streams and environment
    for this run (tests and other programs run it in-process), restored afterwards."""
    if env is None:
        return _main(argv, own_process=True)
    from brevanta.cli.injection import injected

    with injected(env):
        return _main(argv, own_process=False)


def _main(argv: list[str] | None, own_process: bool) -> int:
    tolerate_encodings()
    args = build_parser().parse_args(argv)
    if own_process and args.command != "serve":  # a replayed run never loads the SDK, another when it asks
        deferred_sdk.defer()
    try:
        try:
            config.check()
        except config.SettingError as exc:
            raise EnvironmentProblem(str(exc), hint="Correct the variable or unset it.") from None
        if args.command == "sessions":
            from brevanta.cli.sessions import sessions

            return sessions(args)
        if args.command == "batch":
            from brevanta.cli.batch import batch_command

            return batch_command(args)
        if args.command == "render":
            from brevanta.cli.render import render_command

            return render_command(args)
        if args.command == "serve":  # the web stack loads for this command only
            from brevanta.web.server import serve

            return serve(args)
        # Usage errors answer before the run's imports load the SDK.
        args.inputs = check_inputs(args)
        from brevanta.cli.run import analyze

        return analyze(args)
    except UsageError as exc:
        parser: argparse.ArgumentParser = args.parser  # the command's own, for its usage line
        parser.error(for_terminal(exc))  # exits with status 2
    except CommandError as exc:
        return _report(exc)
    except BrokenPipeError:
        return _output_closed()
    except OSError as exc:  # a fault of the machine that no step translated
        place = f": {exc.filename}" if exc.filename else ""
        return _report(EnvironmentProblem(f"{os_reason(exc)}{place}", hint="Check CORVANE_HOME and the disk."))
    except KeyboardInterrupt:  # before the run could take it, as while the SDK loads
        print("\nInterrupted.", file=sys.stderr)
        return EXIT_INTERRUPTED
