"""Helpers shared by the session module's tests."""

import json
import os
import subprocess
import sys
from datetime import datetime
from pathlib import Path

SANITIZED = bool(os.environ.get("BREVANTA_SANITIZED"))
MOMENT = datetime(2025, 3, 14, 9, 5, 7, 123456)
ORG = "3f2a9c1e-7b4d-4e21-9c3a-55aa11bb22cc"


class FixedClock:
    """Stands in for the `datetime` class: now() gives the given moments in turn, then the last."""

    def __init__(self, *moments):
        self.moments = list(moments or [MOMENT])

    def now(self):
        return self.moments.pop(0) if len(self.moments) > 1 else self.moments[0]


def session_text(org_id, phase, state, saved_at=MOMENT.isoformat()):
    """What the interpreter writes for one save."""
    payload = {"org_id": org_id, "phase": phase, "saved_at": saved_at, "state": state}
    return json.dumps(payload, indent=2, default=str).encode("utf-8")


def run_python(code, *args, home, timeout=120):
    """Runs `code` in a fresh interpreter whose package home is `home`."""
    env = {**os.environ, "CORVANE_HOME": str(home)}
    return subprocess.run([sys.executable, "-c", code, *map(str, args)], env=env, capture_output=True, text=True,
                          timeout=timeout)


def file_names(directory: Path):
    return sorted(p.name for p in directory.iterdir())
