"""save_state and mark_complete on real files."""

import ctypes
import json
import os
import re
import shutil
import stat
import subprocess
import sys
import textwrap
import time
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


def mode_of(path):
    return stat.S_IMODE(os.stat(path).st_mode)


@pytest.mark.parametrize("umask", [0o022, 0o077, 0o002])
def test_private_by_default_and_kept_on_update(waymark, tmp_path, monkeypatch, umask):
    # Session files hold a company's interview answers: new files and the
    # directories the store creates are the owner's alone; an existing
    # directory and the mode of an existing file stay as they are.
    home = tmp_path / "home"
    monkeypatch.setattr(waymark, "SESSIONS_DIR", home / "sessions")
    monkeypatch.setattr(waymark, "ARCHIVE_DIR", home / "sessions" / "archive")
    os.chmod(tmp_path, 0o755)
    previous = os.umask(umask)
    try:
        path = waymark.save_state("acme", {}, "interview")
        created = [mode_of(p) for p in (home, home / "sessions", home / "sessions" / "archive", path)]
        os.chmod(path, 0o640)
        waymark.save_state("acme", {"x": 1}, "analysis", path)
        waymark.mark_complete(path)
    finally:
        os.umask(previous)
    assert created == [0o700 & ~umask] * 3 + [0o600 & ~umask]
    assert (mode_of(path), mode_of(tmp_path)) == (0o640, 0o755)


def strace_refused():
    if not shutil.which("strace"):
        return "strace is not installed"
    if subprocess.run(["strace", "-o", os.devnull, "true"], capture_output=True).returncode != 0:
        return "ptrace is refused here"
    return None


SAVES_UNDER_TRACE = """
import os
from brevanta import waymark
os.umask(0o022)
path = waymark.save_state("acme", {"a": 1}, "interview")
os.chmod(path, 0o640)
waymark.save_state("acme", {"b": 2}, "analysis", path)
waymark.mark_complete(path)
waymark.save_state("acme", {"c": 3}, "interview")
"""

TRACED_CALL = re.compile(r"^(\d+) +(openat|fchmod|write|close)\((.*)\) += (-?\d+)")


@pytest.mark.skipif(strace_refused() is not None, reason=str(strace_refused()))
def test_no_byte_is_written_before_the_final_mode(tmp_path):
    home = tmp_path / "home"
    trace = tmp_path / "trace"
    env = {**os.environ, "CORVANE_HOME": str(home)}
    subprocess.run(["strace", "-f", "-qq", "-e", "trace=openat,fchmod,write,close", "-o", str(trace),
                    sys.executable, "-c", SAVES_UNDER_TRACE], env=env, check=True, timeout=120)
    opened = {}  # (pid, fd) -> [path, mode at creation, current mode, events]
    files = []
    for line in trace.read_text().splitlines():
        call = TRACED_CALL.match(line)
        if not call:
            continue
        pid, name, arguments, result = call.groups()
        if name == "openat" and str(home) in arguments and "O_CREAT" in arguments:
            mode = int(arguments.rsplit(", ", 1)[1], 8) & ~0o022
            opened[pid, result] = record = [arguments.split('"')[1], mode, mode, []]
            files.append(record)
            continue
        record = opened.get((pid, arguments.split(",")[0]))
        if record is None:
            continue
        if name == "close":
            del opened[pid, arguments]
        elif name == "fchmod":
            record[2] = int(arguments.split(", ")[1], 8)
        elif name == "write":
            record[3].append(record[2])
    for path, created, final_mode, writes in files:
        assert created & ~final_mode == 0, (path, oct(created), oct(final_mode))
        assert writes and all(mode == final_mode for mode in writes), (path, writes)
    assert [final_mode for _, _, final_mode, _ in files] == [0o600, 0o640, 0o640, 0o600]


def test_symlinked_session_writes_through(store, clock, tmp_path):
    real = Path(store.save_state("acme", {}, "interview"))
    link = tmp_path / "current.json"
    link.symlink_to(real)
    assert store.save_state("acme", {"x": 1}, "analysis", str(link)) == str(link)
    assert link.is_symlink() and link.resolve() == real
    assert json.loads(real.read_text())["phase"] == "analysis"
    with pytest.raises(ValueError, match="not a regular file"):   # only the store's own files are completed
        store.mark_complete(str(link))
    store.mark_complete(str(real))
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


NO_FREE_TEMPORARY_NAME = """
import os
from brevanta import waymark
waymark._ensure_dirs()
taken = [waymark.SESSIONS_DIR / f".session.tmp-{os.getpid()}-{n}" for n in range(1, 1001)]
for path in taken:
    path.touch()
try:
    waymark.save_state("acme", {}, "interview")
except FileExistsError as error:
    print(error.filename == str(taken[0]), error.filename2 == str(taken[-1]), error.strerror)
"""


def test_no_free_temporary_name_names_the_names_tried(tmp_path):
    result = run_python(NO_FREE_TEMPORARY_NAME, home=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split(maxsplit=2) == ["True", "True", "no free temporary file name\n"]


CANNOT_DROP = 97


def drop_file_permission_override():
    """Run in the child before exec: root keeps its uid but loses the capabilities that let it
    write into a directory whose mode forbids it (no-op for other users)."""
    if os.geteuid() != 0:
        return
    libc = ctypes.CDLL(None, use_errno=True)
    for capability in (1, 2, 3):  # CAP_DAC_OVERRIDE, CAP_DAC_READ_SEARCH, CAP_FOWNER
        if libc.prctl(24, capability, 0, 0, 0) != 0:  # PR_CAPBSET_DROP
            os._exit(CANNOT_DROP)


@pytest.fixture
def small_file_system(tmp_path):
    """A directory on a 256 KiB tmpfs where we may mount one, else None."""
    mount_point = tmp_path / "small"
    mount_point.mkdir()
    mounted = os.geteuid() == 0 and shutil.which("mount") is not None and subprocess.run(
        ["mount", "-t", "tmpfs", "-o", "size=256k,mode=0755", "tmpfs", str(mount_point)],
        capture_output=True).returncode == 0
    yield mount_point if mounted else None
    if mounted:
        os.chmod(mount_point, 0o755)
        subprocess.run(["umount", str(mount_point)], check=True)


UPDATE_IN_UNWRITABLE_DIRECTORY = """
import os, resource, sys
from brevanta import waymark
path, size, limit = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
if limit:
    resource.setrlimit(resource.RLIMIT_FSIZE, (limit, resource.RLIM_INFINITY))
try:
    waymark.save_state("acme", {"big": "x" * size}, "analysis", path)
    print("written")
except OSError as error:
    print(type(error).__name__, error.filename)
"""


@pytest.mark.parametrize("writer", ["disk full", "killed mid-write"])
def test_only_copy_is_never_written_in_place(tmp_path, small_file_system, writer):
    # The session file may be written but its directory may not: the update
    # is refused, whatever would have stopped an in-place write halfway.
    directory = small_file_system or tmp_path / "sessions"
    directory.mkdir(exist_ok=True)
    path = directory / "acme_20250314_090507.json"
    path.write_bytes(session_text("acme", "interview", {"a": 1}))
    before = path.read_bytes()
    limit = 0
    if writer == "disk full" and small_file_system:
        filler = os.open(directory / "filler", os.O_WRONLY | os.O_CREAT)
        with pytest.raises(OSError):
            while True:
                os.write(filler, b"\0" * 4096)
        os.close(filler)
    elif writer == "disk full":
        limit = len(before) + 64
    os.chmod(directory, 0o555)
    size = 100_000 if writer == "disk full" else 200_000_000
    env = {**os.environ, "CORVANE_HOME": str(tmp_path / "home")}
    child = subprocess.Popen([sys.executable, "-c", UPDATE_IN_UNWRITABLE_DIRECTORY, str(path), str(size), str(limit)],
                             env=env, stdout=subprocess.PIPE, text=True, preexec_fn=drop_file_permission_override)
    if writer == "killed mid-write":
        while child.poll() is None and path.stat().st_size == len(before):
            time.sleep(0.001)
        child.kill()
    output = child.communicate(timeout=120)[0]
    os.chmod(directory, 0o755)
    if child.returncode == CANNOT_DROP:
        pytest.skip("root cannot give up its file permission override here")
    assert path.read_bytes() == before
    if output:
        assert output.split() == ["PermissionError", str(directory)]


def test_fifo_session_file_with_a_reader_thread(tmp_path):
    # Opening a FIFO blocks until a reader comes; the reader is a thread of
    # the same process, so the open must let it run.
    fifo = tmp_path / "pipe.json"
    os.mkfifo(fifo)
    code = textwrap.dedent("""
        import sys, threading, time
        from pathlib import Path
        from brevanta import waymark
        received = []
        def read():
            time.sleep(0.2)  # the save is waiting in its open by now
            received.append(Path(sys.argv[1]).read_bytes())
        reader = threading.Thread(target=read)
        reader.start()
        waymark.save_state("acme", {"a": 1}, "interview", sys.argv[1])
        reader.join()
        sys.stdout.buffer.write(received[0])
    """)
    result = run_python(code, fifo, home=tmp_path / "home", timeout=30)
    assert result.returncode == 0, result.stderr
    assert b'"state": {\n    "a": 1\n  }' in result.stdout.encode()


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
    store._ensure_dirs()
    path = store.SESSIONS_DIR / "s.json"
    if content is not None:
        path.write_bytes(content)
    assert store.mark_complete(str(path)) is None
    assert (path.read_bytes() if content is not None else path.exists()) == (content if content else False)


def test_mark_complete_of_a_json_array(store, tmp_path):
    store._ensure_dirs()
    path = store.SESSIONS_DIR / "s.json"
    path.write_text("[1]")
    with pytest.raises(TypeError, match="list indices must be integers or slices, not str"):
        store.mark_complete(str(path))
    assert path.read_text() == "[1]"
