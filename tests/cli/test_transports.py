"""The model behind the command: the Anthropic SDK or a relay against a local Messages API server,
for the analysis and the documents, two rounds that carry the answers forward, and the runs where
no analysis can be made."""

import json
import shlex
import sys

from pathlib import Path

import pytest

from brevanta import gapscope
from brevanta.cli import documents

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
    for kind in ("prd", "trd"):
        server.reply_text((REPLAY / f"{kind}.md").read_text(encoding="utf-8"))


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
    assert prompt_of(analysis) == gapscope.ANALYSIS_PROMPT.replace("{interview_data}", example_interview)

    (session,) = brevanta.sessions()
    assert session["phase"] == "complete"
    result = saved_result(session)
    bypass_summary = result.get_bypass_summary()
    assert bypass_summary.count("\n- ") == 7  # all seven gaps
    for kind, request in (("prd", prd), ("trd", trd)):
        assert (request.body["model"], request.body["max_tokens"]) == ("claude-sonnet-4-5", 16000)
        prompt = prompt_of(request)
        assert f"# KNOWN GAPS\n\n{bypass_summary}" in prompt
        assert example_interview.strip() in prompt and result.summary in prompt
        assert prompt == documents.compose(kind, example_interview, result)
        assert (brevanta.cwd / "docs" / f"{kind.upper()}.md").is_file()


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
    assert "Gaps found:" in done.stdout


def answer_first_bypass_second(terminal, answer, leave_open):
    terminal.expect("Your choice [1/2/3]: ")
    terminal.send("2")
    terminal.expect(DECISION)
    terminal.send("a")
    terminal.expect("Your answer: ")
    terminal.send(answer)
    terminal.expect(DECISION)
    terminal.send("b")
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


@pytest.mark.parametrize(
    ("reply", "env", "reason"),
    [
        pytest.param(None, {}, "No ANTHROPIC_API_KEY — AI analysis skipped", id="no model access"),
        pytest.param("I could not produce the analysis today.", {}, "JSON parse error: Expecting value", id="prose"),
        pytest.param(500, {"BREVANTA_RELAY_URL": "{url}", "BREVANTA_RELAY_TOKEN": "relay-token"}, "500 stub error 500",
                     id="relay error"),
    ],
)
def test_no_analysis_exits_1_with_the_reason(brevanta, messages_server, tmp_path, reply, env, reason):
    args = ["analyze", "examples/interview.md", "--yes"]
    if isinstance(reply, str):
        (tmp_path / "reply.md").write_text(reply, encoding="utf-8")
        args += ["--replay", str(tmp_path / "reply.md")]
    elif reply is not None:
        messages_server.reply_error(reply)
    env = {name: value.format(url=messages_server.base_url) for name, value in env.items()}
    done = brevanta.run(*args, **env)
    assert done.returncode == 1
    assert f"brevanta: no analysis: {reason}" in done.stderr
    assert "Gaps found:" not in done.stdout
    assert brevanta.session_files() == []
    if reply is None:
        assert "Set ANTHROPIC_API_KEY, set BREVANTA_RELAY_URL, or pass --replay DIR." in done.stderr
