"""Forms: the CSRF token on every POST, the upload limit, the interview's own checks, and a new
analysis made off the request path against the local Messages server."""

from __future__ import annotations

import html
import json
import re
import time

import pytest
from support.source_files import interview_files
from web_support import EXAMPLES

# The example interview, and the same call as Word, PDF and WebVTT.
UPLOADS = {"interview.md": (EXAMPLES / "interview.md").read_bytes(),
           **{name: data for name, data in interview_files().items() if name != "call.md"}}

# Every form the application takes, with a body that would otherwise be accepted.
SESSION = "/session/live/acme_20261201_100000.json"
POSTS = [("/new", {"org": "acme", "interview": "We want a bot."}),
         ("/tasks/unknown/cancel", {}),
         (f"{SESSION}/gap/1", {"gap_id": "gap_1", "choice": "leave"}),
         (f"{SESSION}/decision/0", {"title": "t", "action": "reopen"}),
         (f"{SESSION}/forward", {"action": "continue"}),
         (f"{SESSION}/attach", {"document": "More notes.", "name": "notes.md"}),
         (f"{SESSION}/reopen", {}),
         ("/session/archive/acme_20261201_100000.json/restore", {})]


@pytest.mark.parametrize("path, fields", POSTS)
@pytest.mark.parametrize("token", [None, "forged"])
def test_every_form_needs_the_csrf_token(browser, path, fields, token):
    data = dict(fields) if token is None else {**fields, "csrf_token": token}
    response = browser.post(path, data=data)
    assert response.status_code == 403
    assert "reload the page" in response.text


def test_an_upload_past_the_limit_is_refused_with_the_reason_before_it_is_read(browser, access, app):
    limit = app.state.upload_limit
    response = browser.post("/new", content=b"x" * (limit + 1),
                            headers={"content-type": "application/x-www-form-urlencoded"})
    assert response.status_code == 413
    assert "This upload is too large" in response.text and "BREVANTA_MAX_INTERVIEW_TOKENS" in response.text
    assert "Nothing was saved" in response.text


@pytest.mark.parametrize("fields, files, problem", [
    ({"org": "acme", "interview": "  \n"}, None, "The interview is empty"),
    ({"org": "-acme", "interview": "We want a bot."}, None, "must start with a letter or digit"),
    ({"org": "acme"}, {"interview_file": ("notes.md", b"Caf\xe9 bad", "text/markdown")}, "notes.md is not UTF-8"),
    ({"org": "acme", "interview": "word " * 5000}, None, "The interview is too large: about 6,250 tokens"),
    ({"org": "acme"}, {"interview_file": ("C:\\calls\\scan.pdf", b"%PDF-1.7\n" + bytes(200), "application/pdf")},
     "scan.pdf is damaged and cannot be read as a PDF ("),
    ({"org": "acme"}, {"interview_file": ("call.vtt", b"WEBVTT\n\n00:01.000 --> 00:02.000\n\n", "text/vtt")},
     "call.vtt holds no text: its cues are empty."),
    ({"org": "acme", "interview": "We want a bot."}, {"interview_file": ("notes.md", b"Other text.", "text/markdown")},
     "The interview was given twice: pasted in the box and as the file notes.md."),
])
def test_a_new_analysis_refuses_what_the_command_refuses(browser, access, store, monkeypatch, fields, files,
                                                         problem):
    from brevanta import config

    monkeypatch.setattr(config, "MAX_INTERVIEW_TOKENS", 5000)
    response = browser.post("/new", data={**fields, "csrf_token": access.csrf_token}, files=files)
    assert response.status_code == 400
    assert problem in response.text
    assert f'value="{fields["org"]}"' in response.text  # the form keeps what was typed
    assert list(store.sessions.glob("*.json")) == []


@pytest.mark.parametrize("name, kind", [("interview.md", "markdown"), ("call.docx", "word"), ("call.pdf", "pdf"),
                                        ("call.vtt", "transcript")])
def test_a_new_analysis_runs_off_the_request_path_and_shows_its_report(browser, access, store, direct_sdk_env,
                                                                        monkeypatch, name, kind):
    from brevanta import config
    from brevanta.pipeline.readers import read_source

    monkeypatch.setattr(config, "ANTHROPIC_API_KEY", "test-key")
    direct_sdk_env.reply_text((EXAMPLES / "replay" / "analysis.md").read_text(encoding="utf-8"))
    interview = UPLOADS[name]

    response = browser.post("/new", data={"org": "acme", "csrf_token": access.csrf_token},
                            files={"interview_file": (name, interview, "application/octet-stream")})
    assert response.status_code == 303 and response.headers["location"].startswith(f"{access.prefix}/tasks/")
    task_url = response.headers["location"]

    events = browser.get(task_url + "/events").text  # streams until the task is over
    assert "event: over" in events and '"state": "done"' in events
    deadline = time.monotonic() + 30
    while "Continue" in (page := browser.get(task_url).text) and time.monotonic() < deadline:
        if 'data-state="done"' in page:
            break
        time.sleep(0.1)
    [session] = store.sessions.glob("*.json")
    report = browser.get(f"/session/live/{session.name}").text
    assert "0.55 / 1.0" in report and "Real-time bed availability" in report
    assert len(direct_sdk_env.requests) == 1
    # The upload is kept under its own name, read by its kind, with the places of its passages.
    source = read_source(interview, name)
    state = json.loads(session.read_text(encoding="utf-8"))["state"]
    [message] = direct_sdk_env.requests[0].body["messages"]
    content = message["content"]
    sent = content if isinstance(content, str) else "".join(block["text"] for block in content)
    assert state["interview_text"] == source.text and source.text in sent
    assert state["interview_source"] == source.to_state(with_text=False) and source.kind == kind
    assert f"<h1>{name}</h1>" in report and name in browser.get("/").text


def _task_over(browser, task_url):
    assert "event: over" in browser.get(task_url + "/events").text  # streams until the task is over
    return browser.get(task_url).text


def test_a_failed_new_analysis_gives_the_form_back_with_the_interview_and_why(browser, access, store, monkeypatch):
    from brevanta import config

    monkeypatch.setattr(config, "ANTHROPIC_API_KEY", None)  # no way to the model: the analysis fails
    monkeypatch.setattr(config, "RELAY_URL", None)
    pasted = "# Acme support bot\n\nWe want a bot that answers\r\norder questions."
    started = browser.post("/new", data={"org": "", "interview": pasted, "csrf_token": access.csrf_token})
    page = _task_over(browser, started.headers["location"])
    assert 'data-state="failed"' in page and "--replay" not in page  # no command-line advice in the browser
    continue_to = re.search(r'<p data-role="next"[^>]*>\s*<a class="button" href="([^"]+)"', page).group(1)
    assert continue_to.startswith(f"{access.prefix}/new?draft=")

    form = browser.get(html.unescape(continue_to)).text
    assert "We want a bot that answers\norder questions." in form  # the pasted interview, every line of it
    assert "No analysis" in form and "BREVANTA_RELAY_URL" in form  # and why it failed
    assert list(store.sessions.glob("*.json")) == []


def test_a_new_analysis_without_an_organisation_is_named_after_the_interview(browser, access, store, direct_sdk_env,
                                                                           monkeypatch):
    from brevanta import config

    monkeypatch.setattr(config, "ANTHROPIC_API_KEY", "test-key")
    for _ in range(2):
        direct_sdk_env.reply_text((EXAMPLES / "replay" / "analysis.md").read_text(encoding="utf-8"))
    for text in ("# Interview: Tarang Living \u2014 WhatsApp agent\n\nWe want a bot.",
                 "# Interview: Tarang Living \u2014 WhatsApp agent\n\nAnother interview altogether."):
        started = browser.post("/new", data={"interview": text, "csrf_token": access.csrf_token})
        assert 'data-state="done"' in _task_over(browser, started.headers["location"])
    orgs = sorted(json.loads(path.read_text(encoding="utf-8"))["org_id"] for path in store.sessions.glob("*.json"))
    # The second, a different text under the same title, is kept apart by a short hash.
    assert orgs[0] == "tarang-living-whatsapp-agent" and re.fullmatch(r"tarang-living-whatsapp-agent-[0-9a-f]{6}", orgs[1])
    listed = browser.get("/").text
    assert "\u201cInterview: Tarang Living \u2014 WhatsApp agent\u201d" in listed
