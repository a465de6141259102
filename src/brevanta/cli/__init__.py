"""The `brevanta` command: from an interview file to the analysis and the user's decisions.

    brevanta analyze INTERVIEW_FILE [--org ORG_ID] [--round N] [--out DIR] [--replay DIR] [--yes] [--new] [-v]
    brevanta sessions [INTERVIEW_FILE] [--org ORG_ID] [--restore FILE]

One file per concern: `args` (the command line), `run` (the run and its phases),
`session` (resume and save through waymark), `models` (model access), `documents`
(prompts, replies and files of the PRD and TRD), `sessions` (the sessions command),
`signals` (SIGTERM and SIGHUP as interrupts),
`terminal` (questions, answers, spinner), `errors` (exit statuses).
"""

from __future__ import annotations

from brevanta.cli.args import build_parser
import sys

from brevanta.cli.errors import CommandError, UsageError


def main(argv: list[str] | None = None) -> int:
    args = build_parser().parse_args(argv)
    # Imported after parsing: the analysis module loads the SDK, which --help does not need.
    if args.command == "sessions":
        from brevanta.cli.sessions import sessions as command
    else:
        from brevanta.cli.run import analyze as command

    try:
        return command(args)
    except UsageError as exc:
        args.parser.error(str(exc))  # prints the usage and exits with status 2
    except CommandError as exc:
        print(f"brevanta: {exc.message}", file=sys.stderr)
        if exc.hint:
            print(exc.hint, file=sys.stderr)
        return exc.status
