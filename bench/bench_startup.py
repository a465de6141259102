"""Start-up of the command: `brevanta --help` against `python -c pass`, and a replayed run of the example
interview against the same run with the SDK loaded at start, measured in the same run.

    .venv/bin/python bench/bench_startup.py

The command is the installed script beside this interpreter; the target is
an answer in under 0.25 s, which holds only while the help does not load the
SDK. A replayed run never needs the SDK, which the command loads only when a
request does.
"""

import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

TARGET = 0.25  # seconds
RUNS = 15
SCRIPT = Path(sys.executable).parent / "brevanta"
EXAMPLES = Path(__file__).resolve().parents[1] / "examples"
REPLAYED = ["analyze", str(EXAMPLES / "interview.md"), "--replay", str(EXAMPLES / "replay"), "--yes"]
# The same command, in a process that has loaded the SDK before it starts.
SDK_FIRST = "import sys, anthropic; from brevanta.command import main; sys.exit(main(sys.argv[1:]))"


def best_of(argv, runs=RUNS, fresh_home=False):
    """Seconds of the fastest of `runs` runs of `argv`, output discarded; `fresh_home` gives each run an empty
    session home and output folder."""
    times = []
    for _ in range(runs):
        with tempfile.TemporaryDirectory() as home:
            extra = ["--out", str(Path(home) / "docs")] if fresh_home else []
            env = {**os.environ, "CORVANE_HOME": home} if fresh_home else None
            start = time.perf_counter()
            subprocess.run([*argv, *extra], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True, env=env)
            times.append(time.perf_counter() - start)
    return min(times)


def replayed_run():
    deferred = best_of([str(SCRIPT), *REPLAYED], runs=5, fresh_home=True)
    loaded = best_of([sys.executable, "-c", SDK_FIRST, *REPLAYED], runs=5, fresh_home=True)
    print(f"{'replayed run of the example interview, SDK loaded at start':<62} "
          f"command {deferred * 1e3:7.1f} ms  loaded  {loaded * 1e3:7.1f} ms  x{deferred / loaded:5.2f} the time")


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
    replayed_run()
    return command < TARGET


if __name__ == "__main__":
    sys.exit(0 if main() else 1)
