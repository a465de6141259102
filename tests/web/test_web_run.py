"""A whole run in a real browser (Debian's Chromium through Playwright) against a local Messages
server: paste the example interview, see the report, answer one gap with three lines, bypass a
critical one (confirmed), leave one open, attach a PDF, write the documents with live
progress, open both and download them; then the terminal command takes the same session up with
every decision."""

from __future__ import annotations

import os
import pty
import select
import subprocess
import sys
import time

import pytest
from web_support import EXAMPLES, SCREENSHOTS
from serving import environment, start
from support.anthropic_stub import MessagesServer
from support.source_files import pdf_bytes

THREE_LINES = "Availability syncs every 15 minutes.\nA bed is held for 4 hours.\nA manager confirms each hold."
TIMEOUT_MS = 60_000  # ten times what a quiet machine needs, and more


@pytest.fixture
def model():
    with MessagesServer() as server:
        analysis = (EXAMPLES / "replay" / "analysis.md").read_text(encoding="utf-8")
        server.reply_text(analysis)  # the first round
        server.reply_text(analysis)  # the round again, with the attached document
        for kind in ("prd", "trd"):  # streamed slowly enough to be watched
            server.reply_text((EXAMPLES / "replay" / f"{kind}.md").read_text(encoding="utf-8"), chunks=60, every=0.15)
        yield server


def _terminal(argv: list[str], env: dict[str, str], cwd, wanted: str) -> str:
    """Runs `argv` on a pseudo-terminal until `wanted` shows, then ends its input; returns the screen."""
    controller, child = pty.openpty()
    process = subprocess.Popen(argv, stdin=child, stdout=child, stderr=child, env=env, cwd=cwd, close_fds=True)
    os.close(child)
    screen, deadline = "", time.monotonic() + TIMEOUT_MS / 1000
    try:
        while wanted not in screen and time.monotonic() < deadline:
            if select.select([controller], [], [], 0.5)[0]:
                try:
                    screen += os.read(controller, 65536).decode("utf-8", "replace")
                except OSError:
                    break
        os.write(controller, b"\x04")  # end of input: every decision stays as it is
        process.wait(timeout=TIMEOUT_MS / 1000)
    finally:
        if process.poll() is None:
            process.kill()
        os.close(controller)
    return screen.replace("\r\n", "\n")


def test_a_whole_run_in_the_browser_then_the_terminal_takes_it_up(tmp_path, model, watched):
    work = tmp_path / "work"
    work.mkdir()
    env = environment(tmp_path / "home", ANTHROPIC_BASE_URL=model.base_url, ANTHROPIC_API_KEY="test-key",
                      BREVANTA_REQUEST_RETRIES="0")
    served = start(env, cwd=work)
    page = watched.page
    page.set_default_timeout(TIMEOUT_MS)
    try:
        page.goto(served.url)
        page.click("text=New analysis")
        page.fill("input[name=org]", "acme")
        interview = (EXAMPLES / "interview.md").read_text(encoding="utf-8")
        page.fill("textarea[name=interview]", interview)
        page.click("button:has-text('Analyse')")
        page.wait_for_selector("text=Requirements completeness")
        assert "0.55 / 1.0" in page.inner_text("main")
        SCREENSHOTS.mkdir(parents=True, exist_ok=True)  # for a person to look at
        page.set_viewport_size({"width": 1280, "height": 900})
        page.screenshot(path=str(SCREENSHOTS / "report.png"), full_page=True)
        top = page.locator(".completeness").bounding_box()  # the score and the first gaps with their forms
        page.screenshot(path=str(SCREENSHOTS / "report-gaps.png"), full_page=True,
                        clip={"x": 0, "y": top["y"] - 16, "width": 1280, "height": 900})

        # Answer the first gap with three lines.
        first = page.locator(".gap").first
        first.locator("textarea[name=answer]").fill(THREE_LINES)
        first.locator("button[value=answer]").click()
        page.wait_for_selector(".decision-answered")
        # Bypass a critical gap: asked first.
        page.locator(".gap:has(.decision-open):has(.tag-high)").first.locator("button[value=bypass]").click()
        page.wait_for_selector("text=Bypass a critical gap?")
        page.click("#confirm-bypass")
        page.wait_for_selector(".decision-bypassed")
        # Leave one open.
        page.locator(".gap:has(.decision-open)").first.locator("button[value=leave]").click()
        page.wait_for_selector(".decision-left-open")
        # Attach a document, a PDF chosen as a file: the round is analysed again, every decision kept.
        availability = tmp_path / "availability.pdf"
        availability.write_bytes(pdf_bytes([["Beds are held for four hours after a site visit is booked."]]))
        page.click("#attach summary")
        page.set_input_files("#attach input[name=document_file]", str(availability))
        page.click("#attach button[type=submit]")
        page.wait_for_selector("text=Requirements completeness")
        assert "availability.pdf (PDF, " in page.inner_text("#attachments")
        assert page.locator(".decision-answered").count() == 1 and page.locator(".decision-bypassed").count() == 1
        # Continue anyway: the rest bypassed; then the documents, with their progress as it happens.
        page.click("button[value=continue]")
        page.click("#write-documents")
        page.wait_for_selector("[data-document=prd] [data-role=characters]:not(:text-is('0'))")
        page.wait_for_url("**/session/live/*.json", timeout=TIMEOUT_MS)

        page.click("text=Read the documents")
        for kind in ("prd", "trd"):
            page.click(f"text=Read the {kind.upper()}")
            page.wait_for_selector("aside.at-a-glance >> text=Known gaps and assumptions")
            if kind == "prd":
                page.screenshot(path=str(SCREENSHOTS / "document.png"), full_page=True)
            with page.expect_download() as download:
                page.click(f"text=Download {kind.upper()}.md")
            saved = tmp_path / f"{kind}.md"
            download.value.save_as(saved)
            assert saved.read_bytes() == (work / "acme" / f"{kind.upper()}.md").read_bytes()
            page.go_back()
        assert watched.dialogs == [] and watched.errors == []
    finally:
        status, _, err = served.stop()
    assert status == 0 and "Traceback" not in err, err

    # The terminal takes the same session up, with every decision made in the browser.
    interview_file = work / "interview.md"
    interview_file.write_text(interview, encoding="utf-8")
    screen = _terminal([sys.executable, "-m", "brevanta", "analyze", str(interview_file), "--org", "acme", "--reopen"],
                       {**env, "TERM": "xterm"}, work, "Change a decision?")
    assert "The decisions of this session:" in screen, screen
    assert '1. Real-time bed availability: answered "Availability syncs every 15 minutes. A bed is held' in screen
    assert screen.count(": bypassed") >= 2
