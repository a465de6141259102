"""Ctrl-C at random moments into runs waiting on a model service that never answers.

    .venv/bin/python bench/stress_interrupt.py [--runs 300] [--jobs 4] [--seed N] [--cores DIR]
    tools/run-sanitized build/asan --python bench/stress_interrupt.py --runs 100   # the sanitizer build

Each run is `brevanta analyze examples/interview.md --yes --new` in a fresh CORVANE_HOME, with
ANTHROPIC_API_KEY set and ANTHROPIC_BASE_URL pointing at a local Messages service of its own that
accepts the request and sends nothing back. SIGINT comes at a random moment 0.05 to 2.5 s after the
start: during start-up, while the SDK loads, while the request is being made or while it waits on
the silent service. Several runs go at once, to load the machine as a busy laptop would.

Every run must end with status 130 (0 where it had finished); the table counts each status, and how
many of those runs had their request at the service when the signal came. The script exits with 1 if
any run ended otherwise (an abort, a traceback, a hang) and shows what such runs printed last. One
outcome is the interpreter's own and counted apart: a signal that comes while the interpreter is still
starting, before any code of the command has run (over 50 ms only on a loaded machine or under the
sanitizer), ends it with "Fatal Python error: init_import_site" and status 1 while it imports `site`, or,
before it handles signals at all, silently by the signal itself (which a shell shows as 130). With
`--cores DIR` each run works in its own folder under DIR with core files allowed, so an aborted run
leaves its core there. This is a stress test, not part of `make bench`: 300 runs take a few minutes.
"""

import argparse
import collections
import os
import random
import resource
import signal
import subprocess
import sys
import tempfile
import threading
import time
from concurrent.futures import ThreadPoolExecutor
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(REPO / "tests")]

from support.anthropic_stub import MessagesServer  # noqa: E402

INTERVIEW = REPO / "examples" / "interview.md"
# The installed command, as a user starts it (`python -m brevanta` ends with SIGINT itself, not 130, when the
# interrupt had ended a string exec, as the SDK's loading does: the interpreter's own rule for `-m`).
COMMAND = str(Path(sys.executable).parent / "brevanta")
EARLIEST, LATEST = 0.05, 2.5  # seconds from the start to the signal
EXIT_TIMEOUT = 60.0  # a run still there this long after its signal has hung
EXPECTED = {130: "interrupted", 0: "finished before the signal"}
INTERPRETER_START = "interpreter still starting"  # its own fatal error, before any code of the command


def environment(home):
    """The caller's environment without its model settings; PYTHONPATH and the sanitizer's variables are
    kept, so the runs use the same build as this script."""
    env = {name: value for name, value in os.environ.items() if not name.startswith(("ANTHROPIC_", "BREVANTA_"))}
    env.update(CORVANE_HOME=str(home), NO_COLOR="1")
    return env


def describe(status):
    if status == INTERPRETER_START:
        return "interpreter still starting"
    if status is None:
        return "hung (killed)"
    if status < 0:
        return f"{status} ({signal.Signals(-status).name})"
    return f"{status} ({EXPECTED.get(status, 'unexpected')})"


def acceptable(status):
    return status in EXPECTED or status == INTERPRETER_START


def allow_cores():
    resource.setrlimit(resource.RLIMIT_CORE, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))


def one_run(number, delay, cores):
    """(status, None for a hang or INTERPRETER_START; whether the request had reached the service; the last
    lines of stderr)."""
    with tempfile.TemporaryDirectory(prefix="brevanta-stress-") as home, MessagesServer() as server:
        server.never_answer(for_seconds=EXIT_TIMEOUT * 2)
        env = environment(home)
        env.update(ANTHROPIC_API_KEY="stress-key", ANTHROPIC_BASE_URL=server.base_url)
        workdir = home
        if cores:
            workdir = os.path.join(cores, f"run-{number:03d}")
            os.makedirs(workdir, exist_ok=True)
        process = subprocess.Popen(
            [COMMAND, "analyze", str(INTERVIEW), "--yes", "--new"],
            cwd=workdir, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            preexec_fn=allow_cores if cores else None,
        )
        stderr = []
        reader = threading.Thread(target=lambda: stderr.extend(process.stderr), daemon=True)
        reader.start()
        time.sleep(delay)
        in_flight = bool(server.requests)
        if process.poll() is None:
            process.send_signal(signal.SIGINT)
        try:
            status = process.wait(timeout=EXIT_TIMEOUT)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            status = None
        reader.join(timeout=5)
        text = b"".join(stderr).decode("utf-8", "replace")
        if (status == 1 and "Fatal Python error: init_import_site" in text) or (status == -signal.SIGINT
                                                                                and not text):
            status = INTERPRETER_START
        return status, in_flight, text.strip().splitlines()[-12:]


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--runs", type=int, default=300)
    parser.add_argument("--jobs", type=int, default=4, help="runs at once (default 4, on 2 cores)")
    parser.add_argument("--seed", type=int, default=None)
    parser.add_argument("--cores", metavar="DIR", help="run each in DIR/run-N with core files allowed")
    options = parser.parse_args()
    seed = options.seed if options.seed is not None else random.randrange(1 << 32)
    chance = random.Random(seed)
    delays = [chance.uniform(EARLIEST, LATEST) for _ in range(options.runs)]
    print(f"{options.runs} runs, {options.jobs} at once, SIGINT after {EARLIEST}-{LATEST} s (seed {seed}); "
          f"build: {os.environ.get('PYTHONPATH') or 'installed package'}"
          f"{', sanitized' if os.environ.get('BREVANTA_SANITIZED') else ''}", flush=True)

    started = time.perf_counter()
    counts = collections.Counter()
    in_flight = collections.Counter()
    examples = {}
    with ThreadPoolExecutor(options.jobs) as pool:
        futures = [pool.submit(one_run, number, delay, options.cores) for number, delay in enumerate(delays)]
        for done, future in enumerate(futures, 1):
            status, reached, tail = future.result()
            counts[status] += 1
            in_flight[status] += reached
            if status not in EXPECTED:
                examples.setdefault(status, (delays[done - 1], tail))
            if done % 25 == 0:
                print(f"  {done} runs, {sum(n for s, n in counts.items() if not acceptable(s))} unexpected",
                      flush=True)

    print(f"\n{'exit status':<32}{'runs':>6}{'request at the service':>26}")
    for status in sorted(counts, key=lambda s: (not acceptable(s), describe(s))):
        print(f"{describe(status):<32}{counts[status]:>6}{in_flight[status]:>26}")
    print(f"{'all':<32}{sum(counts.values()):>6}{sum(in_flight.values()):>26}")
    print(f"\n{time.perf_counter() - started:.0f} s")
    for status, (delay, tail) in examples.items():
        print(f"\nlast lines of a run that ended {describe(status)}, signalled after {delay:.2f} s:")
        for line in tail:
            print(f"    {line}")
    return all(acceptable(status) for status in counts)


if __name__ == "__main__":
    sys.exit(0 if main() else 1)
