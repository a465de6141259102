"""Start-up of the command: `brevanta --help` against `python -c pass`, measured in the same run.

    .venv/bin/python bench/bench_startup.py

The command is the installed script beside this interpreter; the target is
an answer in under 0.25 s, which holds only while the help does not load the
SDK.
"""

import os
import subprocess
import sys
import time
from pathlib import Path

TARGET = 0.25  # seconds
RUNS = 15
SCRIPT = Path(sys.executable).parent / "brevanta"


def best_of(argv, runs=RUNS):
    """Seconds of the fastest of `runs` runs of `argv`, output discarded."""
    times = []
    for _ in range(runs):
        start = time.perf_counter()
        subprocess.run(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)
        times.append(time.perf_counter() - start)
    return min(times)


def main():
    if not SCRIPT.exists():
        sys.exit(f"{SCRIPT} is not installed; run `make install` first")
    env_note = " (PYTHONPATH set)" if os.environ.get("PYTHONPATH") else ""
    bare = best_of([sys.executable, "-c", "pass"])
    command = best_of([str(SCRIPT), "--help"])
    verdict = "ok" if command < TARGET else "ABOVE TARGET"
    print(f"{'brevanta --help against python -c pass' + env_note:<62} "
          f"command {command * 1e3:7.1f} ms  python {bare * 1e3:7.1f} ms  x{command / bare:5.2f} the cost "
          f"(target under {TARGET * 1e3:.0f} ms) {verdict}")
    return command < TARGET


if __name__ == "__main__":
    sys.exit(0 if main() else 1)
