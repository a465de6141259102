"""The application in a real browser (Debian's Chromium through Playwright), served by the real
command: hostile model text on every page."""

from __future__ import annotations

import json
import re
import subprocess
import sys
import threading
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from pathlib import Path

import pytest
from web_support import Store

from brevanta.pipeline.cleaning import clean_text
from serving import environment, start

SCRIPT = "<script>alert('script')</script>"
IMAGE = "<img src=x onerror=alert('image')>"
LINK = "[open me](javascript:alert('link'))"
ESCAPE = "\x1b[31mred\x1b[0m\x1b]0;retitled\x07"
HOSTILE = f"{SCRIPT} {IMAGE} {LINK} {ESCAPE}"


@pytest.fixture
def home(tmp_path):
    sessions = tmp_path / "home" / "sessions"
    (sessions / "archive").mkdir(parents=True)
    return Store(sessions, sessions / "archive")


@pytest.fixture
def served(home):
    server = start(environment(home.sessions.parent))
    assert server.url, server.stop()
    yield server
    status, _, err = server.stop()
    assert status == 0 and "Traceback" not in err, err


def _hostile_session(home, tmp_path):
    out = tmp_path / "hostile-out"
    out.mkdir()
    document = f"# Product Requirements Document\n\n{HOSTILE}\n\n## Known gaps and assumptions\n\n- {HOSTILE}\n"
    (out / "PRD.md").write_text(document, encoding="utf-8")
    (out / "TRD.md").write_text(document.replace("Product", "Technical"), encoding="utf-8")
    analysis = {"summary": HOSTILE, "completeness_score": 0.4, "completeness_reasoning": HOSTILE,
                "data_points_found": [HOSTILE], "architecture_notes": [HOSTILE],
                "gaps": [{"id": "gap_1", "title": HOSTILE, "impact_level": "critical", "description": HOSTILE,
                          "impact_on_prd": HOSTILE, "impact_on_trd": HOSTILE, "risk_if_skipped": HOSTILE,
                          "question": HOSTILE}],
                "insights": [{"severity": "critical", "title": HOSTILE, "description": HOSTILE,
                              "recommendation": HOSTILE}]}
    # Unfinished, so that the gap walk's forms show the model's question too.
    sent = clean_text(HOSTILE)[0]  # the interview as the request sent it
    cited = {"footnote": "s1", "document_index": 0, "cited_text": sent, "start_char_index": 0,
             "end_char_index": len(sent), "reply_start": 0, "reply_end": 0}
    home.write("evil_20261201_100000.json", org_id="evil", interview_file=f"/tmp/{SCRIPT}.md",
               analysis=analysis, output_dir=str(out), documents_written=["prd", "trd"], interview_text=HOSTILE,
               interview_answers=[{"question": HOSTILE, "answer": HOSTILE, "gap_id": "gap_0", "round": 1}],
               replies={"prd": {"text": HOSTILE, "citations": [cited]}})
    return "/session/live/evil_20261201_100000.json"


def test_hostile_model_text_is_shown_literally_on_every_page(served, home, watched, tmp_path):
    session = _hostile_session(home, tmp_path)
    page = watched.page
    page.goto(served.url)
    for path in ["/", session, f"{session}/documents", f"{session}/documents/prd", f"{session}/documents/trd",
                 f"{session}/documents/prd/sources/s1"]:
        page.goto(served.base + path)
        page.wait_for_load_state("load")
        shown = page.inner_text("main")
        assert "alert('script')" in shown or path == "/", path  # the text itself is there to read
        assert page.locator("main img").count() == 0, path
        assert page.locator("main a[href^='javascript']").count() == 0, path
        if path != "/" and "/sources/" not in path:  # a source shows the text as sent, control characters removed
            assert "\\x1b[31mred" in shown, path  # terminal escapes spelt out
    page.goto(served.base + session)
    page.click(".gap button[value=bypass]")  # a critical gap: the confirmation shows the model's text too
    page.wait_for_selector("text=Bypass a critical gap?")
    assert "alert('script')" in page.inner_text("main") and page.locator("main img").count() == 0
    assert watched.dialogs == []
    assert watched.errors == []


def test_the_access_cookie_goes_to_no_other_server_of_the_host(served, watched):
    """Cookies do not tell ports apart: the cookie is kept to this server's own path."""
    received: list[str] = []

    class Recorder(BaseHTTPRequestHandler):
        def do_GET(self) -> None:  # noqa: N802 - the handler's name
            received.append(self.headers.get("Cookie") or "")
            self.send_response(200)
            self.send_header("Content-Type", "text/plain")
            self.end_headers()
            self.wfile.write(b"another server")

        def log_message(self, format, *args) -> None:  # noqa: A002 - quiet
            pass

    with ThreadingHTTPServer(("127.0.0.1", 0), Recorder) as other:
        threading.Thread(target=other.serve_forever, daemon=True).start()
        page = watched.page
        page.goto(served.url)
        assert "Sessions" in page.inner_text("main")  # in: the cookie is set
        for path in ("/", "/session/live/x.json", "/tasks/x"):
            page.goto(f"http://127.0.0.1:{other.server_address[1]}{path}")
        other.shutdown()
    assert len(received) >= 3 and not any("brevanta-" in cookies for cookies in received), received
    assert [cookie["path"] for cookie in page.context.cookies() if cookie["name"].startswith("brevanta-")] == \
        [served.prefix]


def test_each_quote_stands_beside_its_requirement_and_opens_its_passage(served, home, watched, tmp_path):
    """The example run, replayed into the server's home: the PRD's page shows each cited passage's quote
    after the text it supports, and a click shows the interview with that passage marked."""
    repo = Path(__file__).resolve().parents[2]
    out = tmp_path / "documents"
    done = subprocess.run([sys.executable, "-m", "brevanta", "analyze", "examples/interview.md", "--replay",
                           "examples/replay", "--org", "acme", "--out", str(out), "--yes"], cwd=repo,
                          env=environment(home.sessions.parent), capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    (session_file,) = home.sessions.glob("*.json")
    state = json.loads(session_file.read_text(encoding="utf-8"))["state"]
    definitions = re.findall(r"^\[\^(s\d+)\]: (.+)$", (out / "PRD.md").read_text(encoding="utf-8"), re.MULTILINE)

    page = watched.page
    page.goto(served.url)
    page.goto(f"{served.base}/session/live/{session_file.name}/documents")
    assert "PRD: 6 of 9 requirements cited, 12 of 19 interview statements covered" in page.inner_text("main")
    page.goto(f"{served.base}/session/live/{session_file.name}/documents/prd")
    quotes = page.locator("article .source-quote")
    first_requirement = page.locator("article li", has_text="FR-1 (must)")
    assert first_requirement.locator(".source-quote").inner_text() == dict(definitions)["s6"].replace("\\", "")
    assert quotes.count() == len(re.findall(r"\[\^s\d+\](?!:)", (out / "PRD.md").read_text(encoding="utf-8")))
    first_requirement.locator(".source-quote").click()
    page.wait_for_selector("mark#cited")
    cited = next(entry for entry in state["replies"]["prd"]["citations"] if entry["footnote"] == "s6")
    assert page.url.endswith("/documents/prd/sources/s6#cited")
    assert page.inner_text("mark#cited") == cited["cited_text"]
    assert page.inner_text("pre.source-text") == state["interview_text"]
    assert "interview, line 31" in page.inner_text("main")
    assert watched.dialogs == [] and watched.errors == []
