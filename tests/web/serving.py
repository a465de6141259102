"""`brevanta serve` as a real process: started with a private home, its printed address read, and
stopped with Ctrl-C (SIGINT) at the end of the test."""

from __future__ import annotations

import os
import re
import queue
import signal
import subprocess
import sys
import threading
import time
from dataclasses import dataclass, field
from pathlib import Path

STARTUP_TIMEOUT = 60  # seconds: ten times what a quiet machine needs, and more
_URL = re.compile(r"http://\S+/\?token=\S+")
_SCRUBBED = ("ANTHROPIC_API_KEY", "ANTHROPIC_AUTH_TOKEN", "ANTHROPIC_BASE_URL", "BREVANTA_RELAY_URL",
             "BREVANTA_RELAY_TOKEN", "BREVANTA_MODEL_ROUTING", "BREVANTA_MODEL_REASONING")


def environment(home: Path, **extra: str) -> dict[str, str]:
    env = {name: value for name, value in os.environ.items() if name not in _SCRUBBED}
    env.update(CORVANE_HOME=str(home), PYTHONPATH=os.pathsep.join(path for path in sys.path if path),
               PYTHONIOENCODING="utf-8", NO_COLOR="1", **extra)
    return env


@dataclass
class Served:
    process: subprocess.Popen[str]
    url: str = ""
    output: list[str] = field(default_factory=list)
    reader: threading.Thread | None = None
    lines: queue.SimpleQueue[str] | None = None

    @property
    def base(self) -> str:
        """The printed address without its token: the server's origin and its path prefix."""
        return self.url.split("/?", 1)[0]

    @property
    def origin(self) -> str:
        return "/".join(self.url.split("/", 3)[:3])

    @property
    def prefix(self) -> str:
        return self.base.removeprefix(self.origin)

    def stop(self, signum: int = signal.SIGINT) -> tuple[int, str, str]:
        """Stops the server as Ctrl-C does; returns its status, standard output and standard error."""
        if self.process.poll() is None:
            self.process.send_signal(signum)
        assert self.process.stderr is not None
        err = self.process.stderr.read()
        self.process.wait(timeout=STARTUP_TIMEOUT)
        if self.reader is not None and self.lines is not None:
            self.reader.join(timeout=STARTUP_TIMEOUT)
            while not self.lines.empty():
                self.output.append(self.lines.get())
        for pipe in (self.process.stdout, self.process.stderr):
            if pipe is not None:
                pipe.close()
        return self.process.returncode, "".join(self.output), err


def start(env: dict[str, str], *args: str, cwd: Path | None = None) -> Served:
    """`brevanta serve ARGS`, once it has printed its address (or ended)."""
    process = subprocess.Popen([sys.executable, "-m", "brevanta", "serve", *args], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True, env=env, cwd=cwd)
    served = Served(process)
    lines: queue.SimpleQueue[str] = queue.SimpleQueue()
    assert process.stdout is not None
    stdout = process.stdout

    def read() -> None:
        for line in stdout:
            lines.put(line)
        lines.put("")

    reader = threading.Thread(target=read, daemon=True)
    reader.start()
    served.reader = reader
    served.lines = lines
    deadline = time.monotonic() + STARTUP_TIMEOUT
    while time.monotonic() < deadline:
        try:
            line = lines.get(timeout=0.5)
        except queue.Empty:
            continue
        if not line:
            return served
        served.output.append(line)
        if found := _URL.search(line):
            served.url = found.group()
        if line.startswith("Press Ctrl-C"):
            return served
    raise AssertionError(f"brevanta serve printed no address: {served.output}")
