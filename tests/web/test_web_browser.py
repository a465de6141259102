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


# Every word of the page's main part that is laid out on two lines. A long token (a file name, an
# address) may have to break on a narrow screen; words and figures never.
BROKEN_WORDS = """() => {
  const broken = [];
  const range = document.createRange();
  const walker = document.createTreeWalker(document.querySelector("main"), NodeFilter.SHOW_TEXT);
  for (let node = walker.nextNode(); node; node = walker.nextNode()) {
    for (const match of node.textContent.matchAll(/[^\\s\\-\\u2013\\u2014\\/]+/g)) {
      if (match[0].length > 24) continue;
      range.setStart(node, match.index);
      range.setEnd(node, match.index + match[0].length);
      const lines = new Set([...range.getClientRects()].filter(r => r.width > 0).map(r => Math.round(r.bottom)));
      if (lines.size > 1) broken.push(match[0]);
    }
  }
  return broken;
}"""
USAGE = [{"operation": "analysis", "model": "claude-sonnet-4-5", "input_tokens": 9000, "output_tokens": 4000,
          "cache_creation_input_tokens": 0, "cache_read_input_tokens": 0}]


def _example_sessions(home, tmp_path):
    from web_support import EXAMPLES, example_analysis

    from brevanta.pipeline.replay_citations import cited_blocks

    out = tmp_path / "out"
    out.mkdir()
    for kind in ("prd", "trd"):  # the saved replies without their citation marks, as documents
        reply = (EXAMPLES / "replay" / f"{kind}.md").read_text(encoding="utf-8")
        (out / f"{kind.upper()}.md").write_text("".join(block["text"] for block in cited_blocks(reply, [])),
                                                encoding="utf-8")
    analysis = example_analysis()
    home.write("tarang-living_20261201_100000.json", org_id="tarang-living", analysis=analysis, usage=USAGE,
               interview_file="/work/interviews/tarang-living.md", interview_text="We want a bot.",
               open_gaps=len(analysis["gaps"]))
    home.write("tarang-living_20261202_100000.json", org_id="tarang-living", phase="complete", analysis=analysis,
               usage=USAGE * 3, output_dir=str(out), documents_written=["prd", "trd"],
               interview_file="/work/interviews/tarang-living.md", bypassed_gaps=analysis["gaps"])
    home.write("acme_20261130_100000.json", org_id="acme", archived=True, saved_at="2026-11-30T10:00:00")
    return "/session/live/tarang-living_20261201_100000.json", "/session/live/tarang-living_20261202_100000.json"


@pytest.mark.parametrize("width", [1280, 390])
def test_no_page_breaks_a_word_at_either_width(served, home, watched, tmp_path, width):
    from web_support import SCREENSHOTS

    unfinished, complete = _example_sessions(home, tmp_path)
    page = watched.page
    page.set_viewport_size({"width": width, "height": 900})
    page.goto(served.url)
    SCREENSHOTS.mkdir(parents=True, exist_ok=True)  # for a person to look at
    for name, path in [("sessions", "/"), ("report", unfinished), ("documents", f"{complete}/documents"),
                       ("document", f"{complete}/documents/prd"), ("new", "/new")]:
        page.goto(served.base + path)
        page.wait_for_load_state("load")
        page.screenshot(path=str(SCREENSHOTS / f"{name}-{width}.png"), full_page=True)
        page.screenshot(path=str(SCREENSHOTS / f"{name}-{width}-top.png"))  # what shows before any scrolling
        assert page.evaluate(BROKEN_WORDS) == [], (name, width)
        assert page.evaluate("document.documentElement.scrollWidth") <= width, (name, width)  # nothing sideways
    assert watched.errors == []


HOLD = """
import sys
from brevanta.pipeline.lock import SessionLock
with SessionLock.acquire(sys.argv[1]):
    print("held", flush=True)
    sys.stdin.read()
"""


def test_a_session_held_by_a_terminal_says_so_at_the_top(served, home, watched, tmp_path):
    import subprocess
    import sys

    unfinished, _ = _example_sessions(home, tmp_path)
    holder = subprocess.Popen([sys.executable, "-c", HOLD, str(home.sessions / unfinished.rsplit("/", 1)[1])],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    try:
        assert holder.stdout.readline() == "held\n"
        page = watched.page
        page.set_viewport_size({"width": 1280, "height": 900})
        page.goto(served.url)
        page.goto(served.base + unfinished)
        notice = page.locator("#read-only")
        assert f"in use by process {holder.pid}" in notice.inner_text()
        box = notice.bounding_box()
        assert box is not None and box["y"] + box["height"] < 900  # seen without scrolling
        assert box["y"] < page.locator(".gap").first.bounding_box()["y"]
        assert page.locator(".gap button").count() == 0
    finally:
        holder.communicate("", timeout=30)
