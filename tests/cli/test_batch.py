"""`brevanta batch` through the real SDK against a local Messages API with the batch endpoints
(support/batch_service.py): a folder of interviews in one batch whose results come shuffled, with failures
retried in a batch of their own; the analysis and document requests byte for byte those of an interactive
run, and the documents the same files; every session exactly once after a kill in the middle of the results
or a send whose answer was lost; batches split past the service's limits; Ctrl-C that stops the following,
never the batch, and canceling it; no batch without direct access."""

import hashlib
import json
import signal
from pathlib import Path

import pytest

from brevanta import waymark as brevanta_waymark
from brevanta.pipeline import batches
from brevanta.pipeline.usage import cost_of
from support.batch_service import BatchService, wait_until
from support.messages_service import by_kind, kind_of

REPLAY = Path(__file__).resolve().parents[2] / "examples" / "replay"
REPLIES = {kind: (REPLAY / f"{kind}.md").read_text(encoding="utf-8") for kind in ("analysis", "prd", "trd")}
INTERVIEWS = ("client-a.md", "client-b.md", "nested/client-c.txt", "nested/client-d.markdown")


@pytest.fixture
def service():
    with BatchService(by_kind(REPLIES), tokens_per_second=1e9, first_event_delay=0, polls_until_ended=2) as running:
        yield running


@pytest.fixture
def env(service):
    return {"ANTHROPIC_BASE_URL": service.base_url, "ANTHROPIC_API_KEY": "test-key", "BREVANTA_BATCH_POLL": "0.01"}


@pytest.fixture
def interviews(brevanta, example_interview):
    """A folder of four interviews (two of them in a subfolder), a hidden file and a file of another kind."""
    folder = brevanta.cwd / "interviews"
    for number, name in enumerate(INTERVIEWS):
        (folder / name).parent.mkdir(parents=True, exist_ok=True)
        (folder / name).write_text(example_interview.replace("Tarang", f"Tarang {number}"), encoding="utf-8")
    (folder / ".draft.md").write_text("not an interview", encoding="utf-8")
    (folder / "logo.png").write_bytes(b"\x89PNG")
    return folder


def batch_file(brevanta, batch_id):
    for path in (brevanta.home / "batches").glob("*.json"):
        data = json.loads(path.read_text(encoding="utf-8"))
        if isinstance(data, dict) and data.get("batch_id") == batch_id:
            return data
    raise AssertionError(f"no batch file records {batch_id}")


def filled(brevanta):
    """custom_id -> session file, of every session a batch filled."""
    by_request = {}
    for path in brevanta.session_files():
        origin = json.loads(path.read_text(encoding="utf-8"))["state"].get("batch")
        assert origin["custom_id"] not in by_request, f"two sessions of {origin['custom_id']}"
        by_request[origin["custom_id"]] = str(path)
    return by_request


def test_a_folder_of_interviews_in_one_batch(brevanta, service, env, interviews):
    (interviews / "nested" / "clinic-call.vtt").write_bytes((REPLAY.parent / "clinic-call.vtt").read_bytes())
    service.outcomes.update({"client-b": "errored", "client-c": "expired"})
    garbled = ["Tarang 3"]  # client-d's analysis comes back as no JSON at all
    service.answer = lambda body: ("I cannot help with that." if garbled and garbled[0] in json.dumps(body)
                                   else REPLIES[kind_of(body)])
    done = brevanta.run("batch", "analyze", "interviews", "--org", "acme", "--wait", **env)
    assert done.returncode == 1, done.stderr  # three requests failed
    assert done.stderr.count("\n") == 2 and "AI analysis" not in done.stderr  # the counts, nothing logged
    assert ("client-d.markdown: unreadable: no analysis: the reply is not valid analysis JSON (Expecting value: "
            in done.stdout)
    (sent,) = service.sent()
    asked = [request["custom_id"] for request in sent.requests]
    assert [name.rsplit("_", 2)[0] for name in asked] == ["client-a", "client-b", "client-c", "client-d", "clinic-call"]
    assert [line["custom_id"] for line in sent.results] != asked  # the results came in another order
    assert "errored: invalid_request_error: stand-in refused client-b_" in done.stdout
    assert "client-c.txt: expired: the service did not run this request within 24 hours" in done.stdout
    assert f"Send the failed ones again with: brevanta batch retry {sent.id}" in done.stdout

    sessions = {session["org_id"]: session for session in brevanta.sessions()}
    assert sorted(sessions) == ["acme-client-a", "acme-clinic-call"]
    call = sessions["acme-clinic-call"]["state"]  # read by its reader: where each passage came from is kept
    assert (call["interview_source"]["kind"], call["interview_source"]["name"]) == ("transcript", "clinic-call.vtt")
    assert call["interview_source"]["marks"] and "<v Priya" not in call["interview_text"]
    state = sessions["acme-client-a"]["state"]
    text = (interviews / "client-a.md").read_text(encoding="utf-8")
    assert (sessions["acme-client-a"]["phase"], state["interview_file"], state["interview_text"]) == (
        "analysis", str(interviews / "client-a.md"), text)
    assert state["interview_sha256"] == hashlib.sha256(text.encode()).hexdigest()
    assert state["analysis"]["result"]["completeness_score"] == 0.55
    assert state["batch"] == {"batch": sent.id, "custom_id": asked[0]}
    assert [(record["operation"], record["batch"]) for record in state["usage"]] == [("analysis", True)]
    assert "brevanta analyze interviews/client-a.md --org acme-client-a" in done.stdout

    # A session filled by a batch is walked as any other: its analysis is not paid for again.
    walked = brevanta.run("analyze", "interviews/client-a.md", "--org", "acme-client-a", "--yes", **env)
    assert walked.returncode == 0, walked.stderr
    assert "Round 1 was analysed in an earlier run: using that analysis." in walked.stdout
    assert [logged.kind for logged in service.log] == ["prd", "trd"]

    service.outcomes.clear()
    garbled.clear()
    retried = brevanta.run("batch", "retry", sent.id, "--wait", **env)
    assert retried.returncode == 0, retried.stderr
    first, second = service.sent()
    assert [request["custom_id"] for request in second.requests] == asked[1:4]  # the failed ones, and only them
    assert batch_file(brevanta, first.id)["retried_in"] == second.id
    assert sorted(filled(brevanta)) == sorted(asked)

    # Following again reads nothing again and saves nothing twice.
    calls = len(service.calls)
    again = brevanta.run("batch", "wait", first.id, **env)
    assert (again.returncode, len(service.calls)) == (1, calls)  # its own failures stay listed, from the file
    assert f"› The failed ones were sent again in batch {second.id}." in again.stdout
    assert brevanta.run("batch", "wait", **env).stdout == "› No batch is waiting for its results.\n"
    assert brevanta.run("batch", "analyze", "interviews", "--org", "acme", **env).stdout.endswith(
        "› Nothing to send: every interview is analysed already, or waits in a batch.\n")
    assert sorted(filled(brevanta)) == sorted(asked)


@pytest.mark.parametrize("settings", [{}, {"BREVANTA_MODEL_ROUTING": '{"analysis": "claude-haiku-4-5"}',
                                           "BREVANTA_MAX_TOKENS_ANALYSIS": "1234"}])
def test_documents_by_batch_are_an_interactive_runs(brevanta, service, env, settings):
    analysed = brevanta.run("batch", "analyze", "examples/interview.md", "--org", "acme", "--wait", **env, **settings)
    assert analysed.returncode == 0, analysed.stderr
    # One after the other, as a batch writes them: the TRD's checks see the PRD's citations.
    run = brevanta.run("analyze", "examples/interview.md", "--org", "acme-interview", "--new", "--yes",
                       "--format", "md,html", BREVANTA_PARALLEL_DOCUMENTS="0", **env, **settings)
    assert run.returncode == 0, run.stderr
    written = brevanta.run("batch", "documents", "--yes", "--out", "by-batch", "--format", "md,html", "--wait",
                           **env, **settings)
    assert written.returncode == 0, written.stderr

    analysis, documents = service.sent()
    assert [line["custom_id"][:3] for line in documents.results] == ["trd", "prd"]  # the TRD's result came first
    interactive = {logged.kind: logged.body for logged in service.log}
    assert analysis.requests[0]["params"] == interactive["analysis"]
    for request in documents.requests:
        kind = request["custom_id"][:3]
        assert request["params"] == {key: value for key, value in interactive[kind].items() if key != "stream"}
    for name in ("PRD.md", "TRD.md", "PRD.html", "TRD.html"):
        assert (brevanta.cwd / "by-batch" / "acme-interview" / name).read_bytes() == \
            (brevanta.cwd / "acme-interview" / name).read_bytes(), name

    run_session, batch_session = sorted(brevanta.sessions(), key=lambda session: "batch" in session["state"])
    assert batch_session["phase"] == "complete"
    assert batch_session["state"]["replies"] == run_session["state"]["replies"]  # for brevanta render, as a run's
    assert sorted((record["operation"], record.get("batch")) for record in batch_session["state"]["usage"]) == [
        ("analysis", True), ("prd", True), ("trd", True)]
    for record in batch_session["state"]["usage"]:  # priced at the batch column: half the list price
        assert cost_of(record) > 0 and cost_of(record) == pytest.approx(cost_of({**record, "batch": False}) / 2)


def test_killed_between_reading_the_results_and_saving_the_sessions(brevanta, service, env, interviews):
    assert brevanta.run("batch", "analyze", "interviews", "--org", "acme", **env).returncode == 0
    (sent,) = service.sent()
    service.hold_after = 2  # the reading stops after two results, two sessions saved
    child = brevanta.terminal("batch", "wait", **env)
    wait_until(lambda: len(brevanta.session_files()) == 2, "two sessions saved")
    reading = batch_file(brevanta, sent.id)
    assert reading["collecting"] and not any(request["session"] for request in reading["requests"])
    child.kill()  # SIGKILL: the batch file never learns of the two sessions
    service.release.set()

    done = brevanta.run("batch", "wait", **env)
    assert done.returncode == 0, done.stderr
    by_request = filled(brevanta)
    assert sorted(by_request) == sorted(request["custom_id"] for request in sent.requests)
    recorded = batch_file(brevanta, sent.id)
    assert recorded["collected"] and not recorded["collecting"]
    assert {request["custom_id"]: request["session"] for request in recorded["requests"]} == by_request


@pytest.mark.parametrize("taken", [True, False])
def test_a_batch_whose_answer_was_lost(brevanta, service, env, interviews, taken):
    service.unanswered, service.take_unanswered = 1, taken  # the service's answer never arrives
    sent = brevanta.run("batch", "analyze", "interviews", **env)
    assert sent.returncode == 1
    assert sent.stderr.startswith("brevanta: no answer came to the batch sent to the Anthropic API (")
    assert sent.stderr.endswith("the service may have taken it\n"
                                "brevanta batch list shows whether it did; nothing is sent twice.\n")
    assert brevanta.run("batch", "analyze", "interviews", **env).stdout.count("waits in a batch") == 1

    done = brevanta.run("batch", "wait", **env)
    if taken:  # found among the service's batches, followed and read
        assert done.returncode == 0, done.stderr
        (found,) = service.sent()
        assert sorted(filled(brevanta)) == sorted(request["custom_id"] for request in found.requests)
        return
    assert done.returncode == 1
    assert ("never taken by the service, so forgotten: brevanta batch analyze sends its requests again"
            in done.stdout)
    again = brevanta.run("batch", "analyze", "interviews", "--wait", **env)
    assert again.returncode == 0, again.stderr
    assert len(service.sent()) == 1 and len(filled(brevanta)) == 4


def test_a_session_that_cannot_be_saved_says_what_failed(brevanta, service, env, interviews, monkeypatch):
    assert brevanta.run("batch", "analyze", "interviews", "--org", "acme", **env).returncode == 0

    def disk_full(*args):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(brevanta_waymark, "save_state", disk_full)
    done = brevanta.run("batch", "wait", **env)
    (line,) = [line for line in done.stderr.splitlines() if line.startswith("brevanta: ")]
    assert line.startswith("brevanta: cannot save the session in ") and line.endswith(": the disk is full"), done.stderr
    assert done.returncode == 3 and not brevanta.session_files()


@pytest.mark.parametrize(("limit", "value"), [("MAX_REQUESTS", 3), ("MAX_BYTES", 20_000)])
def test_batches_past_the_limits_are_split(brevanta, service, env, interviews, monkeypatch, limit, value):
    monkeypatch.setattr(batches, limit, value)
    service.max_requests, service.max_bytes = (value, 10**9) if limit == "MAX_REQUESTS" else (10**9, value)
    done = brevanta.run("batch", "analyze", "interviews", "--org", "acme", "--wait", **env)
    assert done.returncode == 0, done.stderr
    parts = service.sent()
    assert [len(part.requests) for part in parts] == ([3, 1] if limit == "MAX_REQUESTS" else [2, 2])
    assert len(filled(brevanta)) == 4


def test_ctrl_c_stops_the_following_not_the_batch_and_cancel_does(brevanta, service, env, interviews):
    service.polls_until_ended = 10**6
    terminal = brevanta.terminal("batch", "analyze", "interviews", "--wait", **env)
    terminal.expect("processing; ")
    terminal.process.send_signal(signal.SIGINT)
    assert terminal.wait() == 130
    (sent,) = service.sent()
    assert (f"Interrupted. Stopped following batch {sent.id}: it goes on at the service. "
            f"Follow it again with: brevanta batch wait {sent.id}") in terminal.screen.replace("\n", " ")
    assert not [call for call in service.calls if call[1].endswith("/cancel")]

    canceled = brevanta.run("batch", "cancel", sent.id, **env)
    assert canceled.stdout == (f"› Batch {sent.id} is canceling: requests already done keep their results. "
                               f"Read them with: brevanta batch wait {sent.id}\n")
    done = brevanta.run("batch", "wait", **env)
    assert done.returncode == 1
    assert done.stdout.count(": canceled: the batch was canceled before this request ran\n") == 4
    listed = brevanta.run("batch", "list", **env).stdout
    assert f"  {sent.id}  analysis, 4 requests, recorded " in listed and listed.endswith(
        ": ended, results read: 4 canceled\n")


@pytest.mark.parametrize("access", [{"BREVANTA_RELAY_URL": "http://127.0.0.1:9", "ANTHROPIC_API_KEY": "key"}, {}])
@pytest.mark.parametrize("action", [["list"], ["analyze", "examples/interview.md"]])
def test_a_batch_needs_direct_access(brevanta, access, action):
    done = brevanta.run("batch", *action, **access)
    assert (done.returncode, done.stdout) == (3, "")
    assert done.stderr == ("brevanta: brevanta batch needs direct access to the Anthropic API (ANTHROPIC_API_KEY): "
                           "the relay in BREVANTA_RELAY_URL has no batches\n")
