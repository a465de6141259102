"""The gap walk in the browser: each decision saved in the session before the page answers, a
critical bypass confirmed first, earlier decisions changed, and a session that another process
holds shown read-only and never changed."""

from __future__ import annotations

import json
import os
import subprocess
import sys
import textwrap
import time

import pytest
from support import tampered
from web_support import EXAMPLES, example_analysis

NAME = "acme_20261201_100000.json"
SESSION = f"/session/live/{NAME}"


def _state(store):
    return json.loads((store.sessions / NAME).read_text(encoding="utf-8"))["state"]


def _gaps():
    return example_analysis()["gaps"]


def _number(level, skip=0):
    """The 1-based number of the (skip+1)th gap of `level` in the example analysis."""
    return [number for number, gap in enumerate(_gaps(), 1) if gap["impact_level"] == level][skip]


@pytest.fixture
def walking(store):
    store.write(NAME, analysis=example_analysis(), open_gaps=len(_gaps()), interview_text="We want a bot.")
    return store


def _post(browser, access, path, **fields):
    return browser.post(path, data={"csrf_token": access.csrf_token, **fields})


def test_each_decision_is_saved_and_can_be_changed(browser, access, walking):
    critical, significant = _number("critical"), _number("significant")
    gap = _gaps()[critical - 1]
    three_lines = "Availability syncs every 15 minutes.\nBed holds last 4 hours.\nA manager confirms each hold."

    answered = _post(browser, access, f"{SESSION}/gap/{critical}", gap_id=gap["id"], choice="answer",
                     answer=three_lines.replace("\n", "\r\n"))
    assert answered.status_code == 303
    [answer] = _state(walking)["interview_answers"]
    assert answer["answer"] == three_lines and answer["gap_id"] == gap["id"]  # one answer, every line of it

    second = _number("critical", 1)
    second_id = _gaps()[second - 1]["id"]
    asked = _post(browser, access, f"{SESSION}/gap/{second}", gap_id=second_id, choice="bypass")
    assert asked.status_code == 200 and "Bypass a critical gap?" in asked.text
    # The gap is named as the report names it (its tag and its impact), and asked about as the terminal asks.
    report = browser.get(SESSION).text
    card = report.split(f'id="gap-{second}"', 1)[1].split('<p class="impact">', 1)[1].split("</p>", 1)[0]
    assert "CRITICAL" in card and card in asked.text and '<span class="tag tag-high">HIGH</span>' in asked.text
    assert "This gap is critical: bypass it anyway?" in asked.text
    assert _state(walking)["bypassed_gaps"] == []  # nothing bypassed before the confirmation
    _post(browser, access, f"{SESSION}/gap/{second}", gap_id=second_id, choice="bypass", confirmed="yes")
    assert [gap["id"] for gap in _state(walking)["bypassed_gaps"]] == [second_id]

    _post(browser, access, f"{SESSION}/gap/{significant}", gap_id=_gaps()[significant - 1]["id"], choice="leave")
    assert [gap["id"] for gap in _state(walking)["left_open"]] == [_gaps()[significant - 1]["id"]]

    page = browser.get(SESSION).text
    assert page.count('class="decision decision-answered"') == 1 and "left open" in page
    assert "Availability syncs every 15 minutes.\nBed holds last 4 hours." in page

    # Change the answer, then turn the bypass into an answer: the list holds answers first, then bypasses.
    _post(browser, access, f"{SESSION}/decision/0", title=gap["title"], action="answer", answer="Synced hourly.")
    assert _state(walking)["interview_answers"][0]["answer"] == "Synced hourly."
    _post(browser, access, f"{SESSION}/decision/1", title=_gaps()[second - 1]["title"], action="answer",
          answer="Consent is collected on the first message.")
    state = _state(walking)
    assert state["bypassed_gaps"] == [] and len(state["interview_answers"]) == 2

    stale = _post(browser, access, f"{SESSION}/gap/{critical}", gap_id="gap_999", choice="leave")
    assert stale.status_code == 409 and "changed since this page was shown" in stale.text


def test_an_empty_answer_is_refused_and_nothing_is_saved(browser, access, walking):
    before = (walking.sessions / NAME).read_bytes()
    response = _post(browser, access, f"{SESSION}/gap/1", gap_id=_gaps()[0]["id"], choice="answer", answer=" \r\n ")
    assert response.status_code == 409 and "An empty answer tells the model nothing" in response.text
    assert (walking.sessions / NAME).read_bytes() == before


HOLD = textwrap.dedent("""
    import sys
    from brevanta.pipeline.lock import SessionLock
    with SessionLock.acquire(sys.argv[1]):
        print("held", flush=True)
        sys.stdin.read()
""")


def test_a_session_held_by_another_process_is_read_only_and_never_changed(browser, access, walking):
    path = walking.sessions / NAME
    before = path.read_bytes()
    holder = subprocess.Popen([sys.executable, "-c", HOLD, str(path)], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                              text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        page = browser.get(SESSION).text
        assert f"in use by process {holder.pid}" in page and "shown read-only" in page
        assert 'name="choice"' not in page and "Write the PRD" not in page
        # Said at the top, where the ways forward would be, before the report and its gaps.
        assert page.index('id="read-only"') < page.index('class="report"') < page.index('class="gap"')
        assert f"in use by process {holder.pid}" in browser.get("/").text
        for path_and_fields in [(f"{SESSION}/gap/1", {"gap_id": _gaps()[0]["id"], "choice": "leave"}),
                                (f"{SESSION}/forward", {"action": "continue"}),
                                (f"{SESSION}/discard", {"confirmed": "yes"})]:
            refused = _post(browser, access, path_and_fields[0], **path_and_fields[1])
            assert refused.status_code == 409 and f"in use by process {holder.pid}" in refused.text
        assert path.read_bytes() == before
    finally:
        holder.communicate("", timeout=30)
    assert 'name="choice"' in browser.get(SESSION).text  # free again once the holder ends


def test_an_archived_session_is_restored_and_a_complete_one_reopened(browser, access, store):
    store.write(NAME, archived=True, analysis=example_analysis())
    page = browser.get(f"/session/archive/{NAME}").text
    assert "archived: restore it" in page and 'name="choice"' not in page
    restored = _post(browser, access, f"/session/archive/{NAME}/restore")
    assert restored.headers["location"] == access.prefix + SESSION
    assert (store.sessions / NAME).is_file() and not (store.archive / NAME).exists()
    refused = _post(browser, access, f"/session/archive/{NAME}/restore")
    assert refused.status_code == 404

    store.write(NAME, phase="complete", analysis=example_analysis())
    assert "complete: reopen it" in browser.get(SESSION).text
    _post(browser, access, f"{SESSION}/reopen")
    assert json.loads((store.sessions / NAME).read_text(encoding="utf-8"))["phase"] == "analysis"
    assert 'name="choice"' in browser.get(SESSION).text

    # An unfinished session is discarded: asked first, then archived, restorable from there.
    asked = _post(browser, access, f"{SESSION}/discard")
    assert asked.status_code == 200 and "Discard this session?" in asked.text and (store.sessions / NAME).is_file()
    discarded = _post(browser, access, f"{SESSION}/discard", confirmed="yes")
    assert discarded.status_code == 303 and discarded.headers["location"] == access.prefix + "/"
    assert (store.archive / NAME).is_file() and not (store.sessions / NAME).exists()
    assert _post(browser, access, f"/session/archive/{NAME}/discard", confirmed="yes").status_code == 409


def test_cancelling_the_documents_keeps_every_decision(browser, access, store, direct_sdk_env, monkeypatch, tmp_path):
    from brevanta import config

    monkeypatch.setattr(config, "ANTHROPIC_API_KEY", "test-key")
    analysis = example_analysis()
    answers = [{"question": "q", "answer": "Three\nlines\nhere", "gap_id": analysis["gaps"][0]["id"], "round": 1}]
    store.write(NAME, analysis=analysis, interview_text="We want a bot.", interview_answers=answers,
                bypassed_gaps=analysis["gaps"][1:], output_dir=str(tmp_path / "out"))
    for kind in ("prd", "trd"):  # long enough to be cancelled half-way
        direct_sdk_env.reply_text((EXAMPLES / "replay" / f"{kind}.md").read_text(encoding="utf-8"), chunks=200,
                                  every=0.1)
    task = _post(browser, access, f"{SESSION}/forward", action="write").headers["location"]
    deadline = time.monotonic() + 60
    while '"characters": 0' in browser.get(task).text or "writing" not in browser.get(task).text:
        assert time.monotonic() < deadline, "the documents never started"
        time.sleep(0.1)

    assert _post(browser, access, f"{task}/cancel").status_code == 303
    events = browser.get(f"{task}/events").text
    assert '"state": "cancelled"' in events and "every decision made until now is saved" in events
    over = json.loads(events.split("event: over\ndata: ", 1)[1].split("\n", 1)[0])
    assert {doc["state"] for doc in over["documents"].values()} == {"cancelled: not written"}
    time.sleep(0.5)  # the requests' last events, arriving after the Cancel, change nothing
    assert "writing" not in browser.get(task).text
    deadline = time.monotonic() + 60
    while "in use by another task of this process" in browser.get(SESSION).text:  # the requests notice and end
        assert time.monotonic() < deadline, "the cancelled task never let the session go"
        time.sleep(0.1)
    state = _state(store)
    assert state["interview_answers"] == answers
    assert [gap["id"] for gap in state["bypassed_gaps"]] == [gap["id"] for gap in analysis["gaps"][1:]]
    assert state["documents_written"] == [] and not (tmp_path / "out" / "PRD.md").exists()
    assert "Write the PRD and TRD" in browser.get(SESSION).text  # ready to be written again


def _snapshot(*folders):
    seen = {}
    for folder in folders:
        for path in sorted(folder.rglob("*")):
            seen[str(path)] = (os.readlink(path) if path.is_symlink()
                               else path.read_bytes() if path.is_file() else path.is_dir())
    return seen


@pytest.mark.parametrize("case", tampered.NAMED_IN_ARCHIVE)
def test_restore_takes_only_a_regular_file_of_the_archive(browser, access, store, tmp_path, case):
    """The command's table: what the archive may hold in a session's place is refused, and nothing
    inside or outside the store changes."""
    archived = store.write(NAME, archived=True, analysis=example_analysis())
    outside = tmp_path / "outside"
    outside.mkdir()
    (outside / "victim.json").write_text('{"org_id": "x", "phase": "analysis", "state": {}}', encoding="utf-8")
    name = tampered.plant(case, store.archive, outside, archived)
    before = _snapshot(store.sessions, outside)

    response = _post(browser, access, f"/session/archive/{name}/restore")

    assert response.status_code == 404, response.text
    assert _snapshot(store.sessions, outside) == before


@pytest.mark.parametrize("kind", ["fifo", "link", "directory"])
def test_a_lock_file_that_is_not_a_file_is_shown_and_refused_never_a_hang(browser, access, walking, kind):
    lock = walking.sessions / f"{NAME}.lock"
    {"fifo": os.mkfifo, "link": lambda at: at.symlink_to("/etc/passwd"), "directory": os.mkdir}[kind](lock)
    before = (walking.sessions / NAME).read_bytes()
    refusal = f"its lock file {lock} is not a regular file; remove it and try again"
    assert "in use by an unknown process" in browser.get("/").text
    page = browser.get(SESSION).text
    assert refusal in page and "shown read-only" in page and 'name="choice"' not in page
    refused = _post(browser, access, f"{SESSION}/forward", action="continue")
    assert refused.status_code == 409 and refusal in refused.text
    assert (walking.sessions / NAME).read_bytes() == before and os.path.lexists(lock)


def _pdf():
    from support.source_files import pdf_bytes

    return pdf_bytes([["Beds are held for four hours."], ["Holds lapse at 9 pm."]], ascii_only=True)


def _docx():
    from support.source_files import docx_bytes

    return docx_bytes([("h1", "Hold policy"), ("p", "Beds are held for four hours.")])


@pytest.mark.parametrize("fields, upload, name, kind, listed", [
    ({}, ("holds.pdf", _pdf), "holds.pdf", "pdf", "holds.pdf</span> <span class=\"dim\">(PDF, "),
    ({}, ("C:\\docs\\policy.docx", _docx), "policy.docx", "word", "policy.docx</span> <span class=\"dim\">(Word, "),
    ({}, ("call.srt", lambda: b"1\n00:00:01,000 --> 00:00:03,000\nMeera Iyer: Beds are held for four hours.\n"),
     "call.srt", "transcript", "call.srt</span> <span class=\"dim\">(transcript, 74 bytes, round 1)"),
    ({"document": "Beds are held for four hours.", "name": "notes.md"}, None, "notes.md", "markdown",
     "notes.md</span> <span class=\"dim\">(Markdown, 29 bytes, round 1)"),
])
def test_an_attached_document_is_read_by_its_kind_kept_and_listed(browser, access, walking, direct_sdk_env,
                                                                   monkeypatch, fields, upload, name, kind, listed):
    from brevanta import config

    monkeypatch.setattr(config, "ANTHROPIC_API_KEY", "test-key")
    direct_sdk_env.reply_text((EXAMPLES / "replay" / "analysis.md").read_text(encoding="utf-8"))
    files = None if upload is None else {"document_file": (upload[0], upload[1](), "application/octet-stream")}
    response = browser.post(f"{SESSION}/attach", data={"csrf_token": access.csrf_token, **fields}, files=files)
    assert response.status_code == 303
    browser.get(response.headers["location"] + "/events")  # streams until the analysis is over
    [attached] = _state(walking)["attachments"]
    assert (attached["name"], attached["kind"], attached["round"]) == (name, kind, 1)
    assert "Beds are held for four hours." in attached["text"] and attached["size"] > 0
    assert listed in browser.get(SESSION).text


def test_a_document_that_cannot_be_read_is_refused_and_nothing_is_saved(browser, access, walking):
    before = _state(walking)
    encrypted = b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes(504) + "EncryptedPackage".encode("utf-16-le")
    response = browser.post(f"{SESSION}/attach", data={"csrf_token": access.csrf_token},
                            files={"document_file": ("terms.docx", encrypted, "application/octet-stream")})
    assert response.status_code == 409
    assert "terms.docx is a password-protected (encrypted) Office file, so its text cannot be read." in response.text
    assert _state(walking) == before


@pytest.mark.parametrize("fields, files, status, problem", [
    ({"document": "word " * 5000, "name": "big.md"}, None, 400, "The interview with this document is too large"),
    ({"document": "Notes.", "name": "notes.md"}, {"document_file": ("other.md", b"Other.", "text/markdown")}, 409,
     "The document was given twice: pasted in the box and as the file other.md."),
])
def test_an_attachment_the_pipeline_refuses_changes_nothing(browser, access, walking, monkeypatch, fields, files,
                                                              status, problem):
    from brevanta import config

    monkeypatch.setattr(config, "MAX_INTERVIEW_TOKENS", 5000)
    before = (walking.sessions / NAME).read_bytes()
    refused = browser.post(f"{SESSION}/attach", data={**fields, "csrf_token": access.csrf_token}, files=files)
    assert refused.status_code == status and problem in refused.text
    assert (walking.sessions / NAME).read_bytes() == before
