"""The package keeps its layers: the program over two front ends that never import each other, over
the pipeline, over the small core (the contract in pyproject.toml)."""

import shutil
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]


def lint_imports(tmp_path: Path, source: Path) -> subprocess.CompletedProcess[str]:
    # A child: the import graph is built from the package found first on the path, here `source`.
    return subprocess.run(
        [sys.executable, "-c", "import sys; from importlinter.cli import lint_imports; "
         f"sys.exit(lint_imports(config_filename={str(ROOT / 'pyproject.toml')!r}, no_cache=True, no_logo=True))"],
        cwd=tmp_path, env={"PYTHONPATH": str(source), "PATH": "/usr/bin:/bin"}, capture_output=True, text=True,
        timeout=120,
    )


def test_the_layers_hold():
    result = lint_imports(ROOT, ROOT / "src")
    assert result.returncode == 0, result.stdout + result.stderr


@pytest.mark.parametrize("importer, imported", [
    ("web/forms.py", "brevanta.cli.args"),
    ("cli/review.py", "brevanta.web.report"),
    ("pipeline/words.py", "brevanta.cli.terminal"),
    ("errors.py", "brevanta.pipeline.inputs"),
])
def test_an_import_across_the_layers_is_caught(tmp_path, importer, imported):
    copy = tmp_path / "src"
    shutil.copytree(ROOT / "src" / "brevanta", copy / "brevanta", ignore=shutil.ignore_patterns("*.so"))
    module = copy / "brevanta" / importer
    module.write_text(module.read_text(encoding="utf-8") + f"\nimport {imported}\n", encoding="utf-8")
    result = lint_imports(tmp_path, copy)
    assert result.returncode == 1 and imported in result.stdout, result.stdout + result.stderr


def test_the_readmes_pipeline_example_runs_on_the_pipeline_alone(tmp_path):
    readme = (ROOT / "README.md").read_text(encoding="utf-8")
    example = readme.split("### The whole pipeline from Python", 1)[1].split("```python\n", 1)[1].split("```", 1)[0]
    (tmp_path / "examples").symlink_to(ROOT / "examples")
    check = "\nimport sys\nprint(sorted(name for name in sys.modules if name.startswith(('brevanta.cli', 'brevanta.web'))))"
    result = subprocess.run([sys.executable, "-c", example + check], cwd=tmp_path, capture_output=True, text=True,
                            timeout=120, env={"PATH": "/usr/bin:/bin", "CORVANE_HOME": str(tmp_path / "home")})
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines()[-1] == "[]"  # no front end loaded
    assert {path.name for path in (tmp_path / "acme").iterdir()} == {"PRD.md", "PRD.html", "TRD.md", "TRD.html"}
