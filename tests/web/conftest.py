"""The web application in-process (Starlette's test client), over a session store in a temporary
directory that the tests fill with session files as the command writes them; and Debian's Chromium
driven by Playwright for the tests in a real browser."""

from __future__ import annotations

from typing import Any

import pytest
from web_support import BASE, CHROMIUM, PORT, Store, Watched


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


def _client(app, access):
    """The test client, its paths under the server's prefix: "/session/..." is asked for as the server's
    own "/PREFIX/session/...", as are the addresses its pages and redirects give."""
    from starlette.testclient import TestClient

    class Client(TestClient):
        def request(self, method, url, *args, **kwargs):
            if isinstance(url, str) and url.startswith("/") and not access.within(url.split("?")[0]):
                url = access.prefix + url
            return super().request(method, url, *args, **kwargs)

    return Client(app, base_url=BASE, follow_redirects=False)


@pytest.fixture
def anonymous(app, access):
    """A browser that has not opened the printed address."""
    with _client(app, access) as client:
        yield client


@pytest.fixture
def browser(app, access):
    """A browser that opened the printed address: it holds the access cookie."""
    with _client(app, access) as client:
        assert client.get(f"/?token={access.token}").status_code == 303
        yield client




@pytest.fixture(scope="module")
def chromium():
    """Debian's Chromium driven by Playwright (its own browser download is not reachable here). Playwright's
    synchronous API marks an event loop as running while it lives: one per module, so that no later test
    of the same worker finds one (asyncio.run refuses to start inside it)."""
    if not CHROMIUM.exists():
        pytest.skip("Debian's chromium is not installed at /usr/bin/chromium (apt-get install chromium)")
    sync_api = pytest.importorskip("playwright.sync_api", reason="Playwright is not installed")
    with sync_api.sync_playwright() as playwright:
        browser = playwright.chromium.launch(executable_path=str(CHROMIUM), headless=True)
        yield browser
        browser.close()


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
