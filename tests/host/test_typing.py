"""The stubs match the built modules (mypy's stubtest, a few seconds, against the modules the suite has
built). The package's own type check, mypy --strict, is `make typecheck`."""

import os
import shutil
import subprocess
import sys
from pathlib import Path

import brevanta

ROOT = Path(__file__).resolve().parents[2]
HERE = Path(__file__).parent
MODULES = ["brevanta.gapscope", "brevanta.waymark"]

# Each a stub declaration that differs from the module, and the name stubtest must report.
DRIFTS = [
    ("gapscope.pyi", "loop_number: int = 1", "loop: int = 1", "gapscope.analyze_requirements"),
    ("gapscope.pyi", "async def analyze_requirements", "def analyze_requirements", "gapscope.analyze_requirements"),
    ("gapscope.pyi", 'def empty(cls, reason: str = "")', "def empty(cls, reason: str)", "gapscope.AnalysisResult.empty"),
    ("gapscope.pyi", "def _extract_json(text: str)", "def _extract_json(text: str, strict: bool)", "gapscope._extract_json"),
    ("waymark.pyi", "(\n    *,\n    interview_answers", "(\n    interview_answers", "waymark.build_serialisable_state"),
    ("waymark.pyi", "def mark_complete(session_path: str) -> None: ...\n", "", "waymark.mark_complete"),
]


def stubtest(**env):
    return subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", *MODULES,
         "--allowlist", str(HERE / "stubtest-allowlist.txt"), "--mypy-config-file", str(HERE / "stubtest.ini")],
        cwd=ROOT, env={**os.environ, **env}, capture_output=True, text=True, timeout=300,
    )


def test_stubs_match_the_built_modules():
    result = stubtest()
    assert result.returncode == 0, result.stdout + result.stderr


def test_stubtest_reports_each_drift(tmp_path):
    # The installed stubs copied where mypy looks before site-packages, each
    # with its drifts; the modules imported are still the built ones.
    copy = tmp_path / "brevanta"
    shutil.copytree(Path(brevanta.__file__).parent, copy, ignore=shutil.ignore_patterns("*.so", "__pycache__"))
    for stub, right, wrong, _ in DRIFTS:
        text = (copy / stub).read_text()
        assert text.count(right) == 1, right
        (copy / stub).write_text(text.replace(right, wrong))
    result = stubtest(MYPYPATH=str(tmp_path))
    assert result.returncode == 1, result.stdout + result.stderr
    reported = {line.split()[1] for line in result.stdout.splitlines() if line.startswith("error: ")}
    assert reported == {f"brevanta.{name}" for *_, name in DRIFTS}, result.stdout
