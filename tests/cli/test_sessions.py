"""Interactive runs on a pseudo-terminal and the session across runs: saved, interrupted,
resumed, declined and archived."""

import json
import re

import pytest

DECISION = "[a]nswer, [b]ypass, or [l]eave open for later? "
REPLAY = ("analyze", "examples/interview.md", "--replay", "examples/reply.md")
GAP_COUNT = 7


def test_interactive_run_answers_one_gap_and_bypasses_another(brevanta):
    terminal = brevanta.terminal(*REPLAY, "--org", "tarang")
    screen = terminal.expect(DECISION)
    assert "\n  Gap 1: Real-time bed availability\n  Impact: CRITICAL\n" in screen
    assert "\n    PRD impact: Section 5 (Property recommendations)" in screen
    assert "\n  Question: How current is bed-level availability" in screen
    terminal.send("maybe")
    terminal.expect("Please type a, b or l.")
    terminal.expect(DECISION)
    terminal.send("a")
    terminal.expect("Your answer: ")
    terminal.send("")
    terminal.expect("An empty answer tells the model nothing")
    terminal.expect("Your answer: ")
    terminal.send("Updated hourly by property managers; holds last 4 hours.")
    assert "\n  Gap 2: Hand-off to the sales team\n" in terminal.expect(DECISION)
    terminal.send("b")
    terminal.expect(DECISION)
    terminal.send("\x04")  # end of input at the third gap
    terminal.expect("End of input: the remaining gaps stay open.")
    assert terminal.wait() == 0, terminal.screen
    assert "› 1 new answer for round 2.\n› 5 gaps still open.\n" in terminal.screen
    assert "KNOWN GAPS (user chose to proceed without this info):\n- Hand-off to the sales team: " in terminal.screen

    (session,) = brevanta.sessions()
    assert session["phase"] == "analysis"  # not complete: round 2 awaits the answer
    state = session["state"]
    assert state["round"] == 2
    assert [(a["gap_id"], a["round"]) for a in state["interview_answers"]] == [("gap_1", 1)]
    assert [gap["title"] for gap in state["bypassed_gaps"]] == ["Hand-off to the sales team"]


def interrupt_at_first_gap(brevanta, *args):
    """A run killed while it waits at its first gap, after the analysis was saved."""
    terminal = brevanta.terminal(*REPLAY, *args)
    terminal.expect("Session saved: ")
    terminal.expect(DECISION)
    terminal.kill()
    (path,) = brevanta.session_files()
    return path


def bypass_gaps(terminal, count=GAP_COUNT):
    """Bypasses the next `count` gaps and lets the run finish."""
    for _ in range(count):
        terminal.expect(DECISION)
        terminal.send("b")
    assert terminal.wait() == 0, terminal.screen


def test_resume_after_an_interrupted_run(brevanta):
    path = interrupt_at_first_gap(brevanta, "--round", "2")
    saved = json.loads(path.read_text(encoding="utf-8"))
    assert (saved["phase"], saved["state"]["round"]) == ("analysis", 2)

    terminal = brevanta.terminal(*REPLAY)
    screen = terminal.expect("[Y/n] ")
    assert f"round 2  {path}\n" in screen
    assert re.search(r"\nResume session from \d{4}-\d\d-\d\d \d\d:\d\d:\d\d \(round 2\)\? \[Y/n\] $", screen)
    terminal.send("")  # the default: yes
    assert "› Analysing examples/interview.md, round 2 (saved reply examples/reply.md)." in terminal.expect(DECISION)
    terminal.send("b")
    bypass_gaps(terminal, GAP_COUNT - 1)
    assert "Session saved:" not in terminal.screen  # the same file, updated in place

    assert brevanta.session_files() == [path] and brevanta.archived() == []
    (session,) = brevanta.sessions()
    assert session["phase"] == "complete" and len(session["state"]["bypassed_gaps"]) == GAP_COUNT


def test_declined_resume_archives_the_session(brevanta):
    path = interrupt_at_first_gap(brevanta)
    unfinished = path.read_text(encoding="utf-8")

    terminal = brevanta.terminal(*REPLAY)
    terminal.expect("[Y/n] ")
    terminal.send("n")
    terminal.expect(f"› Archived {path.name}; starting a new session.")
    bypass_gaps(terminal)

    (archived,) = brevanta.archived()
    assert archived.parent.name == "archive" and archived.read_text(encoding="utf-8") == unfinished
    (session,) = brevanta.sessions()
    assert session["phase"] == "complete"


@pytest.mark.parametrize(("flags", "files"), [(["--yes"], 1), (["--new", "--yes"], 2)])
def test_yes_resumes_and_new_starts_afresh(brevanta, flags, files):
    path = interrupt_at_first_gap(brevanta)
    done = brevanta.run(*REPLAY, *flags)
    assert done.returncode == 0, done.stderr
    assert ("[Y/n] yes (not asking)" in done.stdout) == ("--new" not in flags)
    assert len(brevanta.session_files()) == files and brevanta.archived() == []
    phases = {p.name: json.loads(p.read_text(encoding="utf-8"))["phase"] for p in brevanta.session_files()}
    assert phases[path.name] == ("analysis" if "--new" in flags else "complete")
