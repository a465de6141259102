"""Interactive runs on a pseudo-terminal and the session across runs: saved after every decision,
interrupted anywhere, resumed where it stopped, declined and archived."""

import json
import re
import signal
import time
from pathlib import Path

import pytest

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"

DECISION = "[a]nswer, [b]ypass, or [l]eave open for later? "
MENU = "Your choice [1/2/3]: "
REPLAY = ("analyze", "examples/interview.md", "--replay", "examples/replay")
GAP_COUNT = 7
GAP_TITLES = ["Real-time bed availability", "Hand-off to the sales team", "Consent and personal data",
              "LeadSquared mapping and duplicate leads", "Targets for the agent", "Site visit scheduling rules",
              "Language mix in numbers"]
ANSWER = "Updated hourly by property managers; holds last 4 hours."
ANSWER_LINE = "  > "  # each line of an answer; an empty one ends it
CONFIRM = "This gap is critical: bypass it anyway? [y/N] "
REVIEW = "Change a decision? Type its number, or press Enter to go on: "
CRITICAL_GAPS = 3  # the example's gaps 1 to 3 are critical
INTERVIEW = "interview.md"  # as the questions name it: the file's name


def give_answer(terminal, text):
    terminal.expect("(several lines are fine; an empty line ends it):")
    terminal.expect(ANSWER_LINE)
    terminal.send(text)
    terminal.expect(ANSWER_LINE)
    terminal.send("")


def bypass(terminal, gap_number):
    terminal.send("b")
    if gap_number <= CRITICAL_GAPS:
        terminal.expect(CONFIRM)
        terminal.send("y")


def answer_first_bypass_second(terminal):
    terminal.expect(MENU)
    terminal.send("2")
    terminal.expect(DECISION)
    terminal.send("a")
    give_answer(terminal, ANSWER)
    terminal.expect(DECISION)
    bypass(terminal, 2)


def test_interactive_run_answers_one_gap_and_bypasses_another(brevanta):
    terminal = brevanta.terminal(*REPLAY, "--org", "tarang")
    screen = terminal.expect(MENU)
    assert "› You can:\n  1. Continue anyway" in screen
    terminal.send("4")
    terminal.expect("Please type 1, 2 or 3.")
    terminal.send("2")
    screen = terminal.expect(DECISION)
    assert "\n  Gap 1: Real-time bed availability\n  Impact: CRITICAL\n" in screen
    assert "\n    PRD impact: Section 5 (Property recommendations)" in screen
    assert "\n  Question: How current is bed-level availability" in screen
    terminal.send("bypassed")  # a word that only starts like a choice is no choice
    terminal.expect("Please type one of: a (answer), b (bypass), l (leave).")
    terminal.expect(DECISION)
    terminal.send("Answer")
    terminal.expect("an empty line ends it):")
    terminal.expect(ANSWER_LINE)
    terminal.send("")
    terminal.expect("An empty answer tells the model nothing")
    terminal.expect(ANSWER_LINE)
    # A pasted paragraph: its lines that start like choices are part of the answer.
    terminal.send("Updated hourly by property managers.\nbeds can be held for 4 hours\nAll of them.")
    terminal.expect(ANSWER_LINE)
    terminal.send("")
    assert "\n  Gap 2: Hand-off to the sales team\n" in terminal.expect(DECISION)
    terminal.send("B")
    terminal.expect(CONFIRM)
    terminal.send("")  # the default: no, asked again
    terminal.expect(DECISION)
    terminal.send("bypass")
    terminal.expect(CONFIRM)
    terminal.send("y")
    assert "\n  Gap 3: Consent and personal data\n" in terminal.expect(DECISION)
    terminal.send("\x04")  # end of input at the third gap
    terminal.expect("End of input: every decision is saved; run the command again to go on from here.")
    assert terminal.wait() == 0, terminal.screen
    assert not (brevanta.cwd / "tarang").exists()  # no documents while gaps are open

    (session,) = brevanta.sessions()
    assert session["phase"] == "analysis"
    state = session["state"]
    assert state["round"] == 1 and state["analysis"]["round"] == 1  # the analysis is kept for the rerun
    assert [(a["gap_id"], a["round"], a["answer"]) for a in state["interview_answers"]] == [
        ("gap_1", 1, "Updated hourly by property managers.\nbeds can be held for 4 hours\nAll of them.")]
    assert [gap["title"] for gap in state["bypassed_gaps"]] == ["Hand-off to the sales team"]


def interrupt_at_first_gap(brevanta, *args):
    """A run killed while it waits at its first gap, after the analysis was saved."""
    terminal = brevanta.terminal(*REPLAY, *args)
    terminal.expect("Session saved: ")
    terminal.expect(MENU)
    terminal.send("2")
    terminal.expect(DECISION)
    terminal.kill()
    (path,) = brevanta.session_files()
    return path


def bypass_gaps(terminal, first=1):
    """Bypasses the gaps from number `first` on, keeps every decision at the review, and lets the run finish."""
    for gap_number in range(first, GAP_COUNT + 1):
        terminal.expect(DECISION)
        bypass(terminal, gap_number)
    terminal.expect(REVIEW)
    terminal.send("")
    assert terminal.wait() == 0, terminal.screen


def send_signal_at_prompt(terminal, signum):
    # Once the child waits in its read: a signal landing between the prompt's write and the read
    # is only seen when the next line arrives (CPython's input()).
    time.sleep(0.3)
    terminal.process.send_signal(signum)


HANG_UP = "hang up"  # the terminal closed: the kernel sends SIGHUP


def interrupted_walk(brevanta, where, signum):
    """A run that answers gap 1 and bypasses gap 2 (unless stopped at the menu before them),
    then gets `signum` (or its terminal closed) while it waits at `where`."""
    terminal = brevanta.terminal(*REPLAY, controlling=signum == HANG_UP)
    if where == "menu":
        terminal.expect(MENU)
    else:
        answer_first_bypass_second(terminal)
        terminal.expect(DECISION)
        if where == "answer":
            terminal.send("a")
            terminal.expect(ANSWER_LINE)
    if signum == HANG_UP:
        time.sleep(0.3)
        terminal.hang_up()
    else:
        send_signal_at_prompt(terminal, signum)
    return terminal


@pytest.mark.parametrize(
    ("where", "signum", "status"),
    [
        ("menu", signal.SIGINT, 130),
        ("decision", signal.SIGINT, 130),
        ("answer", signal.SIGINT, 130),
        ("decision", signal.SIGTERM, 143),
        ("decision", signal.SIGHUP, 129),
        ("answer", HANG_UP, 129),
        ("decision", signal.SIGKILL, -9),
        ("resume", signal.SIGINT, 130),
    ],
)
def test_an_interrupt_keeps_every_decision_and_the_rerun_goes_on_from_there(brevanta, where, signum, status):
    first = interrupted_walk(brevanta, "decision" if where == "resume" else where, signum)
    assert first.wait() == status, first.screen
    (path,) = brevanta.session_files()
    if signum not in (signal.SIGKILL, HANG_UP):
        assert f"Interrupted.\nThe session is saved in {path}; run the command again to resume it.\n" in first.screen
    decided = where != "menu"
    state = brevanta.sessions()[0]["state"]  # the file parses: never torn
    assert [a["gap_id"] for a in state["interview_answers"]] == (["gap_1"] if decided else [])
    assert [gap["title"] for gap in state["bypassed_gaps"]] == GAP_TITLES[1:2] * decided
    if where == "answer" or signum in (signal.SIGTERM, signal.SIGHUP, HANG_UP):
        return  # the same handler as Ctrl-C left the same file as the decision row: its rerun shows the rest

    if where == "resume":  # Ctrl-C at the resume prompt changes nothing
        saved = path.read_bytes()
        terminal = brevanta.terminal(*REPLAY)
        terminal.expect("[Y/n] ")
        send_signal_at_prompt(terminal, signal.SIGINT)
        assert terminal.wait() == 130 and path.read_bytes() == saved and brevanta.archived() == []

    terminal = brevanta.terminal(*REPLAY)
    held = "round 1, 1 answer, 1 bypassed, 5 open gaps" if decided else "round 1, 0 answers, 0 bypassed, 7 open gaps"
    assert re.search(rf"\nResume the session of {re.escape(INTERVIEW)} saved \d{{4}}-\d\d-\d\d \d\d:\d\d:\d\d "
                     rf"\({held}\)\? \[Y/n\] $", terminal.expect("[Y/n] "))
    terminal.send("")  # the default: yes
    screen = ""
    if decided:  # on resume, the decisions so far can be changed
        screen = terminal.expect(REVIEW)
        assert f'\n  1. {GAP_TITLES[0]}: answered "{ANSWER}"\n  2. {GAP_TITLES[1]}: bypassed\n' in screen
        terminal.send("")
    else:
        screen = terminal.expect(MENU)
        terminal.send("2")
    screen += terminal.expect(DECISION)
    assert "› Round 1 was analysed in an earlier run: using that analysis." in screen
    assert f"\n  Gap {3 if decided else 1}: {GAP_TITLES[2 if decided else 0]}\n" in screen
    bypass(terminal, 3 if decided else 1)
    bypass_gaps(terminal, 4 if decided else 2)
    assert "Traceback" not in first.screen + terminal.screen

    assert brevanta.session_files() == [path] and brevanta.archived() == []
    (session,) = brevanta.sessions()
    assert session["phase"] == "complete"
    assert [a["gap_id"] for a in session["state"]["interview_answers"]] == (["gap_1"] if decided else [])
    assert [gap["title"] for gap in session["state"]["bypassed_gaps"]] == (
        [GAP_TITLES[1], *GAP_TITLES[2:]] if decided else GAP_TITLES)
    assert sorted(path.name for path in (brevanta.cwd / "interview").iterdir()) == ["PRD.md", "TRD.md"]


def test_resume_after_an_interrupted_run_keeps_its_round(brevanta):
    path = interrupt_at_first_gap(brevanta, "--round", "2")
    saved = json.loads(path.read_text(encoding="utf-8"))
    assert (saved["phase"], saved["state"]["round"]) == ("analysis", 2)

    terminal = brevanta.terminal(*REPLAY)
    screen = terminal.expect("[Y/n] ")
    assert f"  analysis, round 2, 0 answers, 0 bypassed, 7 open gaps  {path}\n" in screen
    terminal.send("")
    bypass_gaps(terminal)
    assert "Session saved:" not in terminal.screen  # the same file, updated in place
    (session,) = brevanta.sessions()
    assert session["phase"] == "complete" and session["state"]["round"] == 2


@pytest.mark.parametrize("model", ["replay", "none"])
def test_declined_resume_is_archived_once_the_new_run_has_its_analysis(brevanta, model):
    path = interrupt_at_first_gap(brevanta)
    unfinished = path.read_text(encoding="utf-8")

    terminal = brevanta.terminal(*(REPLAY if model == "replay" else REPLAY[:2]))
    terminal.expect("[Y/n] ")
    terminal.send("n")
    if model == "none":  # no model: the old session stays on offer
        assert terminal.wait() == 1
        assert "brevanta: no analysis: No ANTHROPIC_API_KEY" in terminal.screen
        assert brevanta.archived() == [] and path.read_text(encoding="utf-8") == unfinished
        terminal = brevanta.terminal(*REPLAY)
        terminal.expect("[Y/n] ")
        terminal.send("n")
    terminal.expect(f"› Archived {path.name}.")
    terminal.expect(MENU)
    terminal.send("1")
    terminal.expect(REVIEW)
    terminal.send("")
    assert terminal.wait() == 0, terminal.screen
    assert "› Continuing anyway: bypassing 7 open gaps." in terminal.screen

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
