"""The browser's pages against the console's output of the same data, measured in the same run.

The sessions page with 1,000 sessions (each holding the example analysis) against `brevanta
sessions` listing them, and the report page of an analysis with 50 gaps against
`gapscope.display_analysis` of it; the pages are served in-process through Starlette's test
client, the console output goes to a discarded stream. The sessions page is timed cold (every file
read and parsed, as at the server's first request) and warm (files unchanged since: only their
directory entries are read).

Targets: the sessions page under 100 ms, the report page under 20 ms.

    .venv/bin/python bench/bench_web.py
"""

import argparse
import contextlib
import copy
import io
import json
import os
import sys
import tempfile
import time
from pathlib import Path

RAM = "/dev/shm" if os.path.isdir("/dev/shm") else None
WORK = Path(tempfile.mkdtemp(prefix="bench-web-", dir=RAM))
os.environ["CORVANE_HOME"] = str(WORK / "home")
EXAMPLES = Path(__file__).resolve().parents[1] / "examples"

from starlette.testclient import TestClient  # noqa: E402

from brevanta import gapscope, waymark  # noqa: E402
from brevanta.cli.sessions import sessions as console_sessions  # noqa: E402
from brevanta.web.access import Access  # noqa: E402
from brevanta.web.app import create_app  # noqa: E402

FIELDS = ("completeness_score", "completeness_reasoning", "sufficient_for_prd", "gaps", "insights",
          "data_points_found", "architecture_notes", "summary")


def example_fields():
    reply = (EXAMPLES / "replay" / "analysis.md").read_text(encoding="utf-8")
    parsed = json.loads(gapscope._extract_json(reply))
    return {key: parsed[key] for key in FIELDS if key in parsed}


def write_sessions(count, fields):
    waymark._ensure_dirs()
    for number in range(count):
        org = f"org{number % 40:02d}"
        phase = "complete" if number % 3 == 0 else "analysis"
        directory = waymark.ARCHIVE_DIR if number % 10 == 9 else waymark.SESSIONS_DIR
        state = dict(waymark.build_serialisable_state(output_dir=str(WORK / "out")))
        state.update(round=1 + number % 3, interview_file=f"/work/{org}/interview.md", bypassed_gaps=[],
                     analysis={"round": 1, "result": fields}, open_gaps=number % 7, documents_written=[])
        data = {"org_id": org, "phase": phase, "saved_at": f"2026-12-01T10:{number // 60 % 60:02d}:{number % 60:02d}",
                "state": state}
        (directory / f"{org}_20261201_{number:06d}.json").write_text(json.dumps(data, indent=2), encoding="utf-8")


def fifty_gaps(fields):
    many = copy.deepcopy(fields)
    levels = ("critical", "significant", "minor")
    many["gaps"] = [dict(fields["gaps"][number % len(fields["gaps"])], id=f"gap_{number + 1}",
                         impact_level=levels[number % 3], title=f"Gap {number + 1}") for number in range(50)]
    return many


def best_of(function, repeat=15):
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        function()
        times.append(time.perf_counter() - start)
    return min(times)


def quietly(function):
    def run():
        with contextlib.redirect_stdout(io.StringIO()):
            function()
    return run


def line(label, page, console, target=None):
    """One comparison; `target`, when the page is held to one, in seconds."""
    held = "" if target is None else f"  (target {target * 1e3:.0f} ms) {'ok' if page <= target else 'ABOVE TARGET'}"
    print(f"{label:<44} page {page * 1e3:8.2f} ms  console {console * 1e3:8.2f} ms  "
          f"page/console {page / console:5.2f}{held}")
    return target is None or page <= target


def main():
    argparse.ArgumentParser(description=__doc__.splitlines()[0]).parse_args()
    fields = example_fields()
    write_sessions(1000, fields)
    access = Access.new("127.0.0.1", 8000)
    ok = True
    # Every page lives under the server's own prefix.
    with TestClient(create_app(access), base_url="http://127.0.0.1:8000") as client:
        client.get(f"{access.prefix}/?token={access.token}", follow_redirects=False)

        def sessions_page():
            response = client.get(f"{access.prefix}/")
            assert response.status_code == 200 and response.text.count("<tr class=") == 1000

        def cold_sessions_page():
            client.app.state.index._known.clear()
            sessions_page()

        listing = quietly(lambda: console_sessions(argparse.Namespace(restore=None, reopen=None, org=None, interview=None)))
        console = best_of(listing, 5)
        ok &= line("sessions page, 1,000 sessions, warm", best_of(sessions_page), console, 0.100)
        # The server reads every file once in the background as it starts: the first page finds them read.
        line("sessions page, 1,000 sessions, cold", best_of(cold_sessions_page, 5), console)

        many = fifty_gaps(fields)
        state = dict(waymark.build_serialisable_state())
        state.update(analysis={"round": 1, "result": many})
        path = waymark.save_state("report", state, "analysis")

        def report_page():
            response = client.get(f"{access.prefix}/session/live/{Path(path).name}")
            assert response.status_code == 200 and response.text.count('class="gap-title"') == 50

        result = gapscope.AnalysisResult(**many)
        ok &= line("report page, 50 gaps", best_of(report_page, 50), best_of(quietly(
            lambda: gapscope.display_analysis(result)), 50), 0.020)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
