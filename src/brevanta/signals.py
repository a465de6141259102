"""Termination signals: SIGTERM and a closed terminal (SIGHUP) end a run the way Ctrl-C does,
through KeyboardInterrupt, so every decision saved so far stays saved and nothing is half-written; one
that the interpreter could only report as ignored (it came inside a finalizer) is sent again
(`brevanta.interrupts`)."""

from __future__ import annotations

import signal
from types import FrameType

from brevanta import interrupts

HANDLED = (signal.SIGTERM, signal.SIGHUP)


class Terminated(KeyboardInterrupt):
    """A termination signal other than SIGINT, raised where the main thread was."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def _raise_terminated(signum: int, frame: FrameType | None) -> None:
    raise Terminated(signum)


def install() -> None:
    for signum in HANDLED:
        signal.signal(signum, _raise_terminated)
    interrupts.redeliver_lost()


def ignore_further() -> None:
    """Once interrupted, a second signal must not cut the closing messages short."""
    for signum in (signal.SIGINT, *HANDLED):
        signal.signal(signum, signal.SIG_IGN)


def exit_status(interrupt: KeyboardInterrupt) -> int:
    """128 plus the signal's number, as a shell reports a process the signal ended: 130 for Ctrl-C,
    129 for SIGHUP, 143 for SIGTERM."""
    return 128 + (interrupt.signum if isinstance(interrupt, Terminated) else signal.SIGINT)
