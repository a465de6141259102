"""Talking to the person at the terminal: questions, answers and the spinner."""

from __future__ import annotations

import codecs
import io
import itertools
import sys
import threading
import time
from collections.abc import Callable
from typing import TextIO

from brevanta.pipeline.words import count as count  # the command shows counts as the pipeline words them


def ask(prompt: str) -> str | None:
    """One line from the user, or None at end of input."""
    try:
        return input(prompt).strip()
    except EOFError:
        print()
        return None


def ask_yes_no(question: str, default: bool = True) -> bool | None:
    """True for yes, False for no, None at end of input; an empty reply gives `default`."""
    while True:
        reply = ask(f"{question} {'[Y/n]' if default else '[y/N]'} ")
        if reply is None:
            return None
        if reply == "":
            return default
        if reply.lower() in ("y", "yes"):
            return True
        if reply.lower() in ("n", "no"):
            return False
        print("Please answer y or n.")


# The decisions at a gap, each typed as its letter or its word, in any case.
DECISIONS = {"a": "answer", "b": "bypass", "l": "leave"}


def ask_word(prompt: str, words: dict[str, str]) -> str | None:
    """The letter of one of `words` (letter to word), typed as the letter or the word in any case;
    anything else is asked again with the list. None at end of input."""
    while True:
        reply = ask(prompt)
        if reply is None:
            return None
        for letter, word in words.items():
            if reply.lower() in (letter, word):
                return letter
        choices = [f"{letter} ({word})" for letter, word in words.items()]
        print(f"  Please type one of: {', '.join(choices)}.")


def ask_decision() -> str | None:
    """'a' (answer), 'b' (bypass), 'l' (leave open), or None at end of input."""
    return ask_word("  [a]nswer, [b]ypass, or [l]eave open for later? ", DECISIONS)


ANSWER_PROMPT = "  Your answer (several lines are fine; an empty line ends it):"


def ask_answer() -> str | None:
    """An answer of one or more lines, ended by an empty line, so a pasted paragraph stays one
    answer; None at end of input (what was typed of an unfinished answer is not kept)."""
    print(ANSWER_PROMPT)
    while True:
        lines: list[str] = []
        while True:
            line = ask("  > ")
            if line is None:
                return None
            if line == "":
                break
            lines.append(line)
        if lines:
            return "\n".join(lines)
        print("  An empty answer tells the model nothing; type your answer.")


class Spinner:
    """A turning bar with the seconds waited so far and the latest note (an attempt, a count), on a
    terminal stream while a blocking call runs; silent on anything else."""

    FRAMES = "|/-\\"

    def __init__(self, label: str, stream: TextIO, interval: float = 0.1) -> None:
        self._label = label
        self._stream = stream
        self._interval = interval
        self._stop = threading.Event()
        self._thread: threading.Thread | None = None
        self._width = 0  # of the longest line drawn, so clearing covers it
        self._note = ""
        self._drawing = threading.Lock()  # one line at a time: a frame, or lines printed above the spinner

    def note(self, text: str) -> None:
        """Shown after the seconds from the next frame on, in place of the previous note."""
        self._note = text

    def _on_terminal(self) -> bool:
        try:
            return self._stream.isatty()
        except (AttributeError, ValueError):  # no isatty, or a closed stream
            return False

    def __enter__(self) -> Spinner:
        if self._on_terminal():
            self._thread = threading.Thread(target=self._spin, name="spinner", daemon=True)
            self._thread.start()
        return self

    def __exit__(self, *exc_info: object) -> None:
        if self._thread is None:
            return
        self._stop.set()
        self._thread.join()
        with self._drawing:
            self._draw(" " * self._width + "\r")

    def above(self, write: Callable[[], None]) -> None:
        """Runs `write`, which prints whole lines, with the spinner's line cleared first so the two do not mix;
        the next frame draws the spinner below them."""
        with self._drawing:
            if self._thread is not None:
                self._draw(" " * self._width + "\r")
            write()

    def _draw(self, line: str) -> bool:
        """False once the terminal is gone (hung up or closed): nothing more is drawn."""
        try:
            self._stream.write("\r" + line)
            self._stream.flush()
        except (OSError, ValueError):
            return False
        return True

    def _spin(self) -> None:
        started = time.monotonic()
        for frame in itertools.cycle(self.FRAMES):
            note = self._note
            line = f"{frame} {self._label} {time.monotonic() - started:.0f}s" + (f", {note}" if note else "")
            self._width = max(self._width, len(line))
            with self._drawing:
                drawn = self._draw(line)
            if not drawn or self._stop.wait(self._interval):
                return


def _undecoded_bytes_or_escape(error: UnicodeError) -> tuple[str | bytes, int]:
    """Bytes that came undecoded from the system (a file name) go back out as they were; any other
    character the encoding lacks, such as a lone surrogate, is written as its escape."""
    if not isinstance(error, UnicodeEncodeError):
        raise error
    try:
        return codecs.lookup_error("surrogateescape")(error)
    except UnicodeEncodeError:
        return codecs.backslashreplace_errors(error)


codecs.register_error("brevanta.surrogateescape", _undecoded_bytes_or_escape)


def tolerate_encodings() -> None:
    """Text the terminal's encoding cannot show is written (and read) with replacement marks, never raised."""
    for stream in (sys.stdin, sys.stdout, sys.stderr):
        if isinstance(stream, io.TextIOWrapper) and stream.errors == "strict":
            stream.reconfigure(errors="replace")
        elif stream in (sys.stdout, sys.stderr) and isinstance(stream, io.TextIOWrapper) \
                and stream.errors == "surrogateescape":  # the C and C.UTF-8 locales' standard streams
            stream.reconfigure(errors="brevanta.surrogateescape")


# -- the ways forward after a report with critical gaps -----------------------


def ask_choice(prompt: str, choices: str) -> str | None:
    """One of the characters of `choices`, or None at end of input."""
    while True:
        reply = ask(prompt)
        if reply is None:
            return None
        if len(reply) == 1 and reply in choices:
            return reply
        print(f"  Please type {', '.join(choices[:-1])} or {choices[-1]}.")
