"""The model behind the command: the Anthropic SDK or a relay against a local Messages API server,
for the analysis and the documents, two rounds that carry the answers forward, and the runs where
no analysis can be made."""

import json
import re
import shlex
import socket
import sys

from pathlib import Path

import pytest

from brevanta import gapscope
from brevanta.pipeline.replay_citations import MARK
from brevanta.pipeline import documents

REPLAY = Path(__file__).resolve().parents[2] / "examples" / "replay"
DECISION = "[a]nswer, [b]ypass, or [l]eave open for later? "
ROUND_NOTE = ("\n\nThis is analysis round 2. The user has already answered follow-up questions. "
              "Focus on NEW gaps not yet addressed. Don't repeat.\n")


def direct_env(server):
    return {"ANTHROPIC_BASE_URL": server.base_url, "ANTHROPIC_API_KEY": "test-key"}


def prompt_of(request):
    (message,) = request.body["messages"]
    assert message["role"] == "user"
    return message["content"]


def queue_documents(server):
    """The saved replies as a service answers that carries no citations."""
    for kind in ("prd", "trd"):
        server.reply_text(MARK.sub("", (REPLAY / f"{kind}.md").read_text(encoding="utf-8")))


def saved_result(session):
    """The analysis kept in a session, with the gaps the user bypassed."""
    result = gapscope.AnalysisResult(**session["state"]["analysis"]["result"])
    result.bypassed_gaps.extend(session["state"]["bypassed_gaps"])
    return result


def test_direct_transport_through_the_sdk(brevanta, messages_server, example_reply, example_interview):
    messages_server.reply_text(example_reply)
    queue_documents(messages_server)
    done = brevanta.run("analyze", "examples/interview.md", "--yes", "--verbose", "--out", "docs",
                        **direct_env(messages_server))
    assert done.returncode == 0, done.stderr
    assert "› Analysing examples/interview.md, round 1 (Anthropic API)." in done.stdout
    assert "› Writing the PRD (Anthropic API)." in done.stdout
    assert "INFO corvane.analyzer: JSON repaired successfully (trailing comma fix)" in done.stderr
    analysis, prd, trd = messages_server.requests
    # The SDK sends the key in one of two headers, depending on its version.
    assert "test-key" in (analysis.headers.get("x-api-key"), analysis.headers.get("authorization", "")[7:])
    assert (analysis.body["model"], analysis.body["max_tokens"]) == ("claude-sonnet-4-5", 8000)
    assert "stream" not in analysis.body  # only the documents are long enough to stream
    assert prompt_of(analysis) == gapscope.ANALYSIS_PROMPT.replace("{interview_data}", example_interview)

    (session,) = brevanta.sessions()
    assert session["phase"] == "complete"
    result = saved_result(session)
    bypass_summary = result.get_bypass_summary()
    assert bypass_summary.count("\n- ") == 7  # all seven gaps
    for kind, request in (("prd", prd), ("trd", trd)):
        assert (request.body["model"], request.body["max_tokens"], request.body["stream"]) == (
            "claude-sonnet-4-5", 16000, True)
        interview, shared, instructions = prompt_of(request)
        assert interview == {"type": "document", "title": "Interview", "citations": {"enabled": True},
                             "source": {"type": "text", "media_type": "text/plain", "data": example_interview}}
        assert shared["cache_control"] == {"type": "ephemeral"} and "cache_control" not in instructions
        assert f"# KNOWN GAPS\n\n{bypass_summary}" in shared["text"] and result.summary in shared["text"]
        assert [interview, shared, instructions] == documents.compose(kind, example_interview, result)
        # A reply without citations is written all the same, every requirement listed as without a source.
        assert (f"! The {kind.upper()} reply carried no citations (an older model, or a relay that strips them): "
                f'every requirement is listed under "Requirements without a source".') in done.stdout
        document = (brevanta.cwd / "docs" / f"{kind.upper()}.md").read_text(encoding="utf-8")
        unsourced = document.split("## Requirements without a source\n\n", 1)[1].split("\n## ")[0]
        listed = re.findall(r"^- \*\*((?:FR|TR)-\d+)\*\*", unsourced, re.MULTILINE)
        assert listed == [f"{'FR' if kind == 'prd' else 'TR'}-{n}" for n in range(1, 10 if kind == "prd" else 24)]
        assert document.endswith("## Sources\n\nNone: the model's reply carried no citations.\n")
    assert prompt_of(prd)[:2] == prompt_of(trd)[:2]  # the shared prefix, byte for byte


def test_relay_transport_wins_over_the_api_key(brevanta, messages_server, example_reply):
    messages_server.reply_text(example_reply, input_tokens=2412, output_tokens=2907)
    queue_documents(messages_server)
    done = brevanta.run("analyze", "examples/interview.md", "--yes", BREVANTA_RELAY_URL=messages_server.base_url,
                        BREVANTA_RELAY_TOKEN="relay-token", ANTHROPIC_API_KEY="unused-key")
    assert done.returncode == 0, done.stderr
    assert f"(relay {messages_server.base_url})." in done.stdout
    assert "  Tokens: 2412 in, 2907 out\n" in done.stdout
    operations = [request.headers["x-brevanta-operation"] for request in messages_server.requests]
    assert operations == ["analysis", "prd", "trd"]
    assert [request.body.get("stream", False) for request in messages_server.requests] == [False, True, True]
    assert "Gaps found:" in done.stdout


def answer_first_bypass_second(terminal, answer, leave_open):
    terminal.expect("Your choice [1/2/3]: ")
    terminal.send("2")
    terminal.expect(DECISION)
    terminal.send("a")
    terminal.expect("an empty line ends it):")
    terminal.send(answer + "\n")  # the empty line ends the answer
    terminal.expect(DECISION)
    terminal.send("b")
    terminal.expect("This gap is critical: bypass it anyway? [y/N] ")
    terminal.send("y")
    for _ in range(leave_open):
        terminal.expect(DECISION)
        terminal.send("l")
    assert terminal.wait() == 0, terminal.screen


def test_two_rounds_carry_the_answers(brevanta, messages_server, example_reply, example_interview):
    first = json.loads(gapscope._extract_json(example_reply))
    second = {"completeness_score": 0.7, "summary": "Clearer now.",
              "gaps": [first["gaps"][1], {"id": "gap_8", "title": "Peak-season staffing", "impact_level": "minor"}]}
    messages_server.reply_text(example_reply)
    messages_server.reply_text(f"Round two:\n```json\n{json.dumps(second, indent=2)}\n```\n")
    queue_documents(messages_server)
    env = direct_env(messages_server)
    answer = "The Django service is updated by property managers within an hour; beds can be held for 4 hours."

    terminal = brevanta.terminal("analyze", "examples/interview.md", "--org", "tarang", **env)
    answer_first_bypass_second(terminal, answer, leave_open=5)
    screen = terminal.screen
    assert "› 1 new answer for round 2." in screen and "› 5 gaps still open." in screen
    command = shlex.split(screen.split("Run the next round with:\n", 1)[1].split("\n", 1)[0])
    assert command == [sys.executable, "-m", "brevanta", "analyze", "examples/interview.md", "--org", "tarang",
                       "--round", "2"]

    done = brevanta.run(*command[3:], **env)  # not a terminal: resumes, then bypasses without asking
    assert done.returncode == 0, done.stderr
    assert "(round 2, 1 answer, 1 bypassed, 5 open gaps)? [Y/n] yes (not asking)" in done.stdout
    assert "› Bypassing 1 open gap without asking (standard input is not a terminal)." in done.stdout
    round_one, round_two = map(prompt_of, messages_server.requests[:2])
    assert round_one == gapscope.ANALYSIS_PROMPT.replace("{interview_data}", example_interview)
    follow_up = f"## Follow-up answers (round 1)\n\nQ: {first['gaps'][0]['question']}\nA: {answer}\n"
    filled = gapscope.ANALYSIS_PROMPT.replace("{interview_data}", example_interview.rstrip() + "\n\n" + follow_up)
    assert round_two == filled + ROUND_NOTE

    (session,) = brevanta.sessions()
    assert session["phase"] == "complete"
    state = session["state"]
    assert state["round"] == 2 and state["analysis_summary"] == "Clearer now."
    assert state["interview_answers"] == [
        {"question": first["gaps"][0]["question"], "answer": answer, "gap_id": "gap_1", "round": 1}]
    # The gap bypassed in round 1 is not asked about again when the model repeats it.
    assert [gap["id"] for gap in state["bypassed_gaps"]] == ["gap_2", "gap_8"]
    # Both bypasses reach the documents' known gaps, the one of round 2 added by the command.
    prd = (brevanta.cwd / "tarang" / "PRD.md").read_text(encoding="utf-8")
    known_gaps = prd.split("## Known gaps and assumptions", 1)[1].split("\n## ", 1)[0]
    assert "Hand-off to the sales team" in known_gaps and "\n- **Peak-season staffing**" in known_gaps


def replay(text):
    def setup(server, tmp_path):
        (tmp_path / "reply.md").write_text(text, encoding="utf-8")
        return ["--replay", str(tmp_path / "reply.md")], {}
    return setup


def direct(queue):
    def setup(server, tmp_path):
        queue(server)
        return [], direct_env(server)
    return setup


def relay(queue):
    def setup(server, tmp_path):
        queue(server)
        return [], {"BREVANTA_RELAY_URL": server.base_url, "BREVANTA_RELAY_TOKEN": "relay-token"}
    return setup


def nothing_listening(server, tmp_path):
    with socket.socket() as probe:  # a port that was free a moment ago
        probe.bind(("127.0.0.1", 0))
        port = probe.getsockname()[1]
    return [], {"ANTHROPIC_BASE_URL": f"http://127.0.0.1:{port}", "ANTHROPIC_API_KEY": "test-key",
                "BREVANTA_REQUEST_RETRIES": "0"}


CUT_OFF = '{"completeness_score": 0.4, "gaps": [{"id": "gap_1", "title": "Bed availab'


@pytest.mark.parametrize(
    ("setup", "reason"),
    [
        pytest.param(lambda server, tmp_path: ([], {}), "No ANTHROPIC_API_KEY — AI analysis skipped",
                     id="no model access"),
        pytest.param(replay("I could not produce the analysis today."),
                     "the reply is not valid analysis JSON (Expecting value: line 1 column 1 (char 0))", id="prose"),
        pytest.param(replay('{"completeness_score": "high"}'),
                     "the reply is not valid analysis JSON (must be real number, not str)", id="wrong type"),
        pytest.param(direct(lambda server: server.reply_text(CUT_OFF, stop_reason="max_tokens")),
                     "the reply was cut off at the limit of 8,000 tokens; raise BREVANTA_MAX_TOKENS_ANALYSIS and "
                     "run again", id="cut off"),
        pytest.param(direct(lambda server: server.reply_error(401)),
                     "the Anthropic API refused the key (HTTP 401); check ANTHROPIC_API_KEY", id="key refused"),
        pytest.param(relay(lambda server: server.reply_error(401)),
                     "the relay refused the token (HTTP 401); check BREVANTA_RELAY_TOKEN", id="token refused"),
        pytest.param(relay(lambda server: server.reply_error(500)), "the relay answered HTTP 500: stub error 500",
                     id="relay error"),
        pytest.param(nothing_listening, "the model is unreachable: cannot connect to 127.0.0.1 (", id="unreachable"),
        pytest.param(direct(lambda server: server.reply_raw('{"id": "msg_1", "content": [{"type": "text", "text": "{')),
                     "the model's reply could not be read: the Anthropic API sent a malformed reply; try again later",
                     id="malformed body"),
    ],
)
def test_no_analysis_exits_1_with_one_reason(brevanta, messages_server, tmp_path, setup, reason):
    args, env = setup(messages_server, tmp_path)
    done = brevanta.run("analyze", "examples/interview.md", "--yes", *args, **env)
    assert done.returncode == 1
    message, *hint = done.stderr.splitlines()
    assert message.startswith(f"brevanta: no analysis: {reason}")
    assert hint == (["Set ANTHROPIC_API_KEY, set BREVANTA_RELAY_URL, or pass --replay DIR."]
                    if not args and not env else [])
    assert "Gaps found:" not in done.stdout
    assert brevanta.session_files() == []


def test_the_warning_of_a_failed_analysis_shows_with_verbose(brevanta, tmp_path):
    args, _ = replay("I could not produce the analysis today.")(None, tmp_path)
    done = brevanta.run("analyze", "examples/interview.md", "--yes", "--verbose", *args)
    assert done.returncode == 1
    assert done.stderr.splitlines() == [
        "WARNING corvane.analyzer: AI analysis JSON parse failed: Expecting value: line 1 column 1 (char 0)",
        "brevanta: no analysis: the reply is not valid analysis JSON (Expecting value: line 1 column 1 (char 0))",
    ]
