"""The Anthropic SDK loaded when a request first needs it, not when the command starts.

Loading the SDK costs about three seconds of processor time (it defines some 1,500 typed models), and
`brevanta.gapscope` imports it while it initialises. A replayed run never calls it, and a run that does
would otherwise show nothing for those seconds. `defer()` puts a stand-in under the SDK's name: the
first read of any of its attributes, from any thread, loads the real module once (under a lock), and
from then on the stand-in holds the real module's attributes, so `anthropic.X` is the SDK's own object
whichever of the two a module imported.
"""

from __future__ import annotations

import importlib
import importlib.util
import signal
import sys
import threading
import types
from collections.abc import Callable, Iterator
from contextlib import contextmanager
from types import FrameType
from typing import Any

NAME = "anthropic"
_lock = threading.RLock()


class _Deferred(types.ModuleType):
    """Stands in for the SDK until one of its attributes is read."""

    def __getattr__(self, name: str) -> Any:  # only for names the stand-in does not hold yet
        return getattr(_load(self), name)


def _load(stand_in: _Deferred) -> types.ModuleType:
    with _lock:
        loaded = sys.modules.get(NAME)
        if loaded is None or loaded is stand_in:
            sys.modules.pop(NAME, None)
            try:
                loaded = importlib.import_module(NAME)
            except BaseException:
                sys.modules.setdefault(NAME, stand_in)  # the next read tries again
                raise
            stand_in.__dict__.update(loaded.__dict__)
        return loaded


Handler = Callable[[int, FrameType | None], Any]


def _noting(handler: Handler, noted: list[BaseException]) -> Handler:
    def note(signum: int, frame: FrameType | None) -> Any:
        try:
            return handler(signum, frame)
        except BaseException as interrupt:
            noted.append(interrupt)
            raise

    return note


@contextmanager
def _interrupts_noted(noted: list[BaseException]) -> Iterator[None]:
    """What the signal handlers raise meanwhile goes into `noted` too (on the main thread, where they run)."""
    if threading.current_thread() is not threading.main_thread():
        yield
        return
    handlers = {signum: signal.getsignal(signum) for signum in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)}
    try:
        for signum, handler in handlers.items():
            if callable(handler):
                signal.signal(signum, _noting(handler, noted))
        yield
    finally:
        for signum, handler in handlers.items():
            if callable(handler):
                signal.signal(signum, handler)


def load() -> None:
    """Loads the SDK now, on this thread, if the stand-in still holds its place: called on the main thread
    before a request, so that an interrupt during the load lands there and not on a request's thread,
    which the process would leave loading as it exits. Such an interrupt is raised as itself: the SDK's
    models are built by pydantic-core, which turns an exception raised while it works (the KeyboardInterrupt
    of a Ctrl-C) into an error of its own (about 1 in 100 interrupted loads)."""
    module = sys.modules.get(NAME)
    if not isinstance(module, _Deferred):
        return
    noted: list[BaseException] = []
    with _interrupts_noted(noted):
        try:
            _load(module)
        except Exception:
            if noted:
                raise noted[0] from None
            raise


def defer() -> bool:
    """Puts the stand-in in place unless the SDK is loaded already or is not installed (an import of it
    then fails as it would have); True when it did."""
    if NAME in sys.modules or importlib.util.find_spec(NAME) is None:
        return False
    sys.modules[NAME] = _Deferred(NAME, "The Anthropic SDK, loaded on first use.")
    return True
