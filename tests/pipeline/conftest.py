"""The pipeline in this process: a session store of its own in a temporary directory, the example
analysis, and the replay client standing in for the model."""

from __future__ import annotations

from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"


@pytest.fixture
def store(tmp_path, monkeypatch):
    """waymark's directories under a temporary home; the store looks them up at each use."""
    from brevanta import waymark

    sessions = tmp_path / "home" / "sessions"
    monkeypatch.setattr(waymark, "SESSIONS_DIR", sessions)
    monkeypatch.setattr(waymark, "ARCHIVE_DIR", sessions / "archive")
    waymark._ensure_dirs()
    return sessions


@pytest.fixture(scope="session")
def example_interview() -> str:
    return (EXAMPLES / "interview.md").read_text(encoding="utf-8")


@pytest.fixture
def replay():
    """Model access answering every request from the example run's saved replies."""
    from brevanta.pipeline.inputs import read_replies
    from brevanta.pipeline.models import open_access

    return open_access(str(EXAMPLES / "replay"), read_replies(str(EXAMPLES / "replay")))


@pytest.fixture
def analysed(store, example_interview, replay):
    """A run of the example interview with its first analysis, saved; yields (run, result)."""
    from brevanta.pipeline import analysis, session
    from brevanta.pipeline.interview import Interview

    run = session.new_run(Interview(str(EXAMPLES / "interview.md"), example_interview), "acme", 1)
    result = analysis.analyse(run, example_interview, replay)
    yield run, result
    run.release()
