"""save_state and mark_complete on real files."""

import json
import os
import stat
from datetime import date, datetime
from pathlib import Path

import pytest
from waymark_support import MOMENT, ORG, FixedClock, file_names, run_python, session_text

LATER = datetime(2025, 3, 14, 10, 15, 0)


def test_new_session_file(store, clock):
    state = {"interview_answers": [{"q": "Größe?", "a": "😀"}], "output_dir": Path("/srv/out"), "on": date(2025, 1, 2)}
    path = store.save_state(ORG, state, "analysis")
    assert path == str(store.SESSIONS_DIR / "3f2a9c1e_20250314_090507.json")
    content = Path(path).read_bytes()
    assert content == session_text(ORG, "analysis", state)
    assert content.startswith(b'{\n  "org_id": ') and not content.endswith(b"\n")
    assert file_names(store.SESSIONS_DIR) == ["3f2a9c1e_20250314_090507.json", "archive"]


def test_name_and_saved_at_read_the_clock_twice(store, monkeypatch):
    monkeypatch.setattr(store, "datetime", FixedClock(MOMENT, LATER))
    path = store.save_state("acme", {}, "interview")
    assert path.endswith("acme_20250314_090507.json")
    assert json.loads(Path(path).read_text())["saved_at"] == "2025-03-14T10:15:00"


@pytest.mark.parametrize("session_file", [None, "", "missing.json"])
def test_unusable_session_file_gives_a_new_file(store, clock, tmp_path, monkeypatch, session_file):
    monkeypatch.chdir(tmp_path)
    path = store.save_state("acme", {}, "interview", session_file)
    assert Path(path).parent == store.SESSIONS_DIR and not (tmp_path / "missing.json").exists()


def test_update_in_place_replaces_everything(store, clock):
    path = store.save_state("acme", {"a": 1}, "interview")
    store.mark_complete(path)
    clock.moments = [LATER]
    again = store.save_state("acme", {"b": 2}, "strategy", path.replace("/sessions/", "/sessions/./"))
    assert again == path
    assert Path(path).read_bytes() == session_text("acme", "strategy", {"b": 2}, LATER.isoformat())
    assert file_names(store.SESSIONS_DIR) == [Path(path).name, "archive"]


def test_sessions_begun_in_one_second_keep_separate_files(store, clock):
    paths = [store.save_state("acme", {"run": n}, "interview") for n in range(3)]
    assert [Path(p).name for p in paths] == [
        "acme_20250314_090507.json", "acme_20250314_090507_2.json", "acme_20250314_090507_3.json"]
    assert [json.loads(Path(p).read_text())["state"] for p in paths] == [{"run": 0}, {"run": 1}, {"run": 2}]
    assert len(store.load_incomplete_sessions("acme")) == 3


def test_update_keeps_permissions(store, clock):
    path = store.save_state("acme", {}, "interview")
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o666 & ~current_umask()
    os.chmod(path, 0o640)
    store.save_state("acme", {"x": 1}, "analysis", path)
    store.mark_complete(path)
    assert stat.S_IMODE(os.stat(path).st_mode) == 0o640


def current_umask():
    mask = os.umask(0)
    os.umask(mask)
    return mask


def test_symlinked_session_writes_through(store, clock, tmp_path):
    real = Path(store.save_state("acme", {}, "interview"))
    link = tmp_path / "current.json"
    link.symlink_to(real)
    assert store.save_state("acme", {"x": 1}, "analysis", str(link)) == str(link)
    store.mark_complete(str(link))
    assert link.is_symlink() and link.resolve() == real
    assert json.loads(real.read_text())["phase"] == "complete"


def test_no_temporary_files_left_behind(store, clock):
    path = store.save_state("acme", {}, "interview")
    for n in range(5):
        store.save_state("acme", {"n": n}, "analysis", path)
    assert file_names(store.SESSIONS_DIR) == [Path(path).name, "archive"]


@pytest.mark.parametrize(("state", "error", "message"), [
    ({(1, 2): "tuple key"}, TypeError, "keys must be str, int, float, bool or None, not tuple"),
    ({"loop": None}, ValueError, "Circular reference detected"),
])
def test_failed_serialisation_leaves_the_file(store, clock, state, error, message):
    if "loop" in state:
        state["loop"] = [state]
    path = store.save_state("acme", {"kept": True}, "interview")
    before = Path(path).read_bytes()
    with pytest.raises(error) as caught:
        store.save_state("acme", state, "analysis", path)
    assert str(caught.value) == message
    with pytest.raises(error):
        json.dumps(state, indent=2, default=str)
    assert Path(path).read_bytes() == before
    assert file_names(store.SESSIONS_DIR) == [Path(path).name, "archive"]


FILE_SIZE_LIMIT = """
import os, resource, signal, sys
from pathlib import Path
from brevanta import waymark
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
path = waymark.save_state("acme", {"small": 1}, "interview")
before = Path(path).read_bytes()
resource.setrlimit(resource.RLIMIT_FSIZE, (len(before) + 64, resource.RLIM_INFINITY))
outcomes = []
for session_file in (path, None):
    try:
        waymark.save_state("acme", {"big": "x" * 100000}, "analysis", session_file)
        outcomes.append("written")
    except OSError as error:
        outcomes.append(error.errno)
print(outcomes, Path(path).read_bytes() == before, sorted(os.listdir(waymark.SESSIONS_DIR)) == [Path(path).name, "archive"])
"""


def test_write_failure_leaves_the_file(tmp_path):
    import errno

    result = run_python(FILE_SIZE_LIMIT, home=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == [f"[{errno.EFBIG},", f"{errno.EFBIG}]", "True", "True"]


@pytest.mark.skipif(os.geteuid() == 0, reason="root writes to read-only files")
def test_read_only_file_refused(store, clock):
    path = store.save_state("acme", {}, "interview")
    os.chmod(path, 0o444)
    with pytest.raises(PermissionError):
        store.save_state("acme", {"x": 1}, "analysis", path)


def test_existing_directory_as_session_file(store, clock, tmp_path):
    with pytest.raises(IsADirectoryError):
        store.save_state("acme", {}, "interview", str(tmp_path))


class RecordingJson:
    """A stand-in for the module's `json` that records the calls it gets."""

    def __init__(self, text):
        self.text, self.calls = text, []

    def dumps(self, payload, **options):
        self.calls.append((payload, options))
        return self.text

    def loads(self, text):
        return json.loads(text)


def test_rebound_json_is_used(store, clock, monkeypatch):
    recorder = RecordingJson('{"written": "by the stand-in é"}')
    monkeypatch.setattr(store, "json", recorder)
    state = {"a": 1}
    path = store.save_state("acme", state, "interview")
    (payload, options), = recorder.calls
    assert options == {"indent": 2, "default": str} and payload["state"] is state
    assert Path(path).read_text(encoding="utf-8") == recorder.text


@pytest.mark.parametrize(("text", "error"), [(b"bytes", TypeError), ("\udc80", UnicodeEncodeError)])
def test_rebound_json_text_that_cannot_be_written(store, clock, monkeypatch, text, error):
    path = store.save_state("acme", {}, "interview")
    before = Path(path).read_bytes()
    monkeypatch.setattr(store, "json", RecordingJson(text))
    with pytest.raises(error):
        store.save_state("acme", {}, "analysis", path)
    assert Path(path).read_bytes() == before


def test_mark_complete(store, clock):
    path = store.save_state("acme", {"a": [1, 2]}, "render")
    data = json.loads(Path(path).read_text())
    data["extra"] = "kept"
    Path(path).write_text(json.dumps(data))
    clock.moments = [LATER]
    assert store.mark_complete(path) is None
    marked = json.loads(Path(path).read_text())
    assert list(marked) == ["org_id", "phase", "saved_at", "state", "extra", "completed_at"]
    assert (marked["phase"], marked["saved_at"], marked["completed_at"]) == (
        "complete", MOMENT.isoformat(), LATER.isoformat())
    assert Path(path).read_text() == json.dumps(marked, indent=2, default=str)


@pytest.mark.parametrize("content", [None, b"{not json", b"\xff\xfe{}"])
def test_mark_complete_leaves_unreadable_files(store, tmp_path, content):
    path = tmp_path / "s.json"
    if content is not None:
        path.write_bytes(content)
    assert store.mark_complete(str(path)) is None
    assert (path.read_bytes() if content is not None else path.exists()) == (content if content else False)


def test_mark_complete_of_a_json_array(store, tmp_path):
    path = tmp_path / "s.json"
    path.write_text("[1]")
    with pytest.raises(TypeError, match="list indices must be integers or slices, not str"):
        store.mark_complete(str(path))
    assert path.read_text() == "[1]"
