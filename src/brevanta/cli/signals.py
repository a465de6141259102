"""Termination signals: SIGTERM and a closed terminal (SIGHUP) end a run the way Ctrl-C does,
through KeyboardInterrupt, so every decision saved so far stays saved and nothing is half-written.

The interpreter raises a signal's KeyboardInterrupt wherever the main thread is, and that may be a
finalizer (a weakref callback, `__del__`, run by a garbage collection), whose exceptions it only
reports as "Exception ignored"; such an interrupt is sent to the main thread again a moment later,
once it has left the finalizer, so it is never lost."""

from __future__ import annotations

import signal
import sys
import threading
from collections.abc import Callable
from types import FrameType

HANDLED = (signal.SIGTERM, signal.SIGHUP)
# Long enough for the main thread to leave the finalizer (and this hook, where a signal handled at once would
# be lost again), short beside a person's reaction to a Ctrl-C that seemed to do nothing.
REDELIVERY_DELAY = 0.05


class Terminated(KeyboardInterrupt):
    """A termination signal other than SIGINT, raised where the main thread was."""

    def __init__(self, signum: int) -> None:
        super().__init__(signal.Signals(signum).name)
        self.signum = signum


def _raise_terminated(signum: int, frame: FrameType | None) -> None:
    raise Terminated(signum)


class _Redelivering:
    """The unraisable hook: an interrupt raised inside a finalizer is sent again; the rest goes to `report`."""

    def __init__(self, report: Callable[[sys.UnraisableHookArgs], object]) -> None:
        self.report = report

    def __call__(self, unraisable: sys.UnraisableHookArgs) -> None:
        interrupt = unraisable.exc_value
        main = threading.main_thread()
        if isinstance(interrupt, KeyboardInterrupt) and threading.current_thread() is main:
            signum = interrupt.signum if isinstance(interrupt, Terminated) else signal.SIGINT
            # A daemon: at the interpreter's exit it is ended rather than signal a process going away.
            sender = threading.Timer(REDELIVERY_DELAY, signal.pthread_kill, (main.ident, signum))
            sender.daemon = True
            sender.start()
        else:
            self.report(unraisable)


def install() -> None:
    for signum in HANDLED:
        signal.signal(signum, _raise_terminated)
    if not isinstance(sys.unraisablehook, _Redelivering):
        sys.unraisablehook = _Redelivering(sys.unraisablehook)


def ignore_further() -> None:
    """Once interrupted, a second signal must not cut the closing messages short."""
    for signum in (signal.SIGINT, *HANDLED):
        signal.signal(signum, signal.SIG_IGN)


def exit_status(interrupt: KeyboardInterrupt) -> int:
    """128 plus the signal's number, as a shell reports a process the signal ended: 130 for Ctrl-C,
    129 for SIGHUP, 143 for SIGTERM."""
    return 128 + (interrupt.signum if isinstance(interrupt, Terminated) else signal.SIGINT)
