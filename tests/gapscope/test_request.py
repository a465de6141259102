"""analyze_requirements end to end: the real anthropic SDK and the project's
RelayGate against the local Messages API stub, plain objects for the odd relay
results, and recording stand-ins only where a call itself is the subject."""

import asyncio
import json
import logging
import types

import pytest

from brevanta import config, gapscope
from brevanta.relaygate import RelayGate
from support.leaks import assert_no_leak, raising

analyze = gapscope.analyze_requirements.__wrapped__  # the coroutine function, without the retry wrapper
TEMPLATE = gapscope.ANALYSIS_PROMPT
NO_KEY = "No ANTHROPIC_API_KEY — AI analysis skipped"
ROUND_NOTE = (
    "\n\nThis is analysis round {}. The user has already answered follow-up questions. "
    "Focus on NEW gaps not yet addressed. Don't repeat.\n"
)
ANSWER = {
    "completeness_score": 0.62,
    "completeness_reasoning": "Pricing for 20 properties in Chennai is known; escalation is not.",
    "sufficient_for_prd": False,
    "gaps": [{"id": "gap_1", "title": "Escalation", "impact_level": "critical", "priority": "critical"}],
    "insights": [{"type": "edge_case", "severity": "important", "title": "Language switching"}],
    "data_points_found": ["20 properties in Chennai", "2200-5000 beds"],
    "architecture_notes": ["Queue bookings per city"],
    "summary": "A lead-qualification voice bot for a co-living operator.",
}
FIELDS = (*ANSWER, "raw_response")


def run(coroutine):
    """Step a coroutine that never suspends and return its result."""
    try:
        coroutine.send(None)
    except StopIteration as done:
        return done.value
    raise AssertionError("the analysis suspended")


def fields(result):
    return {name: getattr(result, name) for name in FIELDS}


def empty(reason):
    return fields(gapscope.AnalysisResult.empty(reason))


def prompt_for(interview_text, note=""):
    return TEMPLATE.replace("{interview_data}", interview_text) + note


@pytest.fixture
def settings(monkeypatch):
    monkeypatch.setattr(config, "ANTHROPIC_API_KEY", "configured-key")
    monkeypatch.setattr(config, "MODEL_ROUTING", {"analysis": "claude-analysis", "prd": "claude-prd"})
    monkeypatch.setattr(config, "MODEL_REASONING", "claude-reasoning")
    monkeypatch.setattr(config, "MAX_TOKENS_ANALYSIS", 1234)
    return config


@pytest.fixture
def logged(caplog):
    caplog.set_level(logging.INFO, logger="corvane.analyzer")
    return lambda: [(level, message) for name, level, message in caplog.record_tuples if name == "corvane.analyzer"]


@pytest.fixture
def gate(messages_server):
    return RelayGate(messages_server.base_url, "relay-token", max_retries=0)


# ------------------------------------------------------------ direct transport, real SDK

def test_direct_fenced_answer(direct_sdk_env, settings, logged):
    reply = "Here is my analysis.\n\n```json\n" + json.dumps(ANSWER, indent=2) + "\n```\n\nLet me know."
    direct_sdk_env.reply_text(reply)
    result = run(analyze("We run 20 co-living properties."))
    assert fields(result) == {**ANSWER, "raw_response": reply}
    (request,) = direct_sdk_env.requests
    assert request.headers["authorization"] == "Bearer configured-key"
    assert request.body == {
        "model": "claude-analysis",
        "max_tokens": 1234,
        "messages": [{"role": "user", "content": prompt_for("We run 20 co-living properties.")}],
    }
    assert logged() == []


def test_direct_prose_with_trailing_commas(direct_sdk_env, settings, logged):
    reply = 'Sure.\n{\n"completeness_score": 0.4,\n"gaps": [{"id": "gap_1", "title": "a, ]",},],\n}\nThat is all.'
    direct_sdk_env.reply_text(reply)
    result = run(analyze("text"))
    assert (result.completeness_score, result.gaps, result.raw_response) == (0.4, [{"id": "gap_1", "title": "a, ]"}], reply)
    assert logged() == [(logging.INFO, "JSON repaired successfully (trailing comma fix)")]


def test_direct_empty_content_takes_every_default(direct_sdk_env, settings, logged):
    direct_sdk_env.reply_content([])
    result = run(analyze("text"))
    assert fields(result) == {
        "completeness_score": 0.5,
        "completeness_reasoning": "",
        "sufficient_for_prd": False,
        "gaps": [],
        "insights": [],
        "data_points_found": [],
        "architecture_notes": [],
        "summary": "",
        "raw_response": "{}",
    }
    assert logged() == []


def test_direct_http_error(direct_sdk_env, settings, logged):
    direct_sdk_env.reply_error(400, {"type": "error", "error": {"type": "invalid_request_error", "message": "bad"}})
    result = run(analyze("text"))
    ((level, message),) = logged()
    assert level == logging.WARNING and message.startswith("AI analysis failed: 400 bad")
    assert fields(result) == empty(message.removeprefix("AI analysis failed: "))


@pytest.mark.parametrize("key", [None, ""])
@pytest.mark.parametrize(
    "client",
    [None, RelayGate("http://127.0.0.1:9", "t", full_hosted=False), types.SimpleNamespace()],
    ids=["no-client", "not-hosted", "no-full_hosted"],
)
def test_without_a_key_the_direct_transport_is_skipped(messages_server, settings, logged, monkeypatch, key, client):
    monkeypatch.setattr(config, "ANTHROPIC_API_KEY", key)
    assert fields(run(analyze("text", 1, client))) == empty(NO_KEY)
    assert messages_server.requests == [] and logged() == []


# ------------------------------------------------------------ relay transport, real RelayGate

def test_relay_needs_no_key_and_logs_usage(gate, messages_server, settings, logged, monkeypatch):
    monkeypatch.setattr(config, "ANTHROPIC_API_KEY", None)
    messages_server.reply_text(json.dumps(ANSWER), input_tokens=17, output_tokens=6)
    result = run(analyze("interview", 1, gate))
    assert fields(result) == {**ANSWER, "raw_response": json.dumps(ANSWER)}
    assert gate.token_log == [{"phase": "requirements_analysis", "input": 17, "output": 6}]
    assert list(gate.token_log[0]) == ["phase", "input", "output"]
    (request,) = messages_server.requests
    assert request.headers["authorization"] == "Bearer relay-token"
    assert request.headers["x-brevanta-operation"] == "analysis"
    assert (request.body["model"], request.body["max_tokens"]) == ("claude-analysis", 1234)
    assert request.body["messages"] == [{"role": "user", "content": prompt_for("interview")}]
    assert logged() == []


def test_relay_error(gate, messages_server, settings, logged):
    messages_server.reply_error(500)
    result = run(analyze("interview", 1, gate))
    ((level, message),) = logged()
    assert level == logging.WARNING and message.startswith("AI analysis failed: 500 stub error 500")
    assert fields(result) == empty(message.removeprefix("AI analysis failed: "))
    assert gate.token_log == []


def test_through_the_public_retry_wrapper(gate, messages_server, settings):
    messages_server.reply_text('{"summary": "via the wrapper"}', input_tokens=3, output_tokens=4)
    result = asyncio.run(gapscope.analyze_requirements("interview", api_client=gate))
    assert result.summary == "via the wrapper" and gate.token_log[0]["input"] == 3


# ------------------------------------------------------------ odd relay results, plain objects

_MISSING = object()


class PlainRelay:
    """A relay client reduced to what the analysis touches."""

    full_hosted = True

    def __init__(self, reply=("{}", 1, 2), token_log=_MISSING):
        self.reply, self.calls = reply, []
        if token_log is not _MISSING:
            self.token_log = token_log

    def _call_ai_proxy(self, *args, **kwargs):
        self.calls.append((args, kwargs))
        return self.reply() if callable(self.reply) else self.reply


def failing(make_error):
    """A relay reply that raises a fresh error each time (a re-raised one keeps growing its traceback)."""

    def reply():
        raise make_error()

    return reply


@pytest.mark.parametrize(
    "reply",
    [("{}", 1, 2), ["{}", 1, 2], lambda: iter(("{}", 1, 2)), lambda: (x for x in ("{}", 1, 2))],
    ids=["tuple", "list", "iterator", "generator"],
)
def test_three_values_in_any_iterable(settings, reply):
    relay = PlainRelay(reply, token_log=[])
    assert run(analyze("t", 1, relay)).raw_response == "{}"
    assert relay.token_log == [{"phase": "requirements_analysis", "input": 1, "output": 2}]


@pytest.mark.parametrize(
    ("reply", "error"),
    [
        (("{}", 1), "need more than 2 values to unpack"),
        (["{}"], "need more than 1 value to unpack"),
        (lambda: iter(()), "need more than 0 values to unpack"),
        (("{}", 1, 2, 3), "too many values to unpack (expected 3)"),
        (lambda: (x for x in ("{}", 1, 2, 3)), "too many values to unpack (expected 3)"),
        (7, "'int' object is not iterable"),
    ],
)
def test_relay_results_that_do_not_unpack(settings, logged, reply, error):
    relay = PlainRelay(reply, token_log=[])
    assert fields(run(analyze("t", 1, relay))) == empty(error)
    assert logged() == [(logging.WARNING, "AI analysis failed: " + error)]
    assert relay.token_log == []


def test_token_log_that_is_not_a_list(settings):
    class UsageLog(list):  # not exactly a list: its own append is called
        def append(self, entry):
            self.seen = entry

    relay = PlainRelay(token_log=UsageLog())
    run(analyze("t", 1, relay))
    assert relay.token_log.seen == {"phase": "requirements_analysis", "input": 1, "output": 2}
    assert list(relay.token_log) == []


def test_relay_without_token_log(settings, logged):
    assert fields(run(analyze("t", 1, PlainRelay()))) == empty("'PlainRelay' object has no attribute 'token_log'")
    assert logged() == [(logging.WARNING, "AI analysis failed: 'PlainRelay' object has no attribute 'token_log'")]


# ------------------------------------------------------------ the text sent to the model

@pytest.mark.parametrize(
    ("loop_number", "note"),
    [(1, ""), (0, ""), (-3, ""), (True, ""), (2, ROUND_NOTE.format(2)), (2.9, ROUND_NOTE.format(2)), (10, ROUND_NOTE.format(10))],
)
def test_prompt_and_round_note(settings, loop_number, note):
    relay = PlainRelay(token_log=[])
    run(analyze("Our bot books beds.", loop_number, relay))
    ((args, kwargs),) = relay.calls
    assert args == () and list(kwargs) == ["messages", "model", "max_tokens", "operation"]
    assert kwargs["messages"] == [{"role": "user", "content": prompt_for("Our bot books beds.", note)}]
    assert (kwargs["model"], kwargs["max_tokens"], kwargs["operation"]) == ("claude-analysis", 1234, "analysis")
    prompt = kwargs["messages"][0]["content"]
    assert prompt.endswith("## Interview Data Collected So Far\n\nOur bot books beds.\n" + note)
    assert ("Our bot books beds.\n\n\nThis is analysis round " in prompt) == bool(note)


def test_braces_are_taken_literally(settings):
    relay = PlainRelay(token_log=[])
    interview = "Say {interview_data} and {name} and {{x}}"
    run(analyze(interview, 1, relay))
    prompt = relay.calls[0][1]["messages"][0]["content"]
    assert prompt == TEMPLATE[: TEMPLATE.index("{interview_data}")] + interview + "\n"
    assert '```json\n{{\n  "completeness_score"' in prompt and "}}\n```" in prompt


@pytest.mark.parametrize("loop_number", ["2", None])
def test_loop_number_must_be_a_number(loop_number):
    with pytest.raises(TypeError, match=r"Argument 'loop_number' has incorrect type \(expected int"):
        analyze("t", loop_number)


def test_model_falls_back_to_the_reasoning_model(settings, monkeypatch):
    monkeypatch.setattr(config, "MODEL_ROUTING", {"prd": "claude-prd"})
    relay = PlainRelay(token_log=[])
    run(analyze("t", 1, relay))
    assert relay.calls[0][1]["model"] == "claude-reasoning"


def test_routing_is_asked_with_the_fallback(settings, monkeypatch):
    class Routing:
        def get(self, *args):
            self.args = args
            return "routed"

    routing = Routing()
    monkeypatch.setattr(config, "MODEL_ROUTING", routing)
    relay = PlainRelay(token_log=[])
    run(analyze("t", 1, relay))
    assert routing.args == ("analysis", "claude-reasoning") and relay.calls[0][1]["model"] == "routed"


# ------------------------------------------------------------ decoding the answer

@pytest.mark.parametrize(
    ("answer", "warning", "reason"),
    [
        ("no json here", "AI analysis JSON parse failed: Expecting value: line 1 column 1 (char 0)",
         "JSON parse error: Expecting value: line 1 column 1 (char 0)"),
        ("[1, 2]", "AI analysis failed: 'list' object has no attribute 'get'", "'list' object has no attribute 'get'"),
        ('{"gaps": "none"}', "AI analysis failed: Argument 'gaps' has incorrect type (expected list, got str)",
         "Argument 'gaps' has incorrect type (expected list, got str)"),
    ],
)
def test_answers_that_do_not_decode(settings, logged, answer, warning, reason):
    assert fields(run(analyze("t", 1, PlainRelay((answer, 1, 2), token_log=[])))) == empty(reason)
    assert logged() == [(logging.WARNING, warning)]


def test_a_decode_error_from_anywhere_in_the_region_is_a_parse_failure(settings, logged):
    error = json.JSONDecodeError("relay choked", "doc", 0)
    assert fields(run(analyze("t", 1, PlainRelay(failing(lambda: error))))) == empty(f"JSON parse error: {error}")
    assert logged() == [(logging.WARNING, f"AI analysis JSON parse failed: {error}")]


def test_members_pass_through_unchecked(settings):
    answer = '{"completeness_score": 7, "gaps": [1, "x"], "extra": true}'
    result = run(analyze("t", 1, PlainRelay((answer, 1, 2), token_log=[])))
    assert (result.completeness_score, result.gaps, result.raw_response) == (7.0, [1, "x"], answer)


# ------------------------------------------------------------ what propagates

class HostedRaises:
    @property
    def full_hosted(self):
        raise RuntimeError("no settings")


@pytest.mark.parametrize(
    ("setup", "error"),
    [
        (lambda mp: mp.delattr(config, "MAX_TOKENS_ANALYSIS"), AttributeError),
        (lambda mp: mp.setattr(config, "MODEL_ROUTING", None), AttributeError),
        (lambda mp: mp.delattr(config, "MODEL_REASONING"), AttributeError),
    ],
    ids=["no-limit", "routing-without-get", "no-reasoning-model"],
)
def test_errors_before_the_request_propagate(settings, logged, monkeypatch, setup, error):
    setup(monkeypatch)
    with pytest.raises(error):
        run(analyze("t", 1, PlainRelay(token_log=[])))
    assert logged() == []


def test_a_failing_full_hosted_lookup_propagates(settings):
    with pytest.raises(RuntimeError, match="no settings"):
        run(analyze("t", 1, HostedRaises()))


def test_errors_outside_the_exception_family_propagate(settings, logged):
    with pytest.raises(KeyboardInterrupt):
        run(analyze("t", 1, PlainRelay(failing(KeyboardInterrupt))))
    assert logged() == []


class FailingLogger:
    def warning(self, message):
        raise OSError("log disk full")


def test_an_error_while_handling_carries_the_handled_one(settings, monkeypatch):
    monkeypatch.setattr(gapscope, "logger", FailingLogger())
    with pytest.raises(OSError, match="log disk full") as caught:
        run(analyze("t", 1, PlainRelay(("{}", 1), token_log=[])))
    assert str(caught.value.__context__) == "need more than 2 values to unpack"


def test_warning_is_one_finished_line(settings, monkeypatch):
    calls = []
    monkeypatch.setattr(gapscope, "logger", types.SimpleNamespace(warning=lambda *a, **k: calls.append((a, k))))
    run(analyze("t", 1, PlainRelay(("[]", 1, 2), token_log=[])))
    assert calls == [(("AI analysis failed: 'list' object has no attribute 'get'",), {})]


# ------------------------------------------------------------ module names are looked up at each call

def test_replaced_module_names_are_used(settings, monkeypatch):
    seen = {}

    class Client:
        def __init__(self, **kwargs):
            seen["client"] = kwargs
            self.messages = self

        def create(self, **kwargs):
            seen["create"] = kwargs
            return types.SimpleNamespace(content=[types.SimpleNamespace(text="raw answer")])

    class Result:
        def __init__(self, **kwargs):
            seen["result"] = kwargs

    def extract(text):
        seen["extract"] = text
        return "extracted"

    def loads(text):
        seen["loads"] = text
        return {"summary": "s"}

    monkeypatch.setattr(gapscope, "anthropic", types.SimpleNamespace(Anthropic=Client))
    monkeypatch.setattr(gapscope, "_extract_json", extract)
    monkeypatch.setattr(gapscope, "json", types.SimpleNamespace(loads=loads, JSONDecodeError=json.JSONDecodeError))
    monkeypatch.setattr(gapscope, "AnalysisResult", Result)
    monkeypatch.setattr(gapscope, "ANALYSIS_PROMPT", "Q: {interview_data}!")
    monkeypatch.setattr(gapscope, "config", types.SimpleNamespace(
        ANTHROPIC_API_KEY="k2", MODEL_ROUTING={}, MODEL_REASONING="m2", MAX_TOKENS_ANALYSIS=5))
    assert isinstance(run(analyze("hi")), Result)
    assert seen["client"] == {"api_key": "k2"}
    assert seen["create"] == {"model": "m2", "max_tokens": 5, "messages": [{"role": "user", "content": "Q: hi!"}]}
    assert list(seen["create"]) == ["model", "max_tokens", "messages"]
    assert (seen["extract"], seen["loads"]) == ("raw answer", "extracted")
    assert list(seen["result"]) == [*ANSWER, "raw_response"]
    assert seen["result"] == {
        "completeness_score": 0.5, "completeness_reasoning": "", "sufficient_for_prd": False, "gaps": [],
        "insights": [], "data_points_found": [], "architecture_notes": [], "summary": "s", "raw_response": "raw answer",
    }


# ------------------------------------------------------------ leaks

MESSAGE = types.SimpleNamespace(content=[types.SimpleNamespace(text=json.dumps(ANSWER))])


class FakeSdk:
    """The SDK's shape without its HTTP client, for the leak check only."""

    class Anthropic:
        def __init__(self, api_key):
            pass

        class messages:
            @staticmethod
            def create(**kwargs):
                return MESSAGE


class QuietRelay(PlainRelay):
    """A PlainRelay that keeps no record of its calls or their usage."""

    def __init__(self, reply):
        super().__init__(reply, token_log=types.SimpleNamespace(append=lambda entry: None))

    def _call_ai_proxy(self, **kwargs):
        try:
            return super()._call_ai_proxy(**kwargs)
        finally:
            self.calls.clear()


@pytest.mark.parametrize(
    "client",
    [
        QuietRelay((json.dumps(ANSWER), 1, 2)),
        None,  # direct
        QuietRelay(("not json", 1, 2)),
        QuietRelay(("{}", 1)),
        QuietRelay(failing(lambda: RuntimeError("relay down"))),
    ],
    ids=["relay", "direct", "decode-error", "unpack-error", "relay-error"],
)
def test_no_leak(settings, monkeypatch, client):
    monkeypatch.setattr(gapscope, "anthropic", FakeSdk)
    monkeypatch.setattr(logging.getLogger("corvane.analyzer"), "disabled", True)
    assert_no_leak(lambda: run(analyze("interview {x}", 2, client)), iterations=300)


def test_no_leak_without_key_and_on_propagated_errors(settings, monkeypatch):
    monkeypatch.setattr(config, "ANTHROPIC_API_KEY", None)
    assert_no_leak(lambda: run(analyze("t")), iterations=300)
    assert_no_leak(raising(RuntimeError, lambda: run(analyze("t", 1, HostedRaises()))), iterations=300)
    assert_no_leak(raising(TypeError, analyze, None), iterations=300)
