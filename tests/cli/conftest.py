"""Runs the `brevanta` command with its own CORVANE_HOME: in this process with its streams and environment
injected (`run`), as a child process through pipes (`run_process`, for start-up, signals and closed
pipes), or on a pseudo-terminal driven line by line (`terminal`, `script`)."""

from __future__ import annotations

import fcntl
import io
import json
import os
import pty
import select
import subprocess
import sys
import termios
import time
from dataclasses import dataclass, field
from pathlib import Path

import pytest

from brevanta.command import main
from brevanta.cli.injection import Environment

REPO = Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"
REPLAY = EXAMPLES / "replay"
TIMEOUT = 60  # seconds for a whole child process
EXPECT_TIMEOUT = 30  # seconds for one expected text on the terminal

# Settings that would route the child to a real model or change its output.
_SCRUBBED = ("ANTHROPIC_API_KEY", "ANTHROPIC_AUTH_TOKEN", "ANTHROPIC_BASE_URL", "BREVANTA_RELAY_URL",
             "BREVANTA_RELAY_TOKEN", "BREVANTA_MODEL_ROUTING", "BREVANTA_MODEL_REASONING",
             "BREVANTA_MAX_TOKENS_ANALYSIS", "BREVANTA_MAX_TOKENS_DOCUMENT", "FORCE_COLOR")


def _take_stdin_as_terminal() -> None:
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)


class Terminal:
    """A child process whose stdin, stdout and stderr are one pseudo-terminal."""

    def __init__(self, argv: list[str], env: dict[str, str], cwd: Path, controlling: bool = False) -> None:
        self._controller, child_side = pty.openpty()
        # As the child's controlling terminal, closing it hangs up: the kernel sends SIGHUP.
        self.process = subprocess.Popen(argv, stdin=child_side, stdout=child_side, stderr=child_side, env=env,
                                        cwd=cwd, close_fds=True, start_new_session=controlling,
                                        preexec_fn=_take_stdin_as_terminal if controlling else None)
        os.close(child_side)
        self.screen = ""  # everything shown so far, "\r\n" folded to "\n"
        self._read_up_to = 0
        self._closed = False

    def _read_some(self, deadline: float) -> bool:
        """Appends what arrives before the deadline; False once the child has closed the terminal."""
        ready, _, _ = select.select([self._controller], [], [], max(0.0, deadline - time.monotonic()))
        if not ready:
            return True
        try:
            chunk = os.read(self._controller, 65536)
        except OSError:  # EIO: every child-side descriptor is closed
            chunk = b""
        if not chunk:
            return False
        self.screen += chunk.decode("utf-8", "replace").replace("\r\n", "\n")
        return True

    def expect(self, text: str, timeout: float = EXPECT_TIMEOUT) -> str:
        """Waits for `text` after the previous match; returns the screen between the two."""
        deadline = time.monotonic() + timeout
        while (found := self.screen.find(text, self._read_up_to)) < 0:
            if time.monotonic() >= deadline or not self._read_some(deadline):
                raise AssertionError(f"{text!r} never appeared; the terminal shows:\n{self.screen}")
        start, self._read_up_to = self._read_up_to, found + len(text)
        return self.screen[start:self._read_up_to]

    def send(self, line: str) -> None:
        os.write(self._controller, line.encode() + b"\n")

    def end_input(self) -> None:
        """Ctrl-D at the start of a line: the end of what is typed."""
        os.write(self._controller, b"\x04")

    def hang_up(self) -> None:
        """Closes the terminal, as closing its window does."""
        os.close(self._controller)
        self._closed = True

    def wait(self, timeout: float = TIMEOUT) -> int:
        """Reads the rest of the output and returns the exit status."""
        deadline = time.monotonic() + timeout
        while not self._closed and time.monotonic() < deadline and self._read_some(deadline):
            if self.process.poll() is not None and not select.select([self._controller], [], [], 0.05)[0]:
                break
        status = self.process.wait(timeout=max(1.0, deadline - time.monotonic()))
        assert "Traceback" not in self.screen, self.screen  # whatever happened, the user saw no traceback
        return status

    def kill(self) -> None:
        self.process.kill()
        self.process.wait(timeout=TIMEOUT)

    def close(self) -> None:
        if self.process.poll() is None:
            self.kill()
        if not self._closed:
            os.close(self._controller)
            self._closed = True


@dataclass
class Brevanta:
    """The command with a private home directory, run in a private working directory that sees
    the repository's examples/; `env` holds the child's environment."""

    home: Path
    env: dict[str, str]
    cwd: Path
    opened: list[Terminal] = field(default_factory=list)

    def argv(self, *args: str) -> list[str]:
        return [sys.executable, "-m", "brevanta", *map(str, args)]

    def run(self, *args: str, stdin: str = "", **env: str) -> subprocess.CompletedProcess[str]:
        """The command run in this process, as a child process would run it: the same environment, standard
        input and working directory, its output captured through streams of the child's encoding."""
        environ = {**self.env, **env}
        encoding, _, errors = environ.get("PYTHONIOENCODING", "utf-8").partition(":")
        streams = [io.TextIOWrapper(io.BytesIO(), encoding=encoding or "utf-8", errors=errors or "strict",
                                    write_through=True) for _ in range(2)]
        stdin_stream = io.TextIOWrapper(io.BytesIO(stdin.encode("utf-8")), encoding="utf-8")
        started_in = os.getcwd()
        os.chdir(self.cwd)
        try:
            status = main(list(map(str, args)), Environment(stdin_stream, *streams, environ))
        except SystemExit as exit:  # argparse's own exit: --help, --version, a usage error
            status = exit.code if isinstance(exit.code, int) else int(exit.code is not None)
        finally:
            os.chdir(started_in)
        stdout, stderr = (stream.buffer.getvalue().decode("utf-8") for stream in streams)
        assert "Traceback" not in stderr, stderr  # whatever happened, the user saw no traceback
        return subprocess.CompletedProcess(self.argv(*args), status, stdout, stderr)

    def run_process(self, *args: str, stdin: str = "", **env: str) -> subprocess.CompletedProcess[str]:
        """The command as a child process, for what only a process shows: start-up, imports, exit."""
        done = subprocess.run(self.argv(*args), input=stdin, capture_output=True, text=True, encoding="utf-8",
                              env={**self.env, **env}, cwd=self.cwd, timeout=TIMEOUT)
        assert "Traceback" not in done.stderr, done.stderr  # whatever happened, the user saw no traceback
        return done

    def terminal(self, *args: str, controlling: bool = False, **env: str) -> Terminal:
        self.opened.append(Terminal(self.argv(*args), {**self.env, **env}, self.cwd, controlling))
        return self.opened[-1]

    def script(self, code: str, **env: str) -> Terminal:
        """`python -c code` on a terminal, with the command's environment."""
        self.opened.append(Terminal([sys.executable, "-c", code], {**self.env, **env}, self.cwd))
        return self.opened[-1]

    def session_files(self) -> list[Path]:
        directory = self.home / "sessions"
        return sorted(directory.glob("*.json")) if directory.exists() else []

    def sessions(self) -> list[dict]:
        return [json.loads(path.read_text(encoding="utf-8")) for path in self.session_files()]

    def archived(self) -> list[Path]:
        return sorted((self.home / "sessions" / "archive").glob("*.json"))


@pytest.fixture
def brevanta(tmp_path):
    env = {name: value for name, value in os.environ.items() if name not in _SCRUBBED}
    env.update(
        CORVANE_HOME=str(tmp_path / "home"),
        PYTHONPATH=os.pathsep.join(path for path in sys.path if path),
        PYTHONIOENCODING="utf-8",
        NO_COLOR="1",
        TERM="xterm",
    )
    work = tmp_path / "work"
    work.mkdir()
    (work / "examples").symlink_to(EXAMPLES)
    command = Brevanta(tmp_path / "home", env, work)
    yield command
    for terminal in command.opened:  # killed if still running
        terminal.close()


@pytest.fixture(scope="session")
def example_reply() -> str:
    return (REPLAY / "analysis.md").read_text(encoding="utf-8")


@pytest.fixture(scope="session")
def example_interview() -> str:
    return (EXAMPLES / "interview.md").read_text(encoding="utf-8")
