"""`python -m brevanta`, and the installed `brevanta` script (`run`)."""

import sys  # loaded with the interpreter: nothing here runs before `run` can take an interrupt

EXIT_INTERRUPTED = 130  # 128 + SIGINT, as the command itself ends on Ctrl-C


def run() -> int:
    """The command. A Ctrl-C before the command can take it itself (while its modules load or while it
    reads its arguments) ends it the way the command does, with status 130 and no traceback."""
    try:
        from brevanta.interrupts import redeliver_lost

        redeliver_lost()  # an interrupt lost in a finalizer while the command loads comes again
        from brevanta.command import main

        return main()
    except KeyboardInterrupt:
        print("\nInterrupted.", file=sys.stderr)
        return EXIT_INTERRUPTED


if __name__ == "__main__":
    raise SystemExit(run())
