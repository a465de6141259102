"""Session files read without trusting the disk: anything else in a file's place (a link, a FIFO, a
directory), bytes that are not UTF-8 JSON, an object nested deeper than any session is, a file larger
than any session, all read as "not a session" (None), never as a failure of the caller. Paths a session
stores are checked when they are read.

`glance` is the read for showing a session: a large file is parsed by a child process and comes back
with its long texts shortened, so that a server thread never holds the interpreter for the seconds a
parse of hundreds of megabytes takes.
"""

from __future__ import annotations

import json
import os
import stat
import subprocess
import sys
from pathlib import Path
from typing import Any

# Deeper than any session the program writes (about ten levels), far below the interpreter's recursion limit.
MAX_DEPTH = 64
# Larger than any session: an interview at the largest token limit, written with every character escaped.
MAX_BYTES = 1 << 30
# Above this size, `glance` parses in a child process; below it a parse takes a few milliseconds.
GLANCE_IN_PROCESS = 8 << 20
# Texts longer than this are shortened in a glance; the pages never show one whole.
GLANCE_TEXT = 1 << 20
GLANCE_TIMEOUT = 300  # seconds: a parse of the largest file on a slow disk, and more
SHORTENED = " […]"
PATH_MAX = 4096  # bytes, as Linux counts a path


def within_depth(value: Any, limit: int = MAX_DEPTH) -> bool:
    """Whether the containers of `value` nest at most `limit` deep; walked without recursion."""
    stack: list[tuple[Any, int]] = [(value, 1)]
    while stack:
        item, depth = stack.pop()
        children = item.values() if isinstance(item, dict) else item
        if depth > limit:
            return False
        stack.extend((child, depth + 1) for child in children if isinstance(child, (dict, list)))
    return True


def parsed_session(data: bytes) -> dict[str, Any] | None:
    """The session object `data` holds, or None for bytes that are not one."""
    try:
        parsed = json.loads(data.decode("utf-8"))
    except (ValueError, RecursionError):  # not UTF-8, not JSON, an integer too long, or nested too deep
        return None
    if not isinstance(parsed, dict) or not within_depth(parsed):
        return None
    return parsed


def _open_regular(path: Path) -> int | None:
    """A descriptor of the regular file at `path`, or None. Opened without following a link and without
    waiting on a FIFO; the type is checked on the open file, so nothing put in its place is read."""
    try:
        if not stat.S_ISREG(os.lstat(path).st_mode):
            return None  # a link, a FIFO, a directory: never opened
        descriptor = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_NONBLOCK | os.O_CLOEXEC)
    except (OSError, ValueError):  # ValueError: a NUL in the name
        return None
    try:
        info = os.fstat(descriptor)
    except OSError:
        info = None
    if info is None or not stat.S_ISREG(info.st_mode) or info.st_size > MAX_BYTES:
        os.close(descriptor)
        return None
    return descriptor


def read_session_file(path: Path) -> dict[str, Any] | None:
    """The session object in `path`, or None for anything that is not a regular file holding one."""
    descriptor = _open_regular(path)
    if descriptor is None:
        return None
    try:
        with open(descriptor, "rb") as file:
            data = file.read()
    except OSError:
        return None
    return parsed_session(data)


# The child of a glance: the session on its standard input, the same object with its long texts
# shortened on its standard output ("null" for anything that is not a session).
_GLANCE_CHILD = """
import json, sys
limit, mark = int(sys.argv[1]), sys.argv[2]
try:
    data = json.loads(sys.stdin.buffer.read().decode("utf-8"))
except (ValueError, RecursionError):
    data = None
stack = [data] if isinstance(data, (dict, list)) else []
while stack:
    item = stack.pop()
    keys = list(item) if isinstance(item, dict) else range(len(item))
    for key in keys:
        value = item[key]
        if isinstance(value, str) and len(value) > limit:
            item[key] = value[:limit] + mark
        elif isinstance(value, (dict, list)):
            stack.append(value)
sys.stdout.write(json.dumps(data if isinstance(data, dict) else None))
"""


def _glance_in_child(descriptor: int) -> dict[str, Any] | None:
    try:
        done = subprocess.run([sys.executable, "-I", "-S", "-c", _GLANCE_CHILD, str(GLANCE_TEXT), SHORTENED],
                              stdin=descriptor, capture_output=True, timeout=GLANCE_TIMEOUT, check=False)
    except (OSError, subprocess.SubprocessError):
        return None
    if done.returncode != 0:
        return None
    return parsed_session(done.stdout)


def glance(path: Path) -> dict[str, Any] | None:
    """The session in `path` for showing it: as `read_session_file` reads it, but a file larger than
    GLANCE_IN_PROCESS is parsed by a child process and its texts longer than GLANCE_TEXT are shortened."""
    descriptor = _open_regular(path)
    if descriptor is None:
        return None
    try:
        if os.fstat(descriptor).st_size <= GLANCE_IN_PROCESS or not sys.executable:
            with open(descriptor, "rb", closefd=False) as file:
                return parsed_session(file.read())
        return _glance_in_child(descriptor)
    except OSError:
        return None
    finally:
        os.close(descriptor)


def checked_path(value: Any) -> str | None:
    """A path a session stores (its output folder, its interview file), or None when it cannot be one:
    not a str, empty, relative, holding a NUL, not encodable as a file name, or too long."""
    if not isinstance(value, str) or not value or "\0" in value or not os.path.isabs(value):
        return None
    try:
        encoded = os.fsencode(value)
    except UnicodeError:  # a lone surrogate that is not an undecodable byte
        return None
    return value if len(encoded) < PATH_MAX else None
