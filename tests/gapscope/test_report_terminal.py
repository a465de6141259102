"""The report of a realistic analysis through the project's real `display`, in a
child process whose stdout is a pseudo-terminal or a pipe: colour on a
terminal, plain text with NO_COLOR or through a pipe."""

import os
import pty
import re
import select
import subprocess
import sys
import textwrap

import pytest
from support.children import SDK_ON_FIRST_USE

ESC = "\x1b"

SCRIPT = textwrap.dedent(
    """
    from brevanta import gapscope

    levels = ["critical", "significant", "minor", "critical", "Critical", None, "significant", "minor", "odd", 5]
    gaps = [
        {"id": f"gap_{i}", "category": "technical", "title": f"Gap number {i}",
         "description": f"What is missing for area {i}", "impact_on_prd": "Scope", "impact_on_trd": "APIs",
         "impact_level": level, "risk_if_skipped": f"Risk {i}" if i % 2 else "", "question": "?",
         "priority": "critical"}
        for i, level in enumerate(levels)
    ]
    insights = [
        {"type": "risk", "severity": "critical", "title": "Data retention", "description": "GDPR applies",
         "recommendation": "Define retention"},
        {"type": "ux", "severity": "important", "title": "Tone", "description": "Formal customers"},
        {"type": "scalability", "severity": "nice_to_have", "title": "Caching", "description": "Later"},
    ]
    result = gapscope.AnalysisResult(
        0.62, "Scope is clear, integrations are not.", False, gaps, insights,
        ["2,000 calls a day", "Spanish and English"], ["Queue the handoffs", "Keep transcripts 30 days"],
        "A mid-size insurer wants a voice bot for claims.",
    )
    gapscope.display_analysis(result)
    gapscope.display_gap_with_impact(gaps[0], 1)
    """
)


def child_env(**changes):
    env = dict(os.environ)
    env.pop("FORCE_COLOR", None)
    env.pop("NO_COLOR", None)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    env["PYTHONIOENCODING"] = "utf-8"
    env["TERM"] = "xterm-256color"
    env.update(changes)
    return env


def run_on_terminal(script=SCRIPT, **env_changes):
    """Runs the script with a pseudo-terminal as stdin, stdout and stderr; returns the screen text."""
    controller, terminal = pty.openpty()
    child = subprocess.Popen([sys.executable, "-c", SDK_ON_FIRST_USE + script], stdin=terminal, stdout=terminal, stderr=terminal,
                             env=child_env(**env_changes), close_fds=True)
    os.close(terminal)
    chunks = []
    try:
        while True:
            ready, _, _ = select.select([controller], [], [], 60)
            if not ready:
                break
            try:
                chunk = os.read(controller, 65536)
            except OSError:  # EIO: the child closed its side
                break
            if not chunk:
                break
            chunks.append(chunk)
    finally:
        os.close(controller)
        assert child.wait(timeout=60) == 0, b"".join(chunks).decode("utf-8", "replace")
    return b"".join(chunks).decode("utf-8").replace("\r\n", "\n")


def run_through_pipe(**env_changes):
    done = subprocess.run([sys.executable, "-c", SDK_ON_FIRST_USE + SCRIPT], capture_output=True, env=child_env(**env_changes),
                          timeout=60)
    assert done.returncode == 0, done.stderr.decode()
    return done.stdout.decode("utf-8")


def test_colours_on_a_terminal():
    screen = run_on_terminal()
    assert f"{ESC}[31m  HIGH   {ESC}[0mGap number 0" in screen
    assert f"{ESC}[33m  MEDIUM {ESC}[0mGap number 1" in screen
    assert f"{ESC}[2m  LOW    {ESC}[0mGap number 2" in screen
    assert f"    {ESC}[31m!{ESC}[0m {ESC}[1mData retention{ESC}[0m" in screen
    assert f"  Impact: {ESC}[31mCRITICAL{ESC}[0m" in screen
    assert f"    {ESC}[33mPRD impact:{ESC}[0m Scope" in screen
    assert "A mid-size insurer wants a voice bot for claims." in screen


@pytest.fixture(params=["no-color", "pipe"])
def plain_output(request):
    if request.param == "no-color":
        return run_on_terminal(NO_COLOR="1")
    return run_through_pipe()


def test_plain_text_without_colour(plain_output):
    assert ESC not in plain_output
    lines = plain_output.split("\n")
    tagged = [line for line in lines if line.startswith(("  HIGH   ", "  MEDIUM ", "  LOW    "))]
    # Ranked: critical, significant, minor, then every other level in the model's order.
    assert tagged == [
        "  HIGH   Gap number 0", "  HIGH   Gap number 3", "  MEDIUM Gap number 1", "  MEDIUM Gap number 6",
        "  LOW    Gap number 2", "  LOW    Gap number 7", "  HIGH   Gap number 4", "  LOW    Gap number 5",
        "  LOW    Gap number 8", "  LOW    Gap number 9",
    ]
    assert "  Completeness: 0.62 / 1.0 (Good)" in lines
    assert "      Recommendation: Define retention" in lines
    assert "    > Keep transcripts 30 days" in lines
    assert "Caching" not in plain_output
    assert lines[-8:] == [
        "\u203a More detail would strengthen the output. 2 critical gaps found.",
        "",
        "  Gap 1: Gap number 0",
        "  Impact: CRITICAL",
        "  What is missing for area 0",
        "    PRD impact: Scope",
        "    TRD impact: APIs",
        "",
    ]


HOSTILE_SCRIPT = textwrap.dedent(
    r"""
    from brevanta import gapscope

    clear_and_retitle = "\x1b[2J\x1b]0;pwned\x07"
    clipboard = "\x1b]52;c;cHduZWQ=\x07"
    gap = {"title": clear_and_retitle, "description": clipboard, "impact_level": "critical\x9b",
           "impact_on_prd": "\r\x7f", "impact_on_trd": "tab\tkept", "risk_if_skipped": "\ud800"}
    insights = [{"severity": "critical", "title": "\x1bc", "description": "\x00", "recommendation": "\x85"},
                {"severity": "important", "title": 7, "description": "\udfff"}]
    result = gapscope.AnalysisResult(1e308, "why\x1b[31m", False, [gap], insights, ["\ud800"], [clipboard],
                                     clear_and_retitle)
    gapscope.display_analysis(result)
    gapscope.display_gap_with_impact(gap, 1)
    """
)

CONTROL = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\ud800-\udfff]")


@pytest.mark.parametrize("colour", [True, False], ids=["colour", "no-color"])
def test_model_text_cannot_drive_the_terminal(colour):
    screen = run_on_terminal(HOSTILE_SCRIPT, **({} if colour else {"NO_COLOR": "1"}))
    # The colours of display are the only escape sequences on the screen.
    assert not CONTROL.search(re.sub(r"\x1b\[\d+m", "", screen)), screen
    plain = re.sub(r"\x1b\[\d+m", "", screen)
    for escaped in [r"\x1b[2J\x1b]0;pwned\x07", r"\x1b]52;c;cHduZWQ=\x07", r"\ud800", r"\udfff", r"\r\x7f",
                    "tab\tkept", r"\x1bc", r"\x00", r"\x85", r"why\x1b[31m", r"CRITICAL\x9b"]:
        assert escaped in plain
    assert "  LOW    \\x1b[2J\\x1b]0;pwned\\x07" in plain
    assert "  Completeness: 1" in plain and "(Excellent)" in plain
    assert plain.endswith("    Risk if skipped: \\ud800\n")
