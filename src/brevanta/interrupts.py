"""No interrupt is lost.

The interpreter raises a signal's KeyboardInterrupt wherever the main thread is, and that may be a finalizer
(a weakref callback or `__del__` run by a garbage collection: the import system's module locks end in such
callbacks while modules load), whose exceptions it only reports as "Exception ignored". With
`redeliver_lost()` in place such an interrupt is sent to the main thread again a moment later, once it has
left the finalizer. The command puts it in place before its own modules load.
"""

from __future__ import annotations

import signal
import sys
import threading
from collections.abc import Callable

# Long enough for the main thread to leave the finalizer (and the hook, where a signal handled at once would be
# lost again), short beside a person's reaction to a Ctrl-C that seemed to do nothing.
REDELIVERY_DELAY = 0.05


class _Redelivering:
    """The unraisable hook: an interrupt raised inside a finalizer is sent again; the rest goes to `report`."""

    def __init__(self, report: Callable[[sys.UnraisableHookArgs], object]) -> None:
        self.report = report

    def __call__(self, unraisable: sys.UnraisableHookArgs) -> None:
        interrupt, main = unraisable.exc_value, threading.main_thread()
        if isinstance(interrupt, KeyboardInterrupt) and threading.current_thread() is main:
            signum = getattr(interrupt, "signum", signal.SIGINT)  # SIGTERM and SIGHUP end a run the same way
            # A daemon: at the interpreter's exit it is ended rather than signal a process going away.
            sender = threading.Timer(REDELIVERY_DELAY, signal.pthread_kill, (main.ident, signum))
            sender.daemon = True
            sender.start()
        else:
            self.report(unraisable)


def redeliver_lost() -> None:
    if not isinstance(sys.unraisablehook, _Redelivering):
        sys.unraisablehook = _Redelivering(sys.unraisablehook)
