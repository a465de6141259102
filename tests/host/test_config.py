"""brevanta.config reads the environment at import, so each case imports it in a fresh interpreter."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

SRC = Path(__file__).resolve().parents[2] / "src"
NAMES = ("ANTHROPIC_API_KEY MODEL_REASONING MODEL_ROUTING MAX_TOKENS_ANALYSIS REQUEST_TIMEOUT REQUEST_RETRIES "
         "MAX_INTERVIEW_TOKENS CORVANE_HOME RELAY_URL RELAY_TOKEN MAX_TOKENS_DOCUMENT PARALLEL_DOCUMENTS PROMPT_CACHE "
         "BATCH_POLL")
DUMP = (
    "import json; from brevanta import config as c; "
    f"print(json.dumps({{n: getattr(c, n) for n in {NAMES.split()}}}, default=repr))"
)


def import_config(home, code=DUMP, **env):
    env = {"PATH": os.environ.get("PATH", ""), "HOME": str(home), "PYTHONPATH": str(SRC), **env}
    return subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True, timeout=60)


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
        "REQUEST_TIMEOUT": 120.0,
        "REQUEST_RETRIES": 2,
        "MAX_INTERVIEW_TOKENS": 150000,
        "CORVANE_HOME": f"PosixPath('{tmp_path / '.corvane'}')",
        "RELAY_URL": None,
        "RELAY_TOKEN": None,
        "MAX_TOKENS_DOCUMENT": 16000,
        "PARALLEL_DOCUMENTS": True,
        "PROMPT_CACHE": True,
        "BATCH_POLL": 10.0,
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
        ({"BREVANTA_REQUEST_TIMEOUT": "2.5"}, "REQUEST_TIMEOUT", 2.5),
        ({"BREVANTA_REQUEST_RETRIES": "0"}, "REQUEST_RETRIES", 0),
        ({"BREVANTA_BATCH_POLL": "0.5"}, "BATCH_POLL", 0.5),
        ({"BREVANTA_MAX_INTERVIEW_TOKENS": " 900 "}, "MAX_INTERVIEW_TOKENS", 900),
        ({"BREVANTA_RELAY_URL": "http://127.0.0.1:9"}, "RELAY_URL", "http://127.0.0.1:9"),
        ({"BREVANTA_RELAY_URL": ""}, "RELAY_URL", None),
        ({"BREVANTA_RELAY_TOKEN": "secret"}, "RELAY_TOKEN", "secret"),
        ({"BREVANTA_PROMPT_CACHE": "0"}, "PROMPT_CACHE", False),
        ({"BREVANTA_MAX_TOKENS_DOCUMENT": "32000"}, "MAX_TOKENS_DOCUMENT", 32000),
    ],
)
def test_environment_overrides(tmp_path, env, name, expected):
    assert settings(tmp_path, **env)[name] == expected


@pytest.mark.parametrize(("value", "under_home"), [("", ".corvane"), ("~/elsewhere", "elsewhere"), ("/srv/c", None)])
def test_corvane_home(tmp_path, value, under_home):
    expected = tmp_path / under_home if under_home else Path(value)
    assert settings(tmp_path, CORVANE_HOME=value)["CORVANE_HOME"] == f"PosixPath('{expected}')"


# Reads the broken setting, then asks check(), then reads a sound setting.
PROBE = """\
from brevanta import config
for probe in (lambda: config.{attribute}, config.check, lambda: print(config.MODEL_REASONING)):
    try:
        probe()
    except ValueError as error:
        print(type(error).__name__, error)
"""


@pytest.mark.parametrize(
    ("variable", "attribute", "value", "message"),
    [
        ("BREVANTA_MODEL_ROUTING", "MODEL_ROUTING", "not json",
         " must hold a JSON object, but it is not valid JSON: Expecting value: line 1 column 1 (char 0)"),
        ("BREVANTA_MODEL_ROUTING", "MODEL_ROUTING", '["analysis"]',
         """ must hold a JSON object mapping operation to model id, got '["analysis"]'"""),
        ("BREVANTA_MODEL_ROUTING", "MODEL_ROUTING", '{"analysis": 3}',
         ": the model for 'analysis' must be a non-empty string, got 3"),
        ("BREVANTA_MAX_TOKENS_ANALYSIS", "MAX_TOKENS_ANALYSIS", "lots", " must be a whole number from 1 to 128000, got 'lots'"),
        ("BREVANTA_MAX_TOKENS_ANALYSIS", "MAX_TOKENS_ANALYSIS", "0", " must be a whole number from 1 to 128000, got '0'"),
        ("BREVANTA_REQUEST_TIMEOUT", "REQUEST_TIMEOUT", "nan", " must be a number of seconds above 0 and at most 86400 (a day), got 'nan'"),
        ("BREVANTA_REQUEST_RETRIES", "REQUEST_RETRIES", "-1", " must be a whole number from 0 to 10, got '-1'"),
        ("BREVANTA_PARALLEL_DOCUMENTS", "PARALLEL_DOCUMENTS", "maybe", " must be 1 or 0, got 'maybe'"),
        ("BREVANTA_MODEL_PRICES", "MODEL_PRICES", '{"m": [3]}',
         ": the prices of 'm' must be [input, output] dollars per million tokens, "
         "or [input, output, batch input, batch output], got [3]"),
    ],
)
def test_invalid_value_is_reported_on_use_naming_variable_and_value(tmp_path, variable, attribute, value, message):
    result = import_config(tmp_path, PROBE.format(attribute=attribute), **{variable: value})
    assert result.returncode == 0, result.stderr  # the import itself never fails
    error = f"SettingError {variable}{message}"
    assert result.stdout.splitlines() == [error, error, "claude-sonnet-4-5"]
