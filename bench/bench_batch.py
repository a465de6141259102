"""Many interviews in one batch against the same interviews analysed one by one, measured in the same run.

1,000 interviews of the example's size go through the local batch service (tests/support/batch_service.py,
in a process of its own, so that its work and memory are not counted here): the local time per interview
(building the requests and sending the batch; then reading the results, extracting each analysis and saving
its session), the growth of this process's resident memory over it, and the cost of the batch at the price
table's batch column. The plain way: the same interviews analysed one after the other, each request through
the SDK against the same service, each analysis saved as a session.

Targets: under 5 ms of processor time per interview (the wall time is printed beside it), under 100 MB of
resident memory growth, at most 0.5x the cost.

    .venv/bin/python bench/bench_batch.py [--interviews N]
"""

import argparse
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path

REPO = Path(__file__).resolve().parents[1]
RAM = "/dev/shm" if os.path.isdir("/dev/shm") else None
WORK = Path(tempfile.mkdtemp(prefix="bench-batch-", dir=RAM))
MODEL = "claude-sonnet-4-5"
TIME_TARGET, MEMORY_TARGET, COST_TARGET = 0.005, 100 * 2**20, 0.5

SERVICE = f"""
import sys
sys.path.insert(0, {str(REPO / "tests")!r})
from pathlib import Path
from support.batch_service import BatchService
from support.messages_service import by_kind
replies = {{kind: (Path({str(REPO / "examples" / "replay")!r}) / f"{{kind}}.md").read_text(encoding="utf-8")
           for kind in ("analysis", "prd", "trd")}}
service = BatchService(by_kind(replies), tokens_per_second=1e9, first_event_delay=0, polls_until_ended=0).start()
print(service.base_url, flush=True)
sys.stdin.read()
"""


def resident_bytes():
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmRSS:"):
            return int(line.split()[1]) * 1024
    return 0


def write_interviews(folder, count):
    example = (REPO / "examples" / "interview.md").read_text(encoding="utf-8")
    folder.mkdir(parents=True)
    for number in range(count):
        (folder / f"client-{number:04d}.md").write_text(example.replace("Tarang", f"Tarang {number}"), encoding="utf-8")


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--interviews", type=int, default=1000)
    count = parser.parse_args().interviews
    service = subprocess.Popen([sys.executable, "-c", SERVICE], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        base_url = service.stdout.readline().strip()
        os.environ.update(CORVANE_HOME=str(WORK / "home"), ANTHROPIC_BASE_URL=base_url, ANTHROPIC_API_KEY="bench-key",
                          BREVANTA_MODEL_REASONING=MODEL, BREVANTA_BATCH_POLL="0.01")
        os.environ.pop("BREVANTA_RELAY_URL", None)
        return measure(count)
    finally:
        service.stdin.close()
        service.wait(timeout=30)


def clocks():
    return time.perf_counter(), time.process_time()


def since(started):
    wall, processor = clocks()
    return wall - started[0], processor - started[1]


def batch_of(folder, org_prefix):
    """((wall, processor) seconds to send, the same to read and save, the batch record) of one batch of the
    folder's interviews."""
    from brevanta.pipeline import batches
    from brevanta.pipeline.models import open_batch_endpoints

    endpoints = open_batch_endpoints()
    started = clocks()
    plan = batches.plan_analyses([str(folder)], org_prefix)
    sent = []
    batches.send("analysis", plan, endpoints, on_sent=sent.append)
    sending = since(started)
    (record,) = sent
    batches.follow(record, endpoints, lambda status, wait: None)  # the service's time, not ours
    started = clocks()
    record = batches.collect(record, endpoints)
    reading = since(started)
    assert all(request.outcome == "succeeded" for request in record.requests), record.counts()
    return sending, reading, record


def one_by_one(folder, org_prefix):
    """(seconds, usage records) of the same interviews analysed one after the other, each saved as a session."""
    from brevanta.pipeline import session
    from brevanta.pipeline.batches import org_for
    from brevanta.pipeline.interview import Interview
    from brevanta.pipeline.models import ModelAccess

    access = ModelAccess(None, "Anthropic API")
    started = time.perf_counter()
    for path in sorted(folder.iterdir()):
        text = path.read_text(encoding="utf-8")
        run = session.new_run(Interview(str(path), text), org_for(str(path), text, org_prefix), 1)
        result = access.analyze(text, 1)
        session.keep_analysis(run, result)
        session.save(run, result)
        run.release()
    return time.perf_counter() - started, access.usage


def measure(count):
    from brevanta import config, waymark
    from brevanta.pipeline.session import state_of, session_records
    from brevanta.pipeline.usage import cost_of

    config.load()
    write_interviews(WORK / "warm-up", 5)
    write_interviews(WORK / "interviews", count)
    batch_of(WORK / "warm-up", "warm")  # the SDK's and the pipeline's first use, not measured

    before = resident_bytes()
    sending, reading, record = batch_of(WORK / "interviews", "batch")
    growth = resident_bytes() - before
    plain_seconds, plain_usage = one_by_one(WORK / "interviews", "plain")

    batch_usage = [entry for record_ in session_records(waymark.SESSIONS_DIR, None)
                   if record_["org_id"].startswith("batch-") for entry in state_of(record_)["usage"]]
    assert len(batch_usage) == len(plain_usage) == count
    batch_cost, plain_cost = sum(map(cost_of, batch_usage)), sum(map(cost_of, plain_usage))

    # The target holds this process's own work, its processor time: the wall time also holds the waits on the
    # service, which shares the machine.
    per_interview = (sending[1] + reading[1]) / count
    wall_per_interview = (sending[0] + reading[0]) / count
    plain_per_interview = plain_seconds / count
    cost_ratio = batch_cost / plain_cost
    ok = per_interview < TIME_TARGET and growth < MEMORY_TARGET and cost_ratio <= COST_TARGET
    print(f"{count:,} interviews of {len((REPO / 'examples' / 'interview.md').read_bytes()):,} bytes, one batch "
          f"({len(record.requests):,} requests) through the local batch service")
    print(f"{'local processor time per interview: send; read, extract, save':<62} {per_interview * 1e3:6.2f} ms  "
          f"({sending[1] * 1e3 / count:.2f} + {reading[1] * 1e3 / count:.2f}; wall {wall_per_interview * 1e3:.2f} ms)  "
          f"one by one, wall {plain_per_interview * 1e3:6.2f} ms  x{wall_per_interview / plain_per_interview:.2f} the "
          f"time (target under {TIME_TARGET * 1e3:.0f} ms) {'ok' if per_interview < TIME_TARGET else 'ABOVE TARGET'}")
    print(f"{'resident memory growth over the batch':<62} {growth / 2**20:6.1f} MB  (target under "
          f"{MEMORY_TARGET / 2**20:.0f} MB) {'ok' if growth < MEMORY_TARGET else 'ABOVE TARGET'}")
    print(f"{'cost of the analyses, ' + MODEL:<62} ${batch_cost:7.3f}  one by one ${plain_cost:7.3f}  "
          f"x{cost_ratio:.2f} the cost (target at most x{COST_TARGET}) {'ok' if cost_ratio <= COST_TARGET else 'ABOVE TARGET'}")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
