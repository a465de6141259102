"""brevanta.config reads the environment at import, so each case imports it in a fresh interpreter."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parents[2] / "src"
NAMES = "ANTHROPIC_API_KEY MODEL_REASONING MODEL_ROUTING MAX_TOKENS_ANALYSIS CORVANE_HOME RELAY_URL RELAY_TOKEN"
DUMP = (
    "import json; from brevanta import config as c; "
    f"print(json.dumps({{n: getattr(c, n) for n in {NAMES.split()}}}, default=repr))"
)


def import_config(home, **env):
    env = {"PATH": os.environ.get("PATH", ""), "HOME": str(home), "PYTHONPATH": str(SRC), **env}
    return subprocess.run([sys.executable, "-c", DUMP], env=env, capture_output=True, text=True, timeout=60)


def settings(home, **env):
    result = import_config(home, **env)
    assert result.returncode == 0, result.stderr
    return json.loads(result.stdout)


def test_defaults(tmp_path):
    assert settings(tmp_path) == {
        "ANTHROPIC_API_KEY": None,
        "MODEL_REASONING": "claude-sonnet-4-5",
        "MODEL_ROUTING": {"analysis": "claude-sonnet-4-5"},
        "MAX_TOKENS_ANALYSIS": 8000,
        "CORVANE_HOME": f"PosixPath('{tmp_path / '.corvane'}')",
        "RELAY_URL": None,
        "RELAY_TOKEN": None,
    }


@pytest.mark.parametrize(
    ("env", "name", "expected"),
    [
        ({"ANTHROPIC_API_KEY": "sk-test"}, "ANTHROPIC_API_KEY", "sk-test"),
        ({"BREVANTA_MODEL_REASONING": "claude-opus-4-1"}, "MODEL_REASONING", "claude-opus-4-1"),
        ({"BREVANTA_MODEL_REASONING": "claude-opus-4-1"}, "MODEL_ROUTING", {"analysis": "claude-opus-4-1"}),
        ({"BREVANTA_MODEL_ROUTING": '{"analysis": "m1"}'}, "MODEL_ROUTING", {"analysis": "m1"}),
        ({"BREVANTA_MODEL_ROUTING": '{"d": "m2"}'}, "MODEL_ROUTING", {"analysis": "claude-sonnet-4-5", "d": "m2"}),
        ({"BREVANTA_MAX_TOKENS_ANALYSIS": "1234"}, "MAX_TOKENS_ANALYSIS", 1234),
        ({"BREVANTA_RELAY_URL": "http://127.0.0.1:9"}, "RELAY_URL", "http://127.0.0.1:9"),
        ({"BREVANTA_RELAY_URL": ""}, "RELAY_URL", None),
        ({"BREVANTA_RELAY_TOKEN": "secret"}, "RELAY_TOKEN", "secret"),
    ],
)
def test_environment_overrides(tmp_path, env, name, expected):
    assert settings(tmp_path, **env)[name] == expected


@pytest.mark.parametrize(("value", "under_home"), [("", ".corvane"), ("~/elsewhere", "elsewhere"), ("/srv/c", None)])
def test_corvane_home(tmp_path, value, under_home):
    expected = tmp_path / under_home if under_home else Path(value)
    assert settings(tmp_path, CORVANE_HOME=value)["CORVANE_HOME"] == f"PosixPath('{expected}')"


@pytest.mark.parametrize(
    ("variable", "value"),
    [
        ("BREVANTA_MODEL_ROUTING", "not json"),
        ("BREVANTA_MODEL_ROUTING", '["analysis"]'),
        ("BREVANTA_MODEL_ROUTING", '{"analysis": 3}'),
        ("BREVANTA_MAX_TOKENS_ANALYSIS", "lots"),
    ],
)
def test_invalid_value_fails_at_import_naming_the_variable(tmp_path, variable, value):
    result = import_config(tmp_path, **{variable: value})
    last_line = result.stderr.strip().splitlines()[-1]
    assert result.returncode != 0 and last_line.startswith("ValueError:") and variable in last_line
