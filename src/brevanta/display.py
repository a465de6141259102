"""Console output for the interview: styled text, status lines and confidence bars.

Everything goes to whatever ``sys.stdout`` is at call time, so redirection
and test capture keep working. Colour follows the NO_COLOR / FORCE_COLOR
conventions and otherwise appears only on a terminal.
"""

from __future__ import annotations

import math
import os
import sys
from collections.abc import Callable

_RESET = 0
_BAR_CELLS = 20


# -- colour -----------------------------------------------------------------


def colour_enabled() -> bool:
    """Whether styles emit ANSI codes right now."""
    if os.environ.get("NO_COLOR"):
        return False
    if os.environ.get("FORCE_COLOR"):
        return True
    try:
        return bool(sys.stdout.isatty())
    except Exception:  # a replaced stdout may lack isatty or have been closed
        return False


def _styled(code: int, value: object) -> str:
    text = str(value)
    if not colour_enabled():
        return text
    return f"\x1b[{code}m{text}\x1b[{_RESET}m"


def red(text: object) -> str:
    return _styled(31, text)


def green(text: object) -> str:
    return _styled(32, text)


def yellow(text: object) -> str:
    return _styled(33, text)


def cyan(text: object) -> str:
    return _styled(36, text)


def bold(text: object) -> str:
    return _styled(1, text)


def dim(text: object) -> str:
    return _styled(2, text)


# -- writing ----------------------------------------------------------------


def _stdout_encoding() -> str | None:
    return getattr(sys.stdout, "encoding", None)


def _can_encode(text: str) -> bool:
    encoding = _stdout_encoding()
    if not encoding:  # an in-memory text stream takes any str
        return True
    try:
        text.encode(encoding)
    except (UnicodeEncodeError, LookupError):
        return False
    return True


def _mark(fancy: str, plain: str) -> str:
    return fancy if _can_encode(fancy) else plain


def _write_line(line: str) -> None:
    # Model output can hold characters an ASCII console cannot show;
    # degrade them to "?" instead of crashing mid-interview.
    if not _can_encode(line):
        encoding = _stdout_encoding() or "ascii"
        try:
            line = line.encode(encoding, "replace").decode(encoding)
        except LookupError:
            line = line.encode("ascii", "replace").decode("ascii")
    print(line, file=sys.stdout, flush=True)


def narrative(text: object) -> None:
    """The interviewer's own words, printed unadorned."""
    _write_line(str(text))


def info(text: object) -> None:
    _write_line(f"{cyan(_mark('›', '>'))} {text}")


def warning(text: object) -> None:
    _write_line(yellow(f"{_mark('!', '!')} {text}"))


def success(text: object) -> None:
    _write_line(green(f"{_mark('✓', '+')} {text}"))


# -- confidence bar ---------------------------------------------------------


def _filled_cells(score: float) -> int:
    # Clamped before int(): a huge finite score overflows to infinity here.
    cells = score * _BAR_CELLS
    if not cells > 0:  # NaN too
        return 0
    if cells >= _BAR_CELLS:
        return _BAR_CELLS
    return int(cells)


def _percentage(score: float) -> str:
    percent = score * 100
    if not math.isfinite(percent):  # also a finite score too large to show
        return "n/a"
    return f"{int(percent)}%"


def _bar_colour(score: float) -> Callable[[object], str]:
    if score >= 0.8:
        return green
    if score >= 0.4:
        return yellow
    return red  # also NaN, which compares false with everything


def confidence_bar(score: float, label: object) -> None:
    """One line such as ``  Scope: ██████████░░░░░░░░░░ 50%``."""
    score = float(score)
    filled_mark, empty_mark = ("█", "░") if _can_encode("█░") else ("#", "-")
    filled = _filled_cells(score)
    filled_part = _bar_colour(score)(filled_mark * filled) if filled else ""
    bar = filled_part + empty_mark * (_BAR_CELLS - filled)
    _write_line(f"  {label}: {bar} {_percentage(score)}")
