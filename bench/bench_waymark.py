"""Session module against the same work done in Python, measured in the same run.

    PYTHONPATH=build/<name>/stage .venv/bin/python bench/bench_waymark.py

Files live in a RAM-backed directory (/dev/shm when present), so the disk's
flush time does not hide the work; both sides take the same durability steps
(temporary file, fsync, rename, directory fsync).
"""

import json
import os
import shutil
import sys
import tempfile
import time
from datetime import datetime
from pathlib import Path

RAM = "/dev/shm" if os.path.isdir("/dev/shm") else None
WORK = Path(tempfile.mkdtemp(prefix="bench-waymark-", dir=RAM))
os.environ["CORVANE_HOME"] = str(WORK / "home")

from brevanta import waymark  # noqa: E402  (the home directory is read at import)

MOMENT = datetime(2025, 3, 14, 9, 5, 7, 123456)


class FixedClock:
    @staticmethod
    def now():
        return MOMENT


def best_of(function, repeat, number=1):
    """Seconds per call, the best of `repeat` rounds of `number` calls."""
    times = []
    for _ in range(repeat):
        start = time.perf_counter()
        for _ in range(number):
            function()
        times.append((time.perf_counter() - start) / number)
    return min(times)


def best_of_both(ours, python, repeat, number=1):
    """Rounds taken in turn, so both sides meet the same load on a shared machine."""
    ours_times, python_times = [], []
    for _ in range(repeat):
        ours_times.append(best_of(ours, 1, number))
        python_times.append(best_of(python, 1, number))
    return min(ours_times), min(python_times)


def report(title, ours, python, target):
    ratio = python / ours
    print(f"{title}: waymark {ours * 1e6:.1f} us, Python {python * 1e6:.1f} us, "
          f"{ratio:.1f}x faster (target {target}x)")
    return ratio


# ------------------------------------------------------------ save_state, 5 MB


def big_state(size):
    answers, text_size, n = [], 0, 0
    while text_size < size:
        answer = {
            "question_id": f"q{n}",
            "question": "How many conversations does the agent handle per day, and in which languages?",
            "answer": f"Roughly {n * 37 % 5000} a day — English, Deutsch (Größe), français; peak at 09:00. " * 3,
            "confidence": (n % 100) / 100,
            "tags": ["volume", "languages", n],
            "follow_up": None if n % 3 else {"asked": True, "loop": n % 5, "answered": n % 2 == 0},
        }
        answers.append(answer)
        text_size += len(json.dumps(answer, indent=2))
        n += 1
    return waymark.build_serialisable_state(
        interview_answers=answers, document_types=["prd", "trd"], project_type_key="chatbot",
        selected_strategy_number=2, analysis_summary="A support bot for a retailer.", analysis_completeness=0.82,
        strategy_id="s-1", review_turn_id="t-9", output_dir=str(WORK / "out"))


def durable_write(path, text):
    """Python's way with the same steps the module takes."""
    directory = os.path.dirname(path)
    temporary = os.path.join(directory, "." + os.path.basename(path) + ".tmp")
    with open(temporary, "w", encoding="utf-8") as f:
        f.write(text)
        f.flush()
        os.fsync(f.fileno())
    os.replace(temporary, path)
    fd = os.open(directory, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def bench_save_state():
    waymark.datetime = FixedClock
    state = big_state(5_000_000)
    path = waymark.save_state("3f2a9c1e-7b4d", state, "analysis")
    python_path = str(WORK / "python-session.json")

    def python_save():
        payload = {"org_id": "3f2a9c1e-7b4d", "phase": "analysis", "saved_at": MOMENT.isoformat(), "state": state}
        durable_write(python_path, json.dumps(payload, indent=2, default=str))

    ours = best_of(lambda: waymark.save_state("3f2a9c1e-7b4d", state, "analysis", path), 3)
    ours, python = best_of_both(lambda: waymark.save_state("3f2a9c1e-7b4d", state, "analysis", path), python_save, 7)
    ours_bytes, python_bytes = Path(path).read_bytes(), Path(python_path).read_bytes()
    assert ours_bytes == python_bytes, "save_state wrote other bytes than json.dumps"
    print(f"state file: {len(ours_bytes) / 1e6:.2f} MB, identical bytes on both sides")
    return report("save_state of a 5 MB state", ours, python, 10)


# ------------------------------------------------------------ deep nesting


def nested(depth):
    value = []
    for _ in range(depth):
        value = [value]
    return value


def bench_deep_state():
    """The circular-reference check costs the same per container at any depth."""
    waymark.datetime = FixedClock
    limit = sys.getrecursionlimit()
    sys.setrecursionlimit(100_000)
    try:
        # The indentation makes the text quadratic in depth (200 MB at 10,000).  From 3.13 on json.dumps
        # runs the C encoder, which stops short of 10,000 nested containers.
        deep_depth = 10_000 if sys.version_info < (3, 13) else 9_000
        deep = {"deep": nested(deep_depth)}
        path = waymark.save_state("3f2a9c1e", deep, "analysis")
        ours_deep = best_of(lambda: waymark.save_state("3f2a9c1e", deep, "analysis", path), 3)
        deep_size = os.path.getsize(path)
        # The interpreter's encoder is quadratic in depth itself (each chunk
        # passes through every open generator), so it is compared shallower.
        state = {"deep": nested(2_000)}
        python_path = str(WORK / "python-deep.json")

        def python_save():
            payload = {"org_id": "3f2a9c1e", "phase": "analysis", "saved_at": MOMENT.isoformat(), "state": state}
            durable_write(python_path, json.dumps(payload, indent=2, default=str))

        ours, python = best_of_both(lambda: waymark.save_state("3f2a9c1e", state, "analysis", path), python_save, 5)
        assert Path(path).read_bytes() == Path(python_path).read_bytes()
    finally:
        sys.setrecursionlimit(limit)
    print(f"save_state of a state nested {deep_depth:,} deep ({deep_size / 1e6:.0f} MB): {ours_deep * 1e3:.0f} ms")
    return report("save_state of a state nested 2,000 deep", ours, python, 10)


# ------------------------------------------------------------ listing


def python_load(sessions_dir, org_id):
    """The listing written in Python with pathlib."""
    sessions_dir.mkdir(parents=True, exist_ok=True)
    (sessions_dir / "archive").mkdir(parents=True, exist_ok=True)
    prefix = org_id.split("-")[0][:8] + "_"
    sessions = []
    for entry in sessions_dir.iterdir():
        if not entry.is_file() or entry.suffix != ".json":
            continue
        if not entry.stem.startswith(prefix):
            continue
        try:
            data = json.loads(entry.read_text(encoding="utf-8"))
        except Exception:
            continue
        if not isinstance(data, dict) or data.get("phase") == "complete":
            continue
        if "org_id" in data and data["org_id"] != org_id:
            continue
        sessions.append({"path": str(entry), "org_id": data.get("org_id", org_id), "phase": data.get("phase", "unknown"),
                         "saved_at": data.get("saved_at", ""), "state": data.get("state", {})})
    sessions.sort(key=lambda s: s["saved_at"] if isinstance(s["saved_at"], str) else "", reverse=True)
    return sessions


def bench_listing():
    sessions_dir = waymark.SESSIONS_DIR
    sessions_dir.mkdir(parents=True, exist_ok=True)
    state = waymark.build_serialisable_state(
        interview_answers=[{"q": "What should the agent do?", "a": "Answer order questions."}] * 3,
        document_types=["prd"], project_type_key="chatbot", analysis_completeness=0.5)
    mine = "acme0000-0000-4000-8000-000000000000"
    for n in range(10_000):
        org_id = mine if n % 100 == 0 else f"{n:08x}-0000-4000-8000-000000000000"
        session = {"org_id": org_id, "phase": "analysis", "saved_at": f"2025-03-14T09:{n % 60:02d}:{n % 59:02d}",
                   "state": state}
        (sessions_dir / f"{org_id[:8]}_{n:08d}.json").write_text(json.dumps(session, indent=2))
    ours_result = waymark.load_incomplete_sessions(mine)
    python_result = python_load(sessions_dir, mine)
    assert len(ours_result) == 100 and ours_result == python_result
    ours, python = best_of_both(lambda: waymark.load_incomplete_sessions(mine),
                                lambda: python_load(sessions_dir, mine), 7)
    return report("load_incomplete_sessions, 100 of 10,000 files", ours, python, 3)


# ------------------------------------------------------------ build_serialisable_state


def python_build(*, interview_answers=None, document_types=None, project_type_key=None,
                 selected_strategy_number=None, analysis_summary=None, analysis_completeness=None,
                 strategy_id=None, review_turn_id=None, output_dir=None):
    return {
        "interview_answers": interview_answers or [],
        "document_types": document_types or [],
        "project_type_key": project_type_key,
        "selected_strategy_number": selected_strategy_number,
        "analysis_summary": analysis_summary,
        "analysis_completeness": analysis_completeness,
        "strategy_id": strategy_id,
        "review_turn_id": review_turn_id,
        "output_dir": output_dir,
    }


def _refuse(name, expected, value):
    raise TypeError(f"Argument '{name}' has incorrect type (expected {expected}, got {type(value).__name__})")


def _is_number(value):
    kind = type(value)
    return (hasattr(kind, "__index__") or hasattr(kind, "__int__") or hasattr(kind, "__float__")
            or isinstance(value, complex))


def python_build_checked(*, interview_answers=None, document_types=None, project_type_key=None,
                         selected_strategy_number=None, analysis_summary=None, analysis_completeness=None,
                         strategy_id=None, review_turn_id=None, output_dir=None):
    """The same argument rules as the module's: conversions, then exact-type tests, in parameter order."""
    if selected_strategy_number is not None and type(selected_strategy_number) is not int:
        if not _is_number(selected_strategy_number):
            _refuse("selected_strategy_number", "int", selected_strategy_number)
        selected_strategy_number = int(selected_strategy_number)
    if analysis_completeness is not None and type(analysis_completeness) is not float:
        if type(analysis_completeness) is not int and not _is_number(analysis_completeness):
            _refuse("analysis_completeness", "float", analysis_completeness)
        analysis_completeness = float(analysis_completeness)
    if interview_answers is not None and type(interview_answers) is not list:
        _refuse("interview_answers", "list", interview_answers)
    if document_types is not None and type(document_types) is not list:
        _refuse("document_types", "list", document_types)
    if project_type_key is not None and type(project_type_key) is not str:
        _refuse("project_type_key", "str", project_type_key)
    if analysis_summary is not None and type(analysis_summary) is not str:
        _refuse("analysis_summary", "str", analysis_summary)
    if strategy_id is not None and type(strategy_id) is not str:
        _refuse("strategy_id", "str", strategy_id)
    if review_turn_id is not None and type(review_turn_id) is not str:
        _refuse("review_turn_id", "str", review_turn_id)
    if output_dir is not None and type(output_dir) is not str:
        _refuse("output_dir", "str", output_dir)
    return python_build(
        interview_answers=interview_answers, document_types=document_types, project_type_key=project_type_key,
        selected_strategy_number=selected_strategy_number, analysis_summary=analysis_summary,
        analysis_completeness=analysis_completeness, strategy_id=strategy_id, review_turn_id=review_turn_id,
        output_dir=output_dir)


def bench_state_builder():
    answers, types = [{"q": 1}], ["prd"]
    arguments = dict(interview_answers=answers, document_types=types, project_type_key="chatbot",
                     selected_strategy_number=2, analysis_summary="summary", analysis_completeness=0.8,
                     strategy_id="s", review_turn_id="t", output_dir="/out")
    assert waymark.build_serialisable_state(**arguments) == python_build(**arguments)
    build = waymark.build_serialisable_state

    def ours_calls():
        build(interview_answers=answers, document_types=types, project_type_key="chatbot",
              selected_strategy_number=2, analysis_summary="summary", analysis_completeness=0.8,
              strategy_id="s", review_turn_id="t", output_dir="/out")

    def python_calls(function):
        def calls():
            function(interview_answers=answers, document_types=types, project_type_key="chatbot",
                     selected_strategy_number=2, analysis_summary="summary", analysis_completeness=0.8,
                     strategy_id="s", review_turn_id="t", output_dir="/out")
        return calls

    assert python_build_checked(**arguments) == python_build(**arguments)
    ours, checked = best_of_both(ours_calls, python_calls(python_build_checked), 15, 20_000)
    ours_again, plain = best_of_both(ours_calls, python_calls(python_build), 15, 20_000)
    ours = min(ours, ours_again)
    print(f"  (against the bare dict literal without any argument checks: {plain / ours:.2f}x)")
    return report("build_serialisable_state, same argument checks", ours, checked, 1.5)


def main():
    encoder = "pure-Python" if sys.version_info < (3, 13) else "C"
    print(f"Python {sys.version.split()[0]}: json.dumps with an indent runs the {encoder} encoder")
    try:
        ratios = [bench_save_state(), bench_deep_state(), bench_listing(), bench_state_builder()]
    finally:
        shutil.rmtree(WORK, ignore_errors=True)
    targets = [10, 10, 3, 1.5]
    below = [t for r, t in zip(ratios, targets) if r < t]
    print("all targets met" if not below else f"below target: {below}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
