"""How long the command takes to end after Ctrl-C (SIGINT) on a terminal, against a plain
`python -c "import anthropic; input()"` interrupted on the same kind of terminal in the same run
(an interpreter holding the SDK takes most of the time to shut down).

    .venv/bin/python bench/bench_interrupt.py

Three places where a user presses Ctrl-C: while the analysis request stalls, while a document's
streamed reply stalls, and at the report's question. Each is measured from the signal to the
exit, best and median of RUNS runs; the ratio is against the plain interpreter's own exit.
"""

import os
import signal
import statistics
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
sys.path[:0] = [str(REPO / "tests" / "cli"), str(REPO / "tests")]  # the installed package, the tests' helpers

from conftest import Terminal  # noqa: E402  (the tests' pseudo-terminal driver)
from support.anthropic_stub import MessagesServer  # noqa: E402

RUNS = 5
ANALYSIS_REPLY = (REPO / "examples" / "replay" / "analysis.md").read_text(encoding="utf-8")


def environment(home, **settings):
    env = {name: value for name, value in os.environ.items() if not name.startswith(("ANTHROPIC_", "BREVANTA_"))}
    env.pop("PYTHONPATH", None)  # the installed package, built modules and all
    env.update(CORVANE_HOME=str(home), NO_COLOR="1", TERM="xterm", **settings)
    return env


def stalled_analysis(server, env):
    server.never_answer(for_seconds=60)
    return ["analyze", "examples/interview.md", "--yes"], env, "Analysing the interview (round 1)... 0s"


def stalled_document(server, env):
    server.reply_text(ANALYSIS_REPLY)
    server.reply_text("# PRD\n" * 200, chunks=8, break_off="stall", stall_for=60)
    return ["analyze", "examples/interview.md", "--yes"], env, "Writing the PRD and the TRD... 0s"


def gap_prompt(server, env):
    return ["analyze", "examples/interview.md", "--replay", "examples/replay"], env, "Your choice [1/2/3]: "


def seconds_to_exit(argv, env, ready):
    """Starts `argv` on a terminal, waits for `ready` on the screen, sends SIGINT and times the exit."""
    terminal = Terminal(argv, env, REPO)
    try:
        terminal.expect(ready, timeout=60)
        time.sleep(0.2)  # well inside the wait, not at its first instant
        signalled = time.perf_counter()
        terminal.process.send_signal(signal.SIGINT)
        terminal.process.wait(timeout=60)
        return time.perf_counter() - signalled
    finally:
        terminal.close()


def measure(scenario):
    times = []
    for _ in range(RUNS):
        with tempfile.TemporaryDirectory() as home, MessagesServer() as server:
            env = environment(home, ANTHROPIC_API_KEY="bench-key", ANTHROPIC_BASE_URL=server.base_url)
            args, env, ready = scenario(server, env)
            times.append(seconds_to_exit([sys.executable, "-m", "brevanta", *args], env, ready))
    return min(times), statistics.median(times)


def plain_python(code):
    times = []
    for _ in range(RUNS):
        times.append(seconds_to_exit([sys.executable, "-c", f"{code}print('ready', flush=True); input()"],
                                     environment(tempfile.gettempdir()), "ready"))
    return min(times), statistics.median(times)


def main():
    for label, code in (("python -c input()", ""), ("python -c 'import anthropic; input()'", "import anthropic; ")):
        plain_best, plain_median = plain_python(code)
        print(f"{label + ', Ctrl-C to exit':<56} best {plain_best * 1e3:7.1f} ms  median {plain_median * 1e3:7.1f} ms")
    for scenario in (stalled_analysis, stalled_document, gap_prompt):
        best, median = measure(scenario)
        print(f"{scenario.__name__.replace('_', ' ') + ', Ctrl-C to exit':<56} best {best * 1e3:7.1f} ms  "
              f"median {median * 1e3:7.1f} ms  x{median / plain_median:5.2f} the plain interpreter's (with the SDK)")
    return True


if __name__ == "__main__":
    sys.exit(0 if main() else 1)
