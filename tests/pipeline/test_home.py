"""The session home checked before anything runs: a home that cannot hold sessions is named with why."""

import pytest

from brevanta import waymark
from brevanta.errors import EnvironmentProblem
from brevanta.pipeline.home import check_session_home


def test_a_usable_home_passes_and_an_unusable_one_says_why(tmp_path, monkeypatch):
    monkeypatch.setattr(waymark, "SESSIONS_DIR", tmp_path / "home" / "sessions")
    monkeypatch.setattr(waymark, "ARCHIVE_DIR", tmp_path / "home" / "sessions" / "archive")
    check_session_home()  # made as needed
    assert (tmp_path / "home" / "sessions" / "archive").is_dir()

    (tmp_path / "file").write_text("")
    monkeypatch.setattr(waymark, "SESSIONS_DIR", tmp_path / "file" / "sessions")
    monkeypatch.setattr(waymark, "ARCHIVE_DIR", tmp_path / "file" / "sessions" / "archive")
    with pytest.raises(EnvironmentProblem, match="a file stands where a directory is needed") as problem:
        check_session_home()
    assert str(tmp_path / "file" / "sessions") in problem.value.message and "CORVANE_HOME" in (problem.value.hint or "")
