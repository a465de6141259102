"""The pages that read the store: every session of every organisation, a session's report with the
console report's content, its documents with what a reviewer checks first, and their downloads."""

from __future__ import annotations

import os
import re
import time

import pytest
from support import tampered
from web_support import EXAMPLES, example_analysis

HOSTILE = "<script>alert(1)</script><img src=x onerror=alert(2)>"


def _rows(page: str) -> list[str]:
    return re.findall(r"<tr class=\"status-(\w+)\">", page)


def test_the_sessions_page_lists_every_organisation_and_every_kind_of_session(browser, store):
    store.write("acme_20261201_100000.json", saved_at="2026-12-01T10:00:00", round=2, open_gaps=3,
                interview_answers=[{"question": "q", "answer": "a"}], bypassed_gaps=[{"title": "t"}])
    store.write("acme_20261202_100000.json", phase="complete", saved_at="2026-12-02T10:00:00",
                documents_written=["prd", "trd"],
                usage=[{"operation": "prd", "model": "claude-sonnet-4-5", "input_tokens": 100_000,
                        "output_tokens": 10_000, "cache_creation_input_tokens": 0, "cache_read_input_tokens": 0}])
    store.write("acme_20261130_100000.json", archived=True, saved_at="2026-11-30T10:00:00")
    store.write("beta_20261203_100000.json", org_id=f"beta{HOSTILE}", saved_at="2026-12-03T10:00:00")
    # Not sessions: a FIFO (opening it would hang the page), links both ways, a directory, bad JSON.
    os.mkfifo(store.sessions / "fifo_20261201_000000.json")
    os.mkfifo(store.archive / "fifo_20261201_000000.json")
    (store.sessions / "link_20261201_000000.json").symlink_to(store.archive / "acme_20261130_100000.json")
    (store.archive / "link_20261201_000000.json").symlink_to(store.sessions / "acme_20261201_100000.json")
    (store.sessions / "dir_20261201_000000.json").mkdir()
    (store.sessions / "bad_20261201_000000.json").write_text("{not json", encoding="utf-8")

    page = browser.get("/").text

    assert _rows(page) == ["unfinished", "complete", "unfinished", "archived"]  # beta's, then acme's
    beta, acme = page.index("beta&lt;script&gt;"), page.index('<h2 class="org">acme</h2>')
    assert beta < acme  # the organisation worked on last comes first
    assert HOSTILE not in page
    assert "fifo_" not in page and "link_" not in page and "dir_" not in page and "bad_" not in page
    newest_first = [page.index(name) for name in ("acme_20261202", "acme_20261201", "acme_20261130")]
    assert newest_first == sorted(newest_first)
    assert "<td>2</td>" in page and "<td>3</td>" in page and "PRD, TRD" in page
    assert "<td>$0.45</td>" in page  # 100,000 tokens in and 10,000 out at $3 and $15 a million


def test_the_report_shows_what_the_console_report_shows_with_each_gaps_impact(browser, store):
    analysis = example_analysis()
    store.write("acme_20261201_100000.json", analysis=analysis)

    page = browser.get("/session/live/acme_20261201_100000.json").text

    assert "0.55 / 1.0" in page and "(Fair)" in page
    titles = re.findall(r'<span class="gap-title">([^<]*)</span>', page)
    levels = [gap["impact_level"] for gap in analysis["gaps"]]
    assert len(titles) == len(levels)
    tags = re.findall(r'<span class="tag tag-(\w+)">', page)
    assert tags == sorted(tags, key=["high", "medium", "low"].index)  # critical first
    first = analysis["gaps"][0]
    assert first["impact_on_prd"].replace("'", "&#39;") in page and "PRD impact" in page and "TRD impact" in page
    assert "Critical issues identified" in page and "Peak-season availability conflicts" in page
    assert "Important considerations" in page and "Parents as a second audience" not in page  # nice_to_have
    assert "Architecture recommendations" in page
    critical = sum(1 for gap in analysis["gaps"] if gap["impact_level"] == "critical")
    assert f"More detail would strengthen the output. {critical} critical gaps found." in page
    # The ways forward are buttons at the top, not the console's numbered list.
    assert "You can:" not in page and "1. Continue anyway" not in page
    ways = page.split('class="buttons ways-forward"', 1)[1].split("</div>", 1)[0]
    assert "Answer the open gaps" in ways and 'value="continue"' in ways and "Attach a document" in ways
    assert page.index("ways-forward") < page.index('class="gap"')


def test_a_report_of_hostile_or_malformed_model_text_is_shown_literally(browser, store):
    analysis = {"summary": HOSTILE, "completeness_score": "high", "gaps": [
        {"title": HOSTILE, "impact_level": None, "description": "\x1b[31mred\x1b[0m", "impact_on_prd": HOSTILE},
        "not a record", {"title": 7, "impact_level": ["unhashable"]}],
        "insights": [{"severity": "critical", "title": HOSTILE}], "architecture_notes": [HOSTILE, 3]}
    store.write("acme_20261201_100000.json", analysis=analysis)

    response = browser.get("/session/live/acme_20261201_100000.json")

    assert response.status_code == 200
    assert HOSTILE not in response.text and "<script>" not in response.text.split("</head>")[1]
    assert "&lt;script&gt;alert(1)&lt;/script&gt;" in response.text
    assert "unknown / 1.0" in response.text


@pytest.fixture
def written(store, tmp_path):
    """A complete session whose documents are on disk: the example PRD and TRD, hostile text added."""
    out = tmp_path / "out"
    out.mkdir()
    prd = (EXAMPLES / "replay" / "prd.md").read_text(encoding="utf-8")
    prd += f"\n\n## Figures to verify\n\n- 42% conversion\n\n## Notes\n\n{HOSTILE} [click](javascript:alert(3))\n"
    (out / "PRD.md").write_text(prd, encoding="utf-8")
    (out / "TRD.md").write_text((EXAMPLES / "replay" / "trd.md").read_text(encoding="utf-8"), encoding="utf-8")
    (out / "PRD.docx").write_bytes(b"PK\x03\x04 word")
    (out / "TRD.html").symlink_to("/etc/passwd")  # never served
    store.write("acme_20261201_100000.json", phase="complete", output_dir=str(out),
                documents_written=["prd", "trd"], analysis=example_analysis())
    return out


def test_the_documents_show_known_gaps_and_figures_at_a_glance(browser, written):
    page = browser.get("/session/live/acme_20261201_100000.json/documents").text
    assert page.count("Known gaps and assumptions") == 2  # one card each
    assert "Figures to verify" in page and "42% conversion" in page
    assert "download/PRD.md" in page and "download/PRD.docx" in page and "download/TRD.html" not in page

    document = browser.get("/session/live/acme_20261201_100000.json/documents/prd").text
    aside = document.split('<aside class="at-a-glance">')[1].split("</aside>")[0]
    assert "Known gaps and assumptions" in aside and "42% conversion" in aside
    assert HOSTILE not in document and "&lt;script&gt;" in document
    assert 'href="javascript' not in document and "[click](javascript:alert(3))" in document


@pytest.mark.parametrize("name, status", [("PRD.md", 200), ("TRD.md", 200), ("PRD.docx", 200),
                                          ("TRD.html", 404), ("PRD.html", 404), ("passwd", 404),
                                          ("..%2FPRD.md", 404)])
def test_downloads_serve_written_documents_only(browser, written, name, status):
    response = browser.get(f"/session/live/acme_20261201_100000.json/download/{name}")
    assert response.status_code == status
    if status == 200:
        assert response.content == (written / name).read_bytes()
        assert response.headers["content-disposition"].startswith("attachment;")


@pytest.mark.parametrize("path", ["/session/live/nothing.json", "/session/other/acme.json",
                                  "/session/live/..%2Fsecret.json", "/session/live/acme_20261201_100000.json/documents/xyz"])
def test_a_missing_session_or_document_is_a_plain_not_found(browser, store, path):
    store.write("acme_20261201_100000.json")
    response = browser.get(path)
    assert response.status_code == 404
    assert "Traceback" not in response.text and "Back to the sessions" in response.text


def test_the_sessions_page_shows_the_batches_and_the_sessions_they_filled(browser, access, store, tmp_path,
                                                                          monkeypatch):
    from brevanta import config
    from brevanta.pipeline import batchfiles
    from brevanta.pipeline.batchfiles import BatchRecord, BatchRequest

    monkeypatch.setattr(config, "CORVANE_HOME", tmp_path / "home")
    monkeypatch.setattr(config, "ANTHROPIC_API_KEY", None)  # nothing asks the service
    filled = store.write("acme-a_20261201_100000.json", org_id="acme-a")
    requests = [BatchRequest("a_1", "acme-a", "/work/a.md", session=str(filled), outcome="succeeded"),
                BatchRequest("b_2", "acme-b", "/work/b.md", session=str(store.sessions / "acme-b_gone.json"),
                             outcome="succeeded"),
                BatchRequest("c_3", "acme-c", "/work/c.md", outcome="errored", reason="invalid_request_error: no")]
    batchfiles.save(BatchRecord("20261201-100000-aaaaaaaaaa", "analysis", "2026-12-01T10:00:00", requests,
                                batch_id="msgbatch_read", collected=True))
    batchfiles.save(BatchRecord("20261202-100000-bbbbbbbbbb", "documents", "2026-12-02T10:00:00",
                                [BatchRequest("prd-x_1", "x", document="prd")], batch_id=f"msgbatch_{HOSTILE}",
                                status={"processing_status": "in_progress", "checked_at": "2026-12-02T10:01:00+00:00",
                                        "counts": {"processing": 1}}))

    page = browser.get("/").text

    assert page.index("msgbatch_&lt;script&gt;") < page.index("msgbatch_read")  # newest first
    assert HOSTILE not in page
    assert '<progress value="3" max="3">' in page and "2 succeeded, 1 errored" in page
    assert f'<a href="{access.prefix}/session/live/acme-a_20261201_100000.json">a.md (acme-a)</a>' in page
    assert "b.md (acme-b) (gone)" in page
    assert "<code>brevanta batch retry msgbatch_read</code>" in page
    assert "in progress</span> 0 of 1 done" in page and "1 processing · as of " in page


@pytest.mark.parametrize("kind", list(tampered.KINDS))
def test_a_tampered_session_file_never_gives_a_500(browser, access, store, kind):
    """Every page that reads the store, and an action on the session, over each kind of tampered file:
    shown as far as it can be read, or not a session (passed over, or not found); never a failure."""
    data = tampered.tampered_bytes(kind, "/work/interview.md")
    (store.sessions / tampered.NAME).write_bytes(data)
    (store.archive / tampered.NAME).write_bytes(data)
    session = f"/session/live/{tampered.NAME}"
    pages = ["/", session, f"/session/archive/{tampered.NAME}", f"{session}/documents", f"{session}/documents/prd",
             f"{session}/download/PRD.md", f"{session}/documents/prd/sources/s1"]
    for path in pages:
        response = browser.get(path)  # the test client raises what the application raises
        assert response.status_code in (200, 404), (path, response.status_code)
    for action in ("continue", "write"):
        response = browser.post(f"{session}/forward", data={"csrf_token": access.csrf_token, "action": action})
        assert response.status_code in (303, 404, 409), (action, response.status_code, response.text)


def test_a_failure_holding_a_lone_surrogate_or_a_bidi_override_is_shown_escaped(browser, app):
    from brevanta.web.tasks import TaskFailed

    def work(task):
        raise TaskFailed("No analysis: the Anthropic API answered HTTP 400: bad \ud800 body \u202etxt.exe")

    task = app.state.runner.start("new/acme", "Analysing the interview", work, next_url="/")
    while not task.over:
        time.sleep(0.01)
    response = browser.get(f"/tasks/{task.task_id}")
    assert response.status_code == 200
    assert "bad \\ud800 body \\u202etxt.exe" in response.text and "\u202e" not in response.text
