"""The spinner turns on a terminal with the seconds waited, clears its line when stopped, and stays silent
elsewhere."""

import io
import os
import select
import threading
import time

from brevanta.cli.terminal import Spinner


def drain(fd: int) -> str:
    chunks = []
    while select.select([fd], [], [], 0.5)[0]:
        chunks.append(os.read(fd, 65536))
    return b"".join(chunks).decode()


def test_turns_on_a_terminal_and_clears_its_line():
    controller, terminal_side = os.openpty()
    try:
        with open(terminal_side, "w", encoding="utf-8") as stream:
            with Spinner("Working", stream, interval=0.01):
                time.sleep(1.2)
                assert any(thread.name == "spinner" for thread in threading.enumerate())
            assert not any(thread.name == "spinner" for thread in threading.enumerate())
            shown = drain(controller)  # while the terminal side is still open
    finally:
        os.close(controller)
    frames = shown.split("\r")[1:-2]
    assert len(frames) >= 4 and {frame[0] for frame in frames} == set(Spinner.FRAMES)
    assert {frame[1:] for frame in frames} == {" Working 0s", " Working 1s"}
    assert shown.endswith("\r" + " " * len("| Working 1s") + "\r")


def test_silent_off_a_terminal():
    stream = io.StringIO()
    with Spinner("Working", stream, interval=0.01):
        time.sleep(0.05)
    assert stream.getvalue() == ""
