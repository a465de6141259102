"""Text the command did not write (the model's gaps, a relay's error body, names read from disk) reaches
the terminal with its control characters escaped, and a character the terminal cannot encode stops nothing."""

import json
import re
import subprocess
from pathlib import Path

import pytest

from brevanta import gapscope, waymark

TIMEOUT = 60
EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
HOSTILE = "T\x1b]52;c;cHduZWQ=\x07\x1b[2J"
SHOWN = "T\\x1b]52;c;cHduZWQ=\\x07\\x1b[2J"
LONE = "\ud800"
# What a terminal would act on: C0 controls but tab and line feed, DEL, C1, lone surrogates.
RAW = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\ud800-\udfff]")


def hostile_replay(tmp_path, example_reply):
    """Saved replies whose first gap has a title that drives the terminal, and whose second has a lone surrogate."""
    analysis = json.loads(gapscope._extract_json(example_reply))
    analysis["gaps"][0].update(title=HOSTILE, question=f"Q{HOSTILE}?")
    analysis["gaps"][1]["title"] = f"S{LONE}"
    replay = tmp_path / "replay"
    replay.mkdir()
    (replay / "analysis.md").write_text(json.dumps(analysis), encoding="utf-8")  # json.dumps escapes the surrogate
    for kind in ("prd", "trd"):
        (replay / f"{kind}.md").write_text((EXAMPLES / "replay" / f"{kind}.md").read_text("utf-8"), "utf-8")
    return replay


def test_gap_titles_are_escaped_and_a_lone_surrogate_stops_nothing(brevanta, tmp_path, example_reply):
    """Under C.UTF-8 standard output escapes undecodable bytes but raises on a lone surrogate."""
    replay = hostile_replay(tmp_path, example_reply)
    env = {name: value for name, value in brevanta.env.items() if name not in ("PYTHONIOENCODING", "LANG")}
    env["LC_ALL"] = "C.UTF-8"
    done = subprocess.run(brevanta.argv("analyze", "examples/interview.md", "--replay", str(replay), "--yes"),
                          env=env, cwd=brevanta.cwd, capture_output=True, timeout=TIMEOUT)
    stdout, stderr = done.stdout.decode("utf-8", "surrogateescape"), done.stderr.decode("utf-8", "surrogateescape")
    assert (done.returncode, stderr) == (0, "")
    assert not RAW.search(stdout)
    assert f"- {SHOWN}: " in stdout  # the bypass summary shown before the documents
    # The documents carry the titles cleaned: controls removed, a lone surrogate replaced.
    assert 'added under "Known gaps and assumptions": T]52;c;cHduZWQ=[2J, S\ufffd' in stdout
    assert "S\\ud800" in stdout


def test_the_gap_walks_question_is_escaped(brevanta, tmp_path, example_reply):
    replay = hostile_replay(tmp_path, example_reply)
    terminal = brevanta.terminal("analyze", "examples/interview.md", "--replay", str(replay))
    terminal.expect("Your choice [1/2/3]: ")
    terminal.send("2")
    shown = terminal.expect("[a]nswer, [b]ypass, or [l]eave open for later? ")
    terminal.kill()
    assert f"Question: Q{SHOWN}?" in shown
    assert not RAW.search(shown.replace("\r", ""))


def error_event(message):
    return (f"event: error\ndata: {json.dumps({'type': 'error', 'error': {'type': 'api_error', 'message': message}})}"
            "\n\n")


@pytest.mark.parametrize("where", ["HTTP error", "error event"])
def test_an_error_body_is_escaped_on_the_brevanta_line(brevanta, messages_server, example_reply, where):
    env = {"ANTHROPIC_API_KEY": "test-key", "ANTHROPIC_BASE_URL": messages_server.base_url}
    if where == "HTTP error":
        messages_server.reply_error(400, {"type": "error", "error": {"type": "invalid_request_error",
                                                                     "message": HOSTILE}})
        reason = f"no analysis: the Anthropic API answered HTTP 400: {SHOWN}"
    else:
        messages_server.reply_text(example_reply)
        start = {"type": "message_start", "message": {
            "id": "msg_1", "type": "message", "role": "assistant", "model": "m", "content": [], "stop_reason": None,
            "stop_sequence": None, "usage": {"input_tokens": 1, "output_tokens": 1}}}
        messages_server.reply_raw(f"event: message_start\ndata: {json.dumps(start)}\n\n" + error_event(HOSTILE),
                                  content_type="text/event-stream")
        reason = f"prd request failed: the Anthropic API broke off the reply: {SHOWN} (api_error)"
    done = brevanta.run("analyze", "examples/interview.md", "--yes", "--verbose", **env)  # the log shows it too
    assert done.returncode == 1
    assert f"\nbrevanta: {reason}" in done.stderr
    assert not RAW.search(done.stderr)


def test_session_names_read_from_disk_are_escaped(brevanta):
    sessions = brevanta.home / "sessions"
    (sessions / "archive").mkdir(parents=True)
    org = "acme"
    saved = {"org_id": org, "phase": f"analysis{HOSTILE}", "saved_at": f"2026-01-01{HOSTILE}",
             "state": {"round": 1}}
    name = f"{waymark._safe_org_id(org)}_{HOSTILE}_20260101_090000.json"
    (sessions / name).write_text(json.dumps(saved), encoding="utf-8")
    (sessions / "archive" / name).write_text(json.dumps(saved), encoding="utf-8")
    done = brevanta.run("sessions", "--org", org)
    assert done.returncode == 0, done.stderr
    assert not RAW.search(done.stdout)
    assert done.stdout.count(SHOWN) == 6  # the saved time, the phase and the path of each


BIDI = "\u202eexe.txt\u200b\u2066"


@pytest.mark.parametrize("where", ["interview path", "session home", "model name"])
def test_paths_settings_and_model_names_are_escaped(brevanta, where):
    env, interview = {}, "examples/interview.md"
    if where == "interview path":
        interview = f"inter{HOSTILE}{BIDI}view.md"
        (brevanta.cwd / interview).write_text((EXAMPLES / "interview.md").read_text("utf-8"), "utf-8")
    elif where == "session home":
        env["CORVANE_HOME"] = str(brevanta.home.parent / f"home{HOSTILE}{BIDI}")
    else:
        env["BREVANTA_MODEL_REASONING"] = f"model{HOSTILE}{BIDI}"
    if where == "session home":
        done = brevanta.run("sessions", **env)
        assert f"No sessions in {brevanta.home.parent}/home{SHOWN}\\u202eexe.txt\\u200b\\u2066/sessions." in done.stdout
    else:
        done = brevanta.run("analyze", interview, "--replay", "examples/replay", "--yes", "--org", "acme", **env)
        shown = f"inter{SHOWN}\\u202eexe.txt\\u200b\\u2066view.md" if where == "interview path" else \
            f"no list price known for model{SHOWN}\\u202eexe.txt\\u200b\\u2066"
        assert shown in done.stdout, done.stdout
    assert done.returncode == 0, done.stderr
    assert not RAW.search(done.stdout + done.stderr) and "\u202e" not in done.stdout
