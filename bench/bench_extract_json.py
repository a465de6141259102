"""_extract_json on the reply where the truncation repair matters: a large
object followed by stray text whose brackets balance, so that nearly every
prefix in the 500-character window has equal counts and, done the plain way,
gets parsed from the start.

Prints, measured in this run:
  - speed-up over the plain Python rendering of the algorithm (target >= 50x)
  - cost against one json.loads of the same object (target <= 3x)
  - growth when the object doubles (target <= 2.5x)

Run: PYTHONPATH=build/<name>/stage .venv/bin/python bench/bench_extract_json.py
"""

import json
import pathlib
import random
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parents[1]
sys.path[:0] = [str(ROOT / "tests" / "gapscope"), str(ROOT / "tests")]

from brevanta import gapscope  # noqa: E402
from test_extract_json import extract_json_reference  # noqa: E402  (the rendering the tests hold)

STRAY_LENGTH = 400


def analysis_object(size):
    """An analysis answer laid out as the model does, at least `size` characters."""
    rng = random.Random(size)
    words = "escalation pricing beds Chennai voice latency CRM handoff booking language refund".split()
    answer = {"completeness_score": 0.62, "completeness_reasoning": "", "sufficient_for_prd": False, "gaps": []}
    text = ""
    while len(text) < size:
        for _ in range(50):
            answer["gaps"].append({
                "id": f"gap_{len(answer['gaps']) + 1}",
                "title": " ".join(rng.choices(words, k=3)),
                "description": " ".join(rng.choices(words, k=20)),
                "impact_level": rng.choice(["critical", "significant", "minor"]),
                "numbers": [rng.randint(0, 5000), rng.random()],
            })
        text = json.dumps(answer, indent=2, ensure_ascii=False)
    return text


def stray_text():
    head = "\n\nA few notes on the above: "
    tail = " More in {the appendix}"
    filler = ("the plan covers the main flows, and pricing needs review; " * 10)[: STRAY_LENGTH - len(head) - len(tail)]
    return head + filler + tail


def best_times(calls, rounds):
    """The best time of each call over `rounds` rounds that run them in turn,
    so that load from other processes falls on all of them alike."""
    best = [float("inf")] * len(calls)
    for _ in range(rounds):
        for k, call in enumerate(calls):
            start = time.perf_counter()
            call()
            best[k] = min(best[k], time.perf_counter() - start)
    return best


def main():
    stray = stray_text()
    obj = analysis_object(200_000)
    reply = obj + stray
    doubled = analysis_object(400_000) + stray

    native = gapscope._extract_json(reply)
    plain = extract_json_reference(reply, lambda line: None)
    assert native == plain == obj + "\n\n", "native and plain results differ"

    t_native, t_loads, t_doubled = best_times(
        [lambda: gapscope._extract_json(reply), lambda: json.loads(obj), lambda: gapscope._extract_json(doubled)], 40
    )
    (t_plain,) = best_times([lambda: extract_json_reference(reply, lambda line: None)], 3)

    print(f"reply: {len(obj)} characters of object + {len(stray)} of stray text")
    print(f"native _extract_json      {t_native * 1e3:9.2f} ms")
    print(f"plain Python rendering    {t_plain * 1e3:9.2f} ms")
    print(f"one json.loads of object  {t_loads * 1e3:9.2f} ms")
    print(f"native, object doubled    {t_doubled * 1e3:9.2f} ms")
    print(f"speed-up over plain Python: {t_plain / t_native:7.1f}x (target >= 50x)")
    print(f"cost against one json.loads: {t_native / t_loads:6.2f}x (target <= 3x)")
    print(f"growth when the object doubles: {t_doubled / t_native:4.2f}x (target <= 2.5x)")


if __name__ == "__main__":
    main()
