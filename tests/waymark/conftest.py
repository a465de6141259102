"""Fixtures for the session module: a store in a temporary directory and a fixed clock."""

import pytest
from waymark_support import FixedClock


@pytest.fixture
def waymark():
    from brevanta import waymark

    return waymark


@pytest.fixture
def store(waymark, tmp_path, monkeypatch):
    """The module with SESSIONS_DIR and ARCHIVE_DIR rebound into a temporary directory."""
    sessions = tmp_path / "home" / "sessions"
    monkeypatch.setattr(waymark, "SESSIONS_DIR", sessions)
    monkeypatch.setattr(waymark, "ARCHIVE_DIR", sessions / "archive")
    return waymark


@pytest.fixture
def clock(store, monkeypatch):
    fixed = FixedClock()
    monkeypatch.setattr(store, "datetime", fixed)
    return fixed
