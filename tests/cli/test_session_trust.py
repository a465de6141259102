"""Sessions a user can rely on: bound to their interview text, held by one run at a time, never paid
for twice after end of input, and a store that acts only on its own files."""

import json
import os
import re
import subprocess
import time
from pathlib import Path

import pytest
from support import tampered

from brevanta import gapscope

REPLAY = Path(__file__).resolve().parents[2] / "examples" / "replay"
DECISION = "[a]nswer, [b]ypass, or [l]eave open for later? "
MENU = "Your choice [1/2/3]: "
CONFIRM = "This gap is critical: bypass it anyway? [y/N] "
REVIEW = "Change a decision? Type its number, or press Enter to go on: "
ANALYSIS_ONLY = ("--replay", "examples/replay/analysis.md")  # no replies for the documents: the run stops there
FULL_REPLAY = ("--replay", "examples/replay")
# What a terminal would act on, or what hides what a line says.
RAW = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\u061c\u200b-\u200f\u202a-\u202e\u2060-\u2064\u2066-\u2069\ufeff"
                 "\ud800-\udfff]")


def unfinished_run(brevanta, interview, *options, stdin=""):
    """A run that saves its analysis and stops at the documents (no reply for them), leaving its session unfinished."""
    done = brevanta.run("analyze", interview, *ANALYSIS_ONLY, "--yes", *options, stdin=stdin)
    assert done.returncode == 1 and "brevanta: " in done.stderr, done.stdout + done.stderr
    return done


@pytest.mark.parametrize("case", ["stdin", "org", "edited"])
def test_a_session_is_resumed_only_for_its_own_interview(brevanta, example_interview, case):
    other = example_interview.replace("Tarang", "Saarthi")
    (brevanta.cwd / "a.md").write_text(example_interview, encoding="utf-8")
    (brevanta.cwd / "b.md").write_text(other, encoding="utf-8")
    first, second, options = {
        "stdin": (("-", example_interview), ("-", other), ()),
        "org": (("a.md", ""), ("b.md", ""), ("--org", "acme")),
        "edited": (("a.md", ""), ("a.md", ""), ()),
    }[case]
    unfinished_run(brevanta, first[0], *options, stdin=first[1])
    if case == "edited":
        (brevanta.cwd / "a.md").write_text(other, encoding="utf-8")
    done = brevanta.run("analyze", second[0], *FULL_REPLAY, "--yes", *options, stdin=second[1])
    assert done.returncode == 0, done.stderr

    assert "Resume the session" not in done.stdout
    assert "Round 1 was analysed in an earlier run" not in done.stdout  # the other text's analysis is never used
    assert "› Analysing " in done.stdout
    sessions = brevanta.sessions()
    if case == "edited":  # the same session, analysed again for the new text
        assert "! The interview changed since this session was saved: " in done.stdout
        (session,) = sessions
        assert session["state"]["interview_text"] == other
    else:  # a session of its own
        assert len(sessions) == 2
        assert {session["state"]["interview_text"] for session in sessions} == {example_interview, other}
        assert len({session["org_id"] for session in sessions}) == (1 if case == "org" else 2)
    for session in sessions:
        assert session["state"]["interview_sha256"] == __import__("hashlib").sha256(
            session["state"]["interview_text"].encode()).hexdigest()


@pytest.mark.parametrize("first, second, names", [
    (("interviews/Acme Corp.md", ""), ("interviews/Acme Corp.md", ""), ["acme-corp"]),
    # Two files of one name in two folders: the second one's organisation gets a short hash.
    (("a/interview.md", ""), ("b/interview.md", ""), ["interview", "interview-[0-9a-f]{6}"]),
    # Standard input: named after the first heading.
    (("-", "# Interview: Tarang Living\n\nWe want a bot."), ("-", "# Interview: Tarang Living\n\nWe want a bot."),
     ["tarang-living"]),
])
def test_without_org_the_organisation_is_named_after_the_interview(brevanta, example_interview, first, second,
                                                                   names):
    for path, _ in (first, second):
        if path != "-":  # two files of one name hold two interviews
            (brevanta.cwd / path).parent.mkdir(exist_ok=True)
            (brevanta.cwd / path).write_text(example_interview + ("" if path.startswith("a/") else "\nMore."),
                                             encoding="utf-8")
    unfinished_run(brevanta, first[0], stdin=first[1])
    unfinished_run(brevanta, second[0], stdin=second[1])
    orgs = sorted({session["org_id"] for session in brevanta.sessions()})
    assert len(orgs) == len(names) and all(re.fullmatch(name, org) for name, org in zip(names, orgs)), orgs
    assert len(brevanta.sessions()) == len(names)  # the same interview resumed its session
    if second[0] != "-":  # the file names its organisation for the listing too
        listed = brevanta.run("sessions", second[0])
        assert listed.returncode == 0 and listed.stdout.count("\n        ") == 1, listed.stdout


def test_standard_input_on_a_terminal_says_what_it_waits_for(brevanta):
    terminal = brevanta.terminal("analyze", "-", *FULL_REPLAY, "--yes")
    terminal.expect("Paste the interview, then press Ctrl-D on a line of its own to end it.\n")
    terminal.send("# Interview: Acme support bot\n\nWe want a bot.")
    terminal.end_input()
    assert terminal.wait() == 0
    (session,) = brevanta.sessions()
    assert session["org_id"] == "acme-support-bot"
    assert session["state"]["interview_text"] == "# Interview: Acme support bot\n\nWe want a bot.\n"


def test_a_session_saved_under_the_earlier_uuid_is_still_found_and_resumed(brevanta, example_interview):
    from brevanta.pipeline.interview import legacy_org_id

    legacy = legacy_org_id(str(brevanta.cwd / "examples" / "interview.md"), "")
    unfinished_run(brevanta, "examples/interview.md", "--org", legacy)  # as earlier versions named it
    done = brevanta.run("analyze", "examples/interview.md", *FULL_REPLAY, "--yes")
    assert done.returncode == 0, done.stderr
    assert "› Resuming at the documents" in done.stdout and "› Analysing" not in done.stdout  # not paid again
    (session,) = brevanta.sessions()
    assert session["org_id"] == legacy and session["phase"] == "complete"
    listed = brevanta.run("sessions", "examples/interview.md")
    assert "Completed sessions, newest first:" in listed.stdout and legacy[:8] in listed.stdout
    rendered = brevanta.run("render", "examples/interview.md")
    assert rendered.returncode == 0, rendered.stderr


def test_a_second_run_of_a_held_session_is_refused_and_changes_nothing(brevanta):
    first = brevanta.terminal("analyze", "examples/interview.md", *FULL_REPLAY)
    first.expect(MENU)
    first.send("2")
    first.expect(DECISION)
    first.send("a")
    first.expect("  > ")
    first.send("Hourly.")
    first.expect("  > ")
    first.send("")
    first.expect(DECISION)  # gap 2: the answer to gap 1 is saved, the run waits
    (path,) = brevanta.session_files()
    saved = path.read_bytes()

    second = brevanta.terminal("analyze", "examples/interview.md", *FULL_REPLAY)
    screen = second.expect("Start a new session instead? [y/N] ")
    assert re.search(rf"! The session {re.escape(path.name)} is in use by process {first.process.pid} since "
                     r"\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.", screen)
    second.send("")
    assert second.wait() == 3, second.screen
    assert f"brevanta: the session {path.name} is in use by process {first.process.pid} since " in second.screen
    unattended = brevanta.run("analyze", "examples/interview.md", *FULL_REPLAY, "--yes")
    assert unattended.returncode == 3, unattended.stdout + unattended.stderr
    assert path.read_bytes() == saved and brevanta.session_files() == [path]
    assert not (brevanta.cwd / "interview").exists()  # no document was paid for or written

    for gap_number in range(2, 8):
        first.send("b")
        if gap_number <= 3:
            first.expect(CONFIRM)
            first.send("y")
        if gap_number < 7:
            first.expect(DECISION)
    first.expect(REVIEW)
    first.send("")
    assert first.wait() == 0, first.screen
    (session,) = brevanta.sessions()
    assert session["phase"] == "complete"
    assert [(a["gap_id"], a["answer"]) for a in session["state"]["interview_answers"]] == [("gap_1", "Hourly.")]
    assert sorted(p.name for p in (brevanta.cwd / "interview").iterdir()) == ["PRD.md", "TRD.md"]


def analysis_requests(server):
    return [request for request in server.requests
            if isinstance(content := request.body["messages"][0]["content"], str)
            and content.startswith(gapscope.ANALYSIS_PROMPT[:40])]


def reach(terminal, where):
    """Drives a new run on the example interview to the prompt `where`."""
    terminal.expect(MENU)
    if where == "menu":
        return
    terminal.send("2")
    terminal.expect(DECISION)
    if where == "decision":
        return
    terminal.send("a" if where == "answer" else "b")
    terminal.expect("  > " if where == "answer" else CONFIRM)


@pytest.mark.parametrize("where", ["menu", "decision", "answer", "confirm", "resume", "review"])
def test_end_of_input_at_any_prompt_keeps_the_analysis_for_the_rerun(brevanta, messages_server, where):
    # The runs on the terminal replay the analysis; the rerun asks the model service, which logs any
    # analysis asked for again.
    terminal = brevanta.terminal("analyze", "examples/interview.md", *ANALYSIS_ONLY)
    if where in ("resume", "review"):  # an earlier run bypassed gap 1 and stopped at gap 2
        reach(terminal, "confirm")
        terminal.send("y")
        terminal.expect(DECISION)
        terminal.send("\x04")
        assert terminal.wait() == 0, terminal.screen
        terminal = brevanta.terminal("analyze", "examples/interview.md", *ANALYSIS_ONLY)
        terminal.expect("[Y/n] ")
        if where == "review":
            terminal.send("y")
            terminal.expect(REVIEW)
    else:
        reach(terminal, where)
    terminal.send("\x04")
    terminal.expect("End of input: ")
    assert terminal.wait() == 0, terminal.screen
    assert len(brevanta.session_files()) == 1

    for kind in ("prd", "trd"):
        messages_server.reply_text((REPLAY / f"{kind}.md").read_text(encoding="utf-8"))
    env = {"ANTHROPIC_BASE_URL": messages_server.base_url, "ANTHROPIC_API_KEY": "test-key"}
    done = brevanta.run("analyze", "examples/interview.md", "--yes", **env)
    assert done.returncode == 0, done.stdout + done.stderr
    assert "› Round 1 was analysed in an earlier run: using that analysis." in done.stdout
    assert analysis_requests(messages_server) == []  # paid for once, by the first run
    (session,) = brevanta.sessions()
    bypassed_first = where in ("resume", "review")
    assert session["phase"] == "complete" and len(session["state"]["bypassed_gaps"]) == 7
    assert session["state"]["bypassed_gaps"][0]["title"] == "Real-time bed availability" or not bypassed_first


@pytest.fixture
def store(brevanta):
    """A session home with one archived session, and a folder outside it."""
    unfinished_run(brevanta, "examples/interview.md")
    (session,) = brevanta.session_files()
    archive = brevanta.home / "sessions" / "archive"
    archive.mkdir(parents=True, exist_ok=True)
    archived = archive / session.name
    os.rename(session, archived)
    outside = brevanta.cwd / "outside"
    outside.mkdir()
    (outside / "victim.json").write_text('{"org_id": "x", "phase": "analysis", "state": {}}', encoding="utf-8")
    return archived, outside


def snapshot(*folders):
    """Every entry under the folders, links as their targets, files as their bytes."""
    seen = {}
    for folder in folders:
        for path in sorted(Path(folder).rglob("*")):
            seen[str(path)] = (os.readlink(path) if path.is_symlink()
                               else path.read_bytes() if path.is_file() else path.is_dir())
    return seen


@pytest.mark.parametrize("case", tampered.RESTORE_CASES)
def test_restore_takes_only_a_regular_file_directly_in_the_archive(brevanta, store, case):
    archived, outside = store
    named = tampered.plant(case, archived.parent, outside, archived)
    before = snapshot(brevanta.home, outside)

    listed = brevanta.run("sessions")  # never opens the FIFO or follows a link: no hang
    assert listed.returncode == 0, listed.stderr
    assert listed.stdout.count("\n        ") == 1 and str(archived) in listed.stdout
    refused = brevanta.run("sessions", "--restore", named)
    assert refused.returncode == 2, refused.stdout + refused.stderr
    assert f"no archived session {named}" in refused.stderr
    assert snapshot(brevanta.home, outside) == before  # nothing inside or outside the store changed


def test_sessions_without_a_filter_lists_every_organisation(brevanta, example_interview):
    for org in ("beta", "alpha"):
        unfinished_run(brevanta, "examples/interview.md", "--org", org)
    done = brevanta.run("sessions")
    assert done.returncode == 0, done.stderr
    assert re.search(r"\n› Organisation alpha:\n› Unfinished sessions, newest first:\n.*\n.*alpha_\d+_\d+\.json\n"
                     r"› Completed sessions: none.\n› Archived sessions: none.\n\n› Organisation beta:\n"
                     r"› Unfinished sessions, newest first:\n.*\n.*beta_", done.stdout), done.stdout


def test_a_completed_session_is_reopened_its_decisions_changed_and_the_documents_written_again(brevanta):
    done = brevanta.run("analyze", "examples/interview.md", *FULL_REPLAY, "--yes")
    assert done.returncode == 0, done.stderr
    documents = brevanta.cwd / "interview"
    first_prd = (documents / "PRD.md").read_bytes()

    terminal = brevanta.terminal("analyze", "examples/interview.md", *FULL_REPLAY, "--reopen")
    screen = terminal.expect(REVIEW)
    assert "› Reopened the session of interview.md saved " in screen
    assert "\n  1. Real-time bed availability: bypassed\n  2. Hand-off to the sales team: bypassed\n" in screen
    question = json.loads(gapscope._extract_json((REPLAY / "analysis.md").read_text(encoding="utf-8")))["gaps"][0]["question"]
    terminal.send("1")
    terminal.expect("[a]nswer the gap, [r]eopen it, or [k]eep the bypass? ")
    terminal.send("answer")
    assert f"\n  Question: {question}\n" in terminal.expect("an empty line ends it):")
    terminal.send("Updated hourly.\n")
    screen = terminal.expect(REVIEW)  # the bypass is now an answer
    assert '\n  1. Real-time bed availability: answered "Updated hourly."\n  2. Hand-off to the sales team: bypassed\n' \
        in screen
    terminal.send("1")  # edited with the question and the whole answer in sight
    terminal.expect("[e]dit the answer, [r]eopen the gap, or [k]eep it? ")
    terminal.send("e")
    screen = terminal.expect("an empty line ends it):")
    assert f"\n  Question: {question}\n  The answer now:\n  | Updated hourly.\n" in screen
    terminal.send("Updated hourly.\nHeld for 4 hours.\n")
    terminal.expect(REVIEW)
    terminal.send("2")
    terminal.expect("[a]nswer the gap, [r]eopen it, or [k]eep the bypass? ")
    terminal.send("r")
    terminal.expect("› Reopened: Hand-off to the sales team.")
    terminal.expect(REVIEW)
    terminal.send("")
    terminal.expect(MENU)  # the reopened gap is open again
    terminal.send("2")
    assert "\n  Gap 2: Hand-off to the sales team\n" in terminal.expect(DECISION)
    terminal.send("a")
    terminal.expect("an empty line ends it):")
    terminal.send("Sales managers in Pune take over.\n")
    terminal.expect(REVIEW)  # before the documents
    terminal.send("")
    assert terminal.wait() == 0, terminal.screen

    (session,) = brevanta.sessions()
    assert session["phase"] == "complete"
    assert [(a["gap_id"], a["answer"]) for a in session["state"]["interview_answers"]] == [
        ("gap_1", "Updated hourly.\nHeld for 4 hours."), ("gap_2", "Sales managers in Pune take over.")]
    assert len(session["state"]["bypassed_gaps"]) == 5
    assert sorted(p.name for p in documents.iterdir()) == ["PRD.md", "PRD.md.~1~", "TRD.md", "TRD.md.~1~"]
    assert (documents / "PRD.md.~1~").read_bytes() == first_prd


@pytest.mark.parametrize("kind", list(tampered.KINDS))
def test_a_tampered_session_file_never_gives_a_traceback(brevanta, kind):
    """Listed, resumed, rendered and reopened: each command either uses the session as far as it can be
    read, passes over it as not a session, or ends with one line; never a traceback."""
    sessions = brevanta.home / "sessions"
    (sessions / "archive").mkdir(parents=True)
    path = sessions / tampered.NAME
    path.write_bytes(tampered.tampered_bytes(kind, str(brevanta.cwd / "examples" / "interview.md")))
    (sessions / "archive" / tampered.NAME).write_bytes(path.read_bytes())
    steps = [("sessions",), ("sessions", "--org", tampered.ORG), ("render", "--org", tampered.ORG, *FULL_REPLAY),
             ("sessions", "--reopen", tampered.NAME), ("sessions", "--restore", tampered.NAME),
             ("analyze", "examples/interview.md", "--org", tampered.ORG, *FULL_REPLAY, "--yes")]
    for step in steps:
        done = brevanta.run(*step)  # fails on a traceback or an exception out of the command
        assert done.returncode in (0, 1, 2, 3), (step, done.stdout, done.stderr)
        assert len(done.stderr.strip().splitlines()) <= 2, (step, done.stderr)  # one line, and a hint
        assert not RAW.search(done.stdout + done.stderr), (step, done.stdout + done.stderr)


def test_a_gap_that_is_not_an_object_is_passed_over_by_the_gap_walk(brevanta):
    session = tampered.base_session(str(brevanta.cwd / "examples" / "interview.md"))
    session["phase"] = "analysis"
    session["state"]["bypassed_gaps"] = []
    session["state"]["analysis"]["result"]["gaps"].insert(0, "a plain string")
    sessions = brevanta.home / "sessions"
    sessions.mkdir(parents=True)
    (sessions / tampered.NAME).write_text(json.dumps(session), encoding="utf-8")
    terminal = brevanta.terminal("analyze", "examples/interview.md", "--org", tampered.ORG, *ANALYSIS_ONLY)
    terminal.expect("[Y/n] ")
    terminal.send("y")
    terminal.expect(MENU)  # the report and its ways forward, over the gaps that are objects
    terminal.send("2")
    assert "Gap 1: Real-time bed availability" in terminal.expect(DECISION)
    terminal.send("\x04")
    assert terminal.wait() == 0, terminal.screen


@pytest.mark.parametrize("kind", ["fifo", "link", "directory"])
def test_a_lock_file_that_is_not_a_file_is_one_line_never_a_hang(brevanta, kind):
    sessions = brevanta.home / "sessions"
    sessions.mkdir(parents=True)
    path = sessions / tampered.NAME
    path.write_text(json.dumps(
        tampered.base_session(str(brevanta.cwd / "examples" / "interview.md"))), encoding="utf-8")
    lock = sessions / (tampered.NAME + ".lock")
    {"fifo": os.mkfifo, "link": lambda at: at.symlink_to("/etc/passwd"), "directory": os.mkdir}[kind](lock)
    saved = path.read_bytes()
    done = brevanta.run("analyze", "examples/interview.md", "--org", tampered.ORG, *FULL_REPLAY, "--yes")
    assert done.returncode == 3, done.stdout + done.stderr
    assert done.stderr == (f"brevanta: the session {tampered.NAME} cannot be taken: its lock file {lock} is not a "
                           "regular file; remove it and try again\n")
    assert path.read_bytes() == saved and os.path.lexists(lock)


def test_temporary_files_of_killed_writers_are_removed_by_the_next_write(brevanta):
    killed = subprocess.Popen(["sleep", "60"])
    killed.kill()
    killed.wait()
    gone, alive = killed.pid, os.getpid()
    sessions, documents = brevanta.home / "sessions", brevanta.cwd / "acme"
    sessions.mkdir(parents=True)
    documents.mkdir()
    planted = {  # name: (folder, age in seconds, removed)
        f".acme_20261201_100000.json.tmp-{gone}-1": (sessions, 600, True),
        f".acme_20261201_100000.json.tmp-{gone}-2": (sessions, 10, False),  # may still be being written
        f".acme_20261201_100000.json.tmp-{alive}-3": (sessions, 600, False),  # its writer is running
        f".PRD.md.tmp-{gone}-k2j4h5g6": (documents, 600, True),
        ".PRD.md.ab_cd123.tmp": (documents, 600, True),  # an earlier version's, without its writer
        ".notes.tmp": (documents, 600, False),  # not a name of ours
    }
    for name, (folder, age, _) in planted.items():
        (folder / name).write_text("{", encoding="utf-8")
        os.utime(folder / name, (time.time() - age, time.time() - age))
    done = brevanta.run("analyze", "examples/interview.md", "--org", "acme", *FULL_REPLAY, "--yes")
    assert done.returncode == 0, done.stderr
    for name, (folder, _, removed) in planted.items():
        assert (folder / name).exists() is not removed, name


def test_an_interview_another_run_is_analysing_is_waited_for_then_its_session_offered(brevanta):
    from brevanta.pipeline.interview import text_sha256
    from brevanta.pipeline.lock import InterviewLock

    sessions = brevanta.home / "sessions"
    sessions.mkdir(parents=True)
    interview = brevanta.cwd / "examples" / "interview.md"
    other_run = InterviewLock.acquire(sessions, text_sha256(interview.read_text(encoding="utf-8")))
    try:
        unattended = brevanta.run("analyze", "examples/interview.md", "--org", tampered.ORG, *FULL_REPLAY, "--yes")
        assert unattended.returncode == 3 and brevanta.session_files() == []
        assert re.fullmatch(r"brevanta: this interview is being analysed by another task of this process \(\d+\) "
                            r"since \S+ \S+\nRun the command again once that analysis is saved: its session is "
                            r"offered then\.\n", unattended.stderr), unattended.stderr
        terminal = brevanta.terminal("analyze", "examples/interview.md", "--org", tampered.ORG, *FULL_REPLAY)
        screen = terminal.expect("Wait for it, then take up its session? [Y/n] ")
        assert f"! This interview is being analysed by process {os.getpid()} since " in screen
        terminal.send("")
        time.sleep(0.5)
        # The other run saves its session, and lets the interview go.
        (sessions / tampered.NAME).write_text(json.dumps(tampered.base_session(str(interview))), encoding="utf-8")
    finally:
        other_run.release()
    terminal.expect("Resume the session of ")
    terminal.send("\x04")
    assert terminal.wait() == 0, terminal.screen
    assert brevanta.session_files() == [sessions / tampered.NAME]
