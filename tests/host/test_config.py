"""brevanta.config reads the environment at import and again at each `load`: each case loads it in
this process from an environment of its own, and the process's own settings are read back afterwards."""

import os
from pathlib import Path
from unittest import mock

import pytest

from brevanta import config

NAMES = ("ANTHROPIC_API_KEY MODEL_REASONING MODEL_ROUTING MAX_TOKENS_ANALYSIS REQUEST_TIMEOUT REQUEST_RETRIES "
         "MAX_INTERVIEW_TOKENS CORVANE_HOME RELAY_URL RELAY_TOKEN MAX_TOKENS_DOCUMENT PARALLEL_DOCUMENTS PROMPT_CACHE "
         "BATCH_POLL")


@pytest.fixture(autouse=True)
def own_settings():
    yield
    config.load()  # the process's own environment again, for the tests that follow


def load(home, **env):
    """The settings from exactly `env`, with `home` as the user's home directory."""
    with mock.patch.dict(os.environ, {"HOME": str(home)}):  # where ~ leads
        config.load({"HOME": str(home), **env})


def settings(home, **env):
    load(home, **env)
    values = {name: getattr(config, name) for name in NAMES.split()}
    return {name: repr(value) if isinstance(value, Path) else value for name, value in values.items()}


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
    load(tmp_path, **{variable: value})  # loading itself never fails
    error = f"{variable}{message}"
    with pytest.raises(config.SettingError) as on_use:
        getattr(config, attribute)
    with pytest.raises(config.SettingError) as on_check:
        config.check()
    assert str(on_use.value) == str(on_check.value) == error
    assert config.MODEL_REASONING == "claude-sonnet-4-5"  # the sound settings are there to use
