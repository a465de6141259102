"""The command run inside another Python program (a test, a front end): its standard streams and its
environment injected for the length of one run, and everything the run touches restored afterwards.

What a run reads of the process: the standard streams, the environment (the settings, the SDK's
ANTHROPIC_* variables, NO_COLOR), the session directories waymark holds, the signal handlers and the
unraisable hook it installs, the root logger it configures and `sys.argv[0]` (for the printed
next-round command).
"""

from __future__ import annotations

import logging
import os
import signal
import sys
from collections.abc import Iterator, Mapping
from contextlib import contextmanager, suppress
from pathlib import Path
from typing import TextIO

from brevanta import config

_SIGNALS = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP)
_MAIN_SCRIPT = str(Path(__file__).resolve().parents[1] / "__main__.py")


class Environment:
    """What one run reads and writes instead of the process's own streams and environment."""

    # A plain class: dataclasses would load inspect, a tenth of the command's start-up time.
    def __init__(self, stdin: TextIO, stdout: TextIO, stderr: TextIO, environ: Mapping[str, str]) -> None:
        self.stdin = stdin
        self.stdout = stdout
        self.stderr = stderr
        self.environ = environ


@contextmanager
def _streams(env: Environment) -> Iterator[None]:
    saved = sys.stdin, sys.stdout, sys.stderr, sys.argv
    sys.stdin, sys.stdout, sys.stderr = env.stdin, env.stdout, env.stderr
    sys.argv = [_MAIN_SCRIPT]  # as `python -m brevanta` sees it
    try:
        yield
    finally:
        for stream in (env.stdout, env.stderr):
            with suppress(OSError, ValueError):
                stream.flush()
        sys.stdin, sys.stdout, sys.stderr, sys.argv = saved


@contextmanager
def _environ(environ: Mapping[str, str]) -> Iterator[None]:
    """os.environ holds `environ` (the SDK reads it too), and the settings are read from it."""
    saved = dict(os.environ)
    os.environ.clear()
    os.environ.update(environ)
    config.load(os.environ)
    try:
        yield
    finally:
        os.environ.clear()
        os.environ.update(saved)
        config.load(os.environ)


@contextmanager
def _session_directories() -> Iterator[None]:
    """waymark's directories under the injected CORVANE_HOME; waymark looks them up at each use."""
    try:
        from brevanta import waymark
    except config.SettingError:  # the process's own home is unusable: nothing bound, nothing to restore
        yield
        return
    saved = waymark.SESSIONS_DIR, waymark.ARCHIVE_DIR
    if "CORVANE_HOME" not in config._problems:  # else the run stops at the settings check
        waymark.SESSIONS_DIR = config.CORVANE_HOME / "sessions"
        waymark.ARCHIVE_DIR = waymark.SESSIONS_DIR / "archive"
    try:
        yield
    finally:
        waymark.SESSIONS_DIR, waymark.ARCHIVE_DIR = saved


@contextmanager
def _process_state() -> Iterator[None]:
    """Signal handlers, the unraisable hook and the root logger as they were, whatever the run installed."""
    handlers = {signum: signal.getsignal(signum) for signum in _SIGNALS}
    unraisable_hook = sys.unraisablehook
    root = logging.getLogger()
    logging_state = root.handlers[:], root.level
    root.handlers = []  # so the run's logging.basicConfig takes effect, writing to the injected stderr
    try:
        yield
    finally:
        for signum, handler in handlers.items():
            signal.signal(signum, handler)
        sys.unraisablehook = unraisable_hook
        root.handlers, level = logging_state
        root.setLevel(level)


@contextmanager
def injected(env: Environment) -> Iterator[None]:
    """For one run: `env`'s streams and environment in place of the process's, restored afterwards."""
    with _environ(env.environ), _session_directories(), _process_state(), _streams(env):
        yield
