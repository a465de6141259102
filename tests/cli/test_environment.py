"""Faults of the machine and the settings: each ends with one line `brevanta: ...` (and what to do) and a
documented status, before anything is asked, archived or paid for; never with a traceback."""

import json
import logging
import os
import shutil
import signal
import subprocess
import sys
from pathlib import Path

import pytest

from brevanta import config, waymark

REPLAY = Path(__file__).resolve().parents[2] / "examples" / "replay"

TIMEOUT = 60

DIRECT = ("analyze", "examples/interview.md", "--yes")


def _namespaces_work() -> bool:
    if shutil.which("unshare") is None:
        return False
    return subprocess.run(["unshare", "-rm", "true"], capture_output=True).returncode == 0


NAMESPACES = pytest.mark.skipif(not _namespaces_work(), reason="needs user and mount namespaces (unshare -rm)")

# Runs the command with CORVANE_HOME bound read-only onto itself, in a private mount namespace.
READ_ONLY = ('mount --bind "$CORVANE_HOME" "$CORVANE_HOME" && mount -o remount,bind,ro "$CORVANE_HOME" '
             '&& exec "$@"')
UNUSABLE = "Set CORVANE_HOME to a directory you can write (the session home now is {home}).\n"
BAD_SETTING = "Correct the variable or unset it.\n"


def home_is_a_file(home):
    home.write_text("")
    return []


def read_only(home):
    (home / "sessions").mkdir(parents=True)  # the store exists: the paid call must not come first
    return ["unshare", "-rm", "sh", "-c", READ_ONLY, "sh"]


def read_only_parent(home):
    """The home does not exist yet, and the file system it would be made on is read-only."""
    home.mkdir()
    return ["unshare", "-rm", "sh", "-c", READ_ONLY.replace('"$CORVANE_HOME"', '"${CORVANE_HOME%/*}"'), "sh"]


def not_writable(home):
    (home / "sessions").mkdir(parents=True)
    (home / "sessions").chmod(0o500)
    return ["unshare", "-U"]  # a user namespace without privileges: the permission bits hold, even for root


def as_it_is(home):
    return []


# name: (prepare the home -> argv prefix, home under tmp_path, settings, status, stderr)
CASES = {
    "home is a file": (home_is_a_file, "home", {}, 3,
                       "brevanta: cannot use the session directory {home}/sessions: "
                       "a file stands where a directory is needed\n" + UNUSABLE),
    "parent is a file": (home_is_a_file, "home/corvane", {}, 3,
                         "brevanta: cannot use the session directory {home}/corvane/sessions: "
                         "a file stands where a directory is needed\n" + UNUSABLE.replace("{home}", "{home}/corvane")),
    "read-only": (read_only, "home", {}, 3, "brevanta: cannot use the session directory {home}/sessions: "
                  "the file system is read-only\n" + UNUSABLE),
    "home on a read-only file system": (read_only_parent, "home/corvane", {}, 3,
                                        "brevanta: cannot use the session directory {home}/corvane/sessions: "
                                        "the file system is read-only\n" + UNUSABLE.replace("{home}", "{home}/corvane")),
    "not writable": (not_writable, "home", {}, 3, "brevanta: cannot use the session directory {home}/sessions: "
                     "permission denied\n" + UNUSABLE),
    "missing parent": (as_it_is, "new/parents/home", {}, 0, ""),
    "tokens not a number": (as_it_is, "home", {"BREVANTA_MAX_TOKENS_ANALYSIS": "abc"}, 3,
                            "brevanta: BREVANTA_MAX_TOKENS_ANALYSIS must be a whole number from 1 to 128000, got 'abc'\n" + BAD_SETTING),
    "zero timeout": (as_it_is, "home", {"BREVANTA_REQUEST_TIMEOUT": "0"}, 3,
                     "brevanta: BREVANTA_REQUEST_TIMEOUT must be a number of seconds above 0 and at most 86400 (a day), got '0'\n"
                     + BAD_SETTING),
    "timeout in words": (as_it_is, "home", {"BREVANTA_REQUEST_TIMEOUT": "soon"}, 3,
                         "brevanta: BREVANTA_REQUEST_TIMEOUT must be a number of seconds above 0 and at most 86400 (a day), "
                         "got 'soon'\n"
                         + BAD_SETTING),
    "negative retries": (as_it_is, "home", {"BREVANTA_REQUEST_RETRIES": "-1"}, 3,
                         "brevanta: BREVANTA_REQUEST_RETRIES must be a whole number from 0 to 10, got '-1'\n"
                         + BAD_SETTING),
    "interview limit in words": (as_it_is, "home", {"BREVANTA_MAX_INTERVIEW_TOKENS": "lots"}, 3,
                                 "brevanta: BREVANTA_MAX_INTERVIEW_TOKENS must be a whole number from 1 to 1000000, got 'lots'\n"
                                 + BAD_SETTING),
    "no document tokens": (as_it_is, "home", {"BREVANTA_MAX_TOKENS_DOCUMENT": "0"}, 3,
                           "brevanta: BREVANTA_MAX_TOKENS_DOCUMENT must be a whole number from 1 to 128000, got '0'\n"
                           + BAD_SETTING),
    "timeout beyond a day": (as_it_is, "home", {"BREVANTA_REQUEST_TIMEOUT": "1e300"}, 3,
                             "brevanta: BREVANTA_REQUEST_TIMEOUT must be a number of seconds above 0 and at most "
                             "86400 (a day), got '1e300'\n" + BAD_SETTING),
    "more tokens than a model writes": (as_it_is, "home", {"BREVANTA_MAX_TOKENS_ANALYSIS": "9" * 20}, 3,
                                        "brevanta: BREVANTA_MAX_TOKENS_ANALYSIS must be a whole number from 1 to "
                                        f"128000, got '{'9' * 20}'\n" + BAD_SETTING),
    "home of an unknown user": (as_it_is, "home", {"CORVANE_HOME": "~nouser/x"}, 3,
                                "brevanta: CORVANE_HOME names the home directory of an unknown user, got '~nouser/x'\n"
                                + BAD_SETTING),
    "home name too long": (as_it_is, "home", {"CORVANE_HOME": "/tmp/" + "h" * 256}, 3,
                           "brevanta: CORVANE_HOME is too long: it holds a name of 256 bytes, and a name takes at "
                           "most 255\n" + BAD_SETTING),
    "home path too long": (as_it_is, "home", {"CORVANE_HOME": "/tmp" + "/h" * 2000}, 3,
                           "brevanta: CORVANE_HOME is too long: a path of 4004 bytes, and it takes at most 3839\n"
                           + BAD_SETTING),
}
MARKS = {"read-only": [NAMESPACES], "home on a read-only file system": [NAMESPACES], "not writable": [NAMESPACES]}


@pytest.mark.parametrize(
    ("prepare", "home_path", "settings", "status", "stderr"),
    [pytest.param(*case, id=name, marks=MARKS.get(name, [])) for name, case in CASES.items()],
)
def test_environment_fault(brevanta, messages_server, tmp_path, example_reply, prepare, home_path, settings,
                           status, stderr):
    home = tmp_path / home_path
    prefix = prepare(tmp_path / "home")
    messages_server.reply_text(example_reply)
    for kind in ("prd", "trd"):
        messages_server.reply_text((REPLAY / f"{kind}.md").read_text(encoding="utf-8"))
    env = {"CORVANE_HOME": str(home), "ANTHROPIC_BASE_URL": messages_server.base_url, "ANTHROPIC_API_KEY": "test-key",
           **settings}
    if prefix:  # in a namespace of its own
        done = subprocess.run([*prefix, *brevanta.argv(*DIRECT)], env={**brevanta.env, **env}, cwd=brevanta.cwd,
                              capture_output=True, text=True, timeout=TIMEOUT)
    else:
        done = brevanta.run(*DIRECT, **env)
    assert (done.returncode, done.stderr) == (status, stderr.format(home=tmp_path / "home"))
    if status:
        assert messages_server.requests == [] and "Analysing" not in done.stdout  # nothing paid for, nothing shown
    else:
        assert list((home / "sessions").glob("*.json"))
    if settings:  # the help answers whatever the settings hold, and the other commands report them alike
        assert brevanta.run("analyze", "--help", **settings).returncode == 0
        for command in (["sessions"], ["sessions", "--restore", "x.json"]):
            done = brevanta.run(*command, **settings)
            assert (done.returncode, done.stderr) == (status, stderr.format(home=tmp_path / "home"))


@NAMESPACES
def test_full_disk_during_a_save_keeps_the_previous_session(brevanta, tmp_path):
    """The resumed session is rewritten after the analysis, on a small file system filled up just before."""
    org = "acme-disk"
    name = f"{waymark._safe_org_id(org)}_20260101_090000.json"
    saved = {"org_id": org, "phase": "analysis", "saved_at": "2026-01-01T09:00:00",
             "state": {"interview_answers": [], "round": 1, "bypassed_gaps": []}}
    (tmp_path / "seed.json").write_text(json.dumps(saved), encoding="utf-8")
    home = tmp_path / "home"
    home.mkdir()
    script = ('mount -t tmpfs -o size=256k tmpfs "$CORVANE_HOME" && mkdir -p "$CORVANE_HOME/sessions/archive" '
              f'&& cp "{tmp_path}/seed.json" "$CORVANE_HOME/sessions/{name}" '
              '&& { dd if=/dev/zero of="$CORVANE_HOME/filler" bs=1k 2>/dev/null; status=0; "$@" || status=$?; '
              f'echo "::status $status"; ls -A "$CORVANE_HOME/sessions"; cat "$CORVANE_HOME/sessions/{name}"; }}')
    argv = brevanta.argv("analyze", "examples/interview.md", "--replay", "examples/replay", "--org", org, "--yes")
    done = subprocess.run(["unshare", "-rm", "sh", "-c", script, "sh", *argv], cwd=brevanta.cwd, capture_output=True,
                          text=True, timeout=TIMEOUT, env={**brevanta.env, "CORVANE_HOME": str(home)})
    assert done.stderr == (f"brevanta: cannot save the session in {home}/sessions: the disk is full\n"
                           "The last saved session file is unchanged. Fix the cause and run the command again: "
                           "it goes on from the last saved step.\n")
    after = done.stdout.split("::status ", 1)[1].splitlines()
    assert after[0] == "3"
    assert sorted(after[1:3]) == sorted(["archive", name])  # no half-written file beside it
    assert json.loads("\n".join(after[3:])) == saved


def test_closed_output_ends_quietly(brevanta):
    reader, writer = os.pipe()
    os.close(reader)  # as `| head -1` does once it has its line
    try:
        done = subprocess.run(brevanta.argv("analyze", "examples/interview.md", "--replay", "examples/replay",
                                            "--yes"), stdout=writer, stderr=subprocess.PIPE, text=True,
                              env=brevanta.env, cwd=brevanta.cwd, timeout=TIMEOUT)
    finally:
        os.close(writer)
    assert (done.returncode, done.stderr) == (141, "")


def test_output_the_terminal_cannot_encode_gets_replacement_marks(brevanta, example_reply):
    done = brevanta.run("analyze", "examples/interview.md", "--replay", "examples/replay", "--yes",
                        PYTHONIOENCODING="ascii")
    assert (done.returncode, done.stderr) == (0, "")
    assert "\N{INDIAN RUPEE SIGN}" in example_reply
    assert done.stdout.isascii() and "?" in done.stdout
    assert "Session complete" in done.stdout


def test_sessions_command_on_a_home_that_is_a_file(brevanta, tmp_path):
    home_is_a_file(tmp_path / "home")
    done = brevanta.run("sessions", "--org", "acme")
    assert (done.returncode, done.stderr) == (3, f"brevanta: cannot list the sessions in {tmp_path}/home/sessions: "
                                                 "a file stands where a directory is needed\n"
                                                 "Check CORVANE_HOME and the disk.\n")


def test_an_in_process_run_leaves_the_process_as_it_was(brevanta):
    def process():
        return (dict(os.environ), config.CORVANE_HOME, waymark.SESSIONS_DIR, waymark.ARCHIVE_DIR, sys.stdout,
                sys.argv, os.getcwd(), [signal.getsignal(signum) for signum in (signal.SIGINT, signal.SIGTERM)],
                logging.getLogger().handlers[:])

    before = process()
    done = brevanta.run("analyze", "examples/interview.md", "--replay", "examples/replay", "--yes",
                        BREVANTA_MAX_TOKENS_DOCUMENT="20000")
    assert (done.returncode, done.stderr) == (0, "")
    assert len(brevanta.session_files()) == 1  # the run's own home was used
    assert process() == before
