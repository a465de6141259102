"""The documents' cost and speed, against a local Messages API that streams at a set rate and keeps a
prompt cache: both requests share their prefix byte for byte, the TRD starts while the PRD streams and
reads the prefix from the cache, every request's usage is kept and printed; a run killed after one
document asks for the other alone on the rerun; Ctrl-C ends both streams; a 429 on the TRD makes it wait
for the PRD."""

import signal
import time
from pathlib import Path

import pytest

from brevanta.pipeline.usage import usage_summary
from support.messages_service import MessagesService, by_kind

REPLAY = Path(__file__).resolve().parents[2] / "examples" / "replay"
REPLIES = {kind: (REPLAY / f"{kind}.md").read_text(encoding="utf-8") for kind in ("analysis", "prd", "trd")}
COUNTS = ("input_tokens", "output_tokens", "cache_creation_input_tokens", "cache_read_input_tokens")
PATIENCE = 30  # seconds: generous, for a loaded machine


@pytest.fixture
def service():
    # About 4 s for the PRD and 2.5 s for the TRD: long enough to overlap, short enough for a test.
    with MessagesService(by_kind(REPLIES), tokens_per_second=400, first_event_delay=0.2) as running:
        yield running


def transport_env(service, transport):
    if transport == "relay":
        return {"BREVANTA_RELAY_URL": service.base_url, "BREVANTA_RELAY_TOKEN": "relay-token"}
    return {"ANTHROPIC_BASE_URL": service.base_url, "ANTHROPIC_API_KEY": "test-key"}


def eventually(condition, what):
    deadline = time.monotonic() + PATIENCE
    while not condition():
        assert time.monotonic() < deadline, what
        time.sleep(0.05)


@pytest.mark.parametrize(("transport", "settings", "wrong"), [
    ("direct", {}, None),
    ("relay", {}, "range"),
    ("direct", {"BREVANTA_PARALLEL_DOCUMENTS": "0"}, None),
    ("direct", {"BREVANTA_MODEL_REASONING": "claude-unlisted"}, "text"),
])
def test_documents_share_a_cached_prefix(brevanta, service, transport, settings, wrong):
    service.wrong = {"prd": wrong} if wrong else {}
    done = brevanta.run("analyze", "examples/interview.md", "--yes", **transport_env(service, transport), **settings)
    assert done.returncode == 0, done.stderr
    # The streamed citations reach the documents; a spoiled one is dropped, and the run says so.
    covered = "11 of 19" if wrong else "12 of 19"  # the first citation, of the opening paragraph, is spoiled
    dropped = "1 citation dropped" if wrong else "0 citations dropped"
    assert (f"› Traceability of the PRD: 6 of 9 requirements cited, {covered} interview statements covered, "
            f"9 figures to verify, {dropped}.") in done.stdout
    assert ("! Dropped 1 citation of the PRD reply" in done.stdout) == bool(wrong)
    (prd,), (trd,) = service.of_kind("prd"), service.of_kind("trd")
    *shared, instructions = prd.body["messages"][0]["content"]
    assert [block["type"] for block in shared] == ["document", "text"]  # the interview, then the analysis
    assert "cache_control" not in shared[0] and shared[-1]["cache_control"] == {"type": "ephemeral"}
    assert trd.body["messages"][0]["content"][:-1] == shared
    assert trd.body["messages"][0]["content"][-1] != instructions
    assert trd.started >= prd.first_event  # the cache entry exists once the PRD's reply has begun
    if settings.get("BREVANTA_PARALLEL_DOCUMENTS") == "0":
        assert trd.started >= prd.ended
    else:
        assert trd.started < prd.ended  # both generate at once
    assert trd.usage["cache_read_input_tokens"] == prd.usage["cache_creation_input_tokens"] > 1000
    assert trd.usage["cache_creation_input_tokens"] == prd.usage["cache_read_input_tokens"] == 0

    (session,) = brevanta.sessions()
    kept = session["state"]["usage"]
    assert {entry["operation"]: {name: entry[name] for name in COUNTS} for entry in kept} == {
        logged.kind: {name: logged.usage[name] for name in COUNTS} for logged in service.log}
    assert len(kept) == 3
    assert done.stdout.endswith(f"Model usage of this run: {usage_summary(kept)}.\n")
    if "BREVANTA_MODEL_REASONING" in settings:
        assert "tokens out (no list price known for claude-unlisted)" in done.stdout
    else:
        assert "at list prices" in done.stdout


def test_a_run_killed_after_one_document_asks_for_the_other_alone(brevanta, service):
    service.rates["trd"] = 10  # the TRD is still streaming when the PRD is written
    env = transport_env(service, "direct")
    first = brevanta.terminal("analyze", "examples/interview.md", "--yes", **env)
    first.expect("Wrote ", timeout=PATIENCE)
    first.expect("PRD.md")
    first.kill()
    service.rates.clear()
    (killed,) = brevanta.sessions()
    listed = brevanta.run("sessions", "examples/interview.md")
    assert f"; {usage_summary(killed['state']['usage'])}\n" in listed.stdout, listed.stdout

    asked_before = len(service.log)
    done = brevanta.run("analyze", "examples/interview.md", "--yes", **env)
    assert done.returncode == 0, done.stderr
    assert [logged.kind for logged in service.log[asked_before:]] == ["trd"]
    assert "› The PRD was written in an earlier run: " in done.stdout
    assert (brevanta.cwd / "interview" / "TRD.md").is_file()
    (session,) = brevanta.sessions()
    assert sorted(entry["operation"] for entry in session["state"]["usage"]) == ["analysis", "prd", "trd"]


def test_ctrl_c_ends_both_streams(brevanta, service):
    service.rates.update(prd=10, trd=10)  # minutes each
    terminal = brevanta.terminal("analyze", "examples/interview.md", "--yes", **transport_env(service, "direct"))
    eventually(lambda: len([logged for logged in service.log if logged.first_event]) == 2, "both streams began")
    terminal.process.send_signal(signal.SIGINT)
    assert terminal.wait() == 130, terminal.screen
    assert "Interrupted." in terminal.screen
    eventually(lambda: all(logged.ended for logged in service.log), "both streams ended")
    assert [logged.completed for logged in service.log] == [True, False, False]
    (session,) = brevanta.sessions()
    assert (session["phase"], session["state"]["documents_written"]) == ("render", [])
    assert not (brevanta.cwd / "interview").exists()


def test_rate_limit_on_the_trd_waits_for_the_prd(brevanta, service):
    service.rate_limited.add(3)  # the analysis, the PRD, then the TRD's first request
    done = brevanta.run("analyze", "examples/interview.md", "--yes", **transport_env(service, "direct"))
    assert done.returncode == 0, done.stderr
    prd, (limited, trd) = service.of_kind("prd")[0], service.of_kind("trd")
    assert limited.status == 429 and limited.started < prd.ended
    assert trd.started >= prd.ended and trd.usage["cache_read_input_tokens"] > 0
    assert {path.name for path in (brevanta.cwd / "interview").iterdir()} == {"PRD.md", "TRD.md"}
