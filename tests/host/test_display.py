"""Console display: colour decisions, status lines and the confidence bar."""

import io
import math
import os
import subprocess
import sys
from pathlib import Path

import pytest

from brevanta import display

SRC = Path(__file__).resolve().parents[2] / "src"
STYLES = {"red": 31, "green": 32, "yellow": 33, "cyan": 36, "bold": 1, "dim": 2}


@pytest.fixture
def colour(monkeypatch):
    """Call with True or False to force colour on or off through the environment."""

    def set_colour(enabled):
        monkeypatch.setenv("FORCE_COLOR" if enabled else "NO_COLOR", "1")
        monkeypatch.delenv("NO_COLOR" if enabled else "FORCE_COLOR", raising=False)

    return set_colour


def ascii_console(monkeypatch):
    """Swap stdout for a real ASCII stream; done in the test body because capture resets stdout after fixtures."""
    buffer = io.BytesIO()
    monkeypatch.setattr(sys, "stdout", io.TextIOWrapper(buffer, encoding="ascii", write_through=True))
    return lambda: buffer.getvalue().decode("ascii")


@pytest.mark.parametrize(
    ("no_color", "force_color", "expected"),
    [(None, None, False), ("1", None, False), (None, "1", True), ("1", "1", False), ("", "1", True), (None, "", False)],
)
def test_colour_enabled_follows_the_environment(monkeypatch, no_color, force_color, expected):
    monkeypatch.setattr(sys, "stdout", io.StringIO())  # never a terminal
    for name, value in (("NO_COLOR", no_color), ("FORCE_COLOR", force_color)):
        monkeypatch.delenv(name, raising=False)
        if value is not None:
            monkeypatch.setenv(name, value)
    assert display.colour_enabled() is expected


def closed_stream():
    stream = io.StringIO()
    stream.close()  # its isatty now raises ValueError
    return stream


@pytest.mark.parametrize("make_stream", [object, closed_stream])
def test_colour_off_when_stdout_lacks_or_fails_isatty(monkeypatch, make_stream):
    monkeypatch.delenv("NO_COLOR", raising=False)
    monkeypatch.delenv("FORCE_COLOR", raising=False)
    monkeypatch.setattr(sys, "stdout", make_stream())
    assert display.colour_enabled() is False


@pytest.mark.parametrize(("style", "code"), STYLES.items())
@pytest.mark.parametrize("value", ["text", 42, None])
def test_styles_return_text_and_write_nothing(colour, capsys, style, code, value):
    colour(True)
    assert getattr(display, style)(value) == f"\x1b[{code}m{value}\x1b[0m"
    colour(False)
    assert getattr(display, style)(value) == str(value)
    assert capsys.readouterr() == ("", "")


@pytest.mark.parametrize(
    ("operation", "plain", "coloured", "ascii"),
    [
        ("narrative", "\nOnce", "\nOnce", "\nOnce"),
        ("info", "› Once", "\x1b[36m›\x1b[0m Once", "> Once"),
        ("warning", "! Once", "\x1b[33m! Once\x1b[0m", "! Once"),
        ("success", "✓ Once", "\x1b[32m✓ Once\x1b[0m", "+ Once"),
    ],
)
def test_message_lines(colour, capsys, monkeypatch, operation, plain, coloured, ascii):
    text = "\nOnce" if operation == "narrative" else "Once"
    for enabled, expected in ((False, plain), (True, coloured)):
        colour(enabled)
        assert getattr(display, operation)(text) is None
        assert capsys.readouterr().out == expected + "\n"
    colour(False)
    written = ascii_console(monkeypatch)
    getattr(display, operation)(text + "é")
    assert written() == ascii + "?\n"


@pytest.mark.parametrize(
    ("score", "cells", "percent"),
    [(0, 0, "0%"), (0.5, 10, "50%"), (1, 20, "100%"), (1.7, 20, "170%"), (-0.2, 0, "-20%"),
     (math.nan, 0, "n/a"), (math.inf, 20, "n/a"), (-math.inf, 0, "n/a"), (1e308, 20, "n/a"), (-1e308, 0, "n/a")],
)
def test_confidence_bar(colour, capsys, score, cells, percent):
    colour(False)
    display.confidence_bar(score, "Scope")
    assert capsys.readouterr().out == f"  Scope: {'█' * cells}{'░' * (20 - cells)} {percent}\n"


@pytest.mark.parametrize(("score", "code"), [(0.8, 32), (0.6, 33), (0.4, 33), (0.2, 31)])
def test_confidence_bar_colours_only_the_filled_part(colour, capsys, score, code):
    colour(True)
    display.confidence_bar(score, "Fit")
    filled = int(score * 20)
    bar = f"\x1b[{code}m{'█' * filled}\x1b[0m{'░' * (20 - filled)}"
    assert capsys.readouterr().out == f"  Fit: {bar} {int(score * 100)}%\n"


def test_confidence_bar_on_an_ascii_console(colour, monkeypatch):
    colour(False)
    written = ascii_console(monkeypatch)
    display.confidence_bar(0.25, "Risk")
    assert written() == "  Risk: #####--------------- 25%\n"


@pytest.mark.parametrize(
    ("env", "expected"),
    [({}, "'\\x1b[31malarm\\x1b[0m'\n\x1b[32m✓ saved\x1b[0m\n"), ({"NO_COLOR": "1"}, "'alarm'\n✓ saved\n")],
)
def test_on_a_real_terminal(env, expected):
    primary, secondary = os.openpty()
    child = "from brevanta import display as d; print(repr(d.red('alarm'))); d.success('saved')"
    base_env = {"PATH": os.environ.get("PATH", ""), "PYTHONPATH": str(SRC), "PYTHONIOENCODING": "utf-8"}
    try:
        subprocess.run([sys.executable, "-c", child], stdout=secondary, env={**base_env, **env}, timeout=60, check=True)
    finally:
        os.close(secondary)
    output = b""
    try:
        while chunk := os.read(primary, 4096):
            output += chunk
    except OSError:  # EIO once the terminal is drained
        pass
    os.close(primary)
    assert output.decode().replace("\r\n", "\n") == expected
