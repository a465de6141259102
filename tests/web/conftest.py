"""The web application in-process (Starlette's test client), over a session store in a temporary
directory that the tests fill with session files as the command writes them."""

from __future__ import annotations

import json
from dataclasses import dataclass
from pathlib import Path
from typing import Any

import pytest

REPO = Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"
PORT = 8123
BASE = f"http://127.0.0.1:{PORT}"


def example_analysis() -> dict[str, Any]:
    """The example run's analysis, as a session keeps it (the fields of an AnalysisResult)."""
    from brevanta import gapscope

    reply = (EXAMPLES / "replay" / "analysis.md").read_text(encoding="utf-8")
    parsed = json.loads(gapscope._extract_json(reply))
    result = gapscope.AnalysisResult(**{key: parsed[key] for key in (
        "completeness_score", "completeness_reasoning", "sufficient_for_prd", "gaps", "insights",
        "data_points_found", "architecture_notes", "summary") if key in parsed})
    return {name: getattr(result, name) for name in (
        "completeness_score", "completeness_reasoning", "sufficient_for_prd", "gaps", "insights",
        "data_points_found", "architecture_notes", "summary")}


@dataclass
class Store:
    sessions: Path
    archive: Path

    def write(self, name: str, *, org_id: str = "acme", phase: str = "analysis", archived: bool = False,
              saved_at: str = "2026-12-01T10:00:00", analysis: dict[str, Any] | None = None,
              **state: Any) -> Path:
        """A session file as the command writes it, with `state` over a plausible default."""
        full_state: dict[str, Any] = {
            "interview_answers": [], "document_types": [], "project_type_key": None,
            "selected_strategy_number": None, "analysis_summary": None, "analysis_completeness": None,
            "strategy_id": None, "review_turn_id": None, "output_dir": None,
            "round": 1, "bypassed_gaps": [], "interview_file": "/work/interview.md", "attachments": [],
            "analysis": None if analysis is None else {"round": 1, "result": analysis},
            "walking": False, "left_open": [], "open_gaps": 0, "documents_written": [],
        }
        full_state.update(state)
        path = (self.archive if archived else self.sessions) / name
        data = {"org_id": org_id, "phase": phase, "saved_at": saved_at, "state": full_state}
        if phase == "complete":
            data["completed_at"] = saved_at
        path.write_text(json.dumps(data, indent=2), encoding="utf-8")
        return path


@pytest.fixture
def store(tmp_path, monkeypatch) -> Store:
    from brevanta import waymark

    sessions = tmp_path / "home" / "sessions"
    (sessions / "archive").mkdir(parents=True)
    monkeypatch.setattr(waymark, "SESSIONS_DIR", sessions)
    monkeypatch.setattr(waymark, "ARCHIVE_DIR", sessions / "archive")
    return Store(sessions, sessions / "archive")


@pytest.fixture
def access():
    from brevanta.web.access import Access

    return Access.new("127.0.0.1", PORT)


@pytest.fixture
def app(store, access):
    from brevanta.web.app import create_app

    return create_app(access)


@pytest.fixture
def anonymous(app):
    """A browser that has not opened the printed address."""
    from starlette.testclient import TestClient

    with TestClient(app, base_url=BASE, follow_redirects=False) as client:
        yield client


@pytest.fixture
def browser(app, access):
    """A browser that opened the printed address: it holds the access cookie."""
    from starlette.testclient import TestClient

    with TestClient(app, base_url=BASE, follow_redirects=False) as client:
        assert client.get(f"/?token={access.token}").status_code == 303
        yield client


CHROMIUM = Path("/usr/bin/chromium")
SCREENSHOTS = REPO / "build" / "screenshots"


@pytest.fixture(scope="session")
def chromium():
    """Debian's Chromium driven by Playwright (its own browser download is not reachable here)."""
    if not CHROMIUM.exists():
        pytest.skip("Debian's chromium is not installed at /usr/bin/chromium (apt-get install chromium)")
    sync_api = pytest.importorskip("playwright.sync_api", reason="Playwright is not installed")
    with sync_api.sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=str(CHROMIUM), headless=True)
        yield browser
        browser.close()


@dataclass
class Watched:
    """A page whose dialogs and console errors are collected instead of passing unnoticed."""

    page: Any
    dialogs: list[str]
    errors: list[str]


@pytest.fixture
def watched(chromium):
    context = chromium.new_context(accept_downloads=True)
    page = context.new_page()
    seen = Watched(page, [], [])

    def on_dialog(dialog: Any) -> None:
        seen.dialogs.append(dialog.message)
        dialog.dismiss()

    page.on("dialog", on_dialog)
    page.on("console", lambda message: seen.errors.append(message.text) if message.type == "error" else None)
    page.on("pageerror", lambda error: seen.errors.append(str(error)))
    yield seen
    context.close()
