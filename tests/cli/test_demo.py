"""The offline demo on the example interview, `make demo`, the example replies themselves, and `--help`."""

import json
import logging
import math
import os
import re
import subprocess
import sys
from importlib import resources
from pathlib import Path

from brevanta import gapscope

DEMO = ("analyze", "examples/interview.md", "--replay", "examples/replay", "--org", "acme-demo", "--yes")
REPO = Path(__file__).resolve().parents[2]
GAP_KEYS = {"id", "category", "title", "description", "impact_on_prd", "impact_on_trd", "impact_level",
            "risk_if_skipped", "question", "priority"}


def test_offline_demo(brevanta, example_reply, example_interview):
    done = brevanta.run(*DEMO)
    assert done.returncode == 0, done.stderr
    assert done.stderr == ""
    out = done.stdout
    lines = out.split("\n")
    assert "› Analysing examples/interview.md, round 1 (saved reply examples/replay)." in lines
    prompt = gapscope.ANALYSIS_PROMPT.replace("{interview_data}", example_interview)
    assert f"  Tokens: {math.ceil(len(prompt) / 4)} in, {math.ceil(len(example_reply) / 4)} out (estimated)" in lines
    for heading in ("› Data points I extracted from your answers:", "› Gaps found:", "› You can:",
                    "! Critical issues identified:", "› Important considerations:",
                    "› Architecture recommendations:"):
        assert heading in lines
    assert "  Completeness: 0.55 / 1.0 (Fair)" in lines
    assert "› Bypassing 7 open gaps without asking (--yes)." in lines

    result = gapscope.AnalysisResult(gaps=json.loads(gapscope._extract_json(example_reply))["gaps"])
    result.bypassed_gaps.extend(result.gaps)
    assert f"› Document generation will be told:\n{result.get_bypass_summary()}\n" in out

    (path,) = brevanta.session_files()
    assert path.name.startswith("acme_")
    # The home and its session directories hold interview answers: private to their owner.
    assert [oct(d.stat().st_mode & 0o777) for d in (brevanta.home, path.parent, path.parent / "archive")] == ["0o700"] * 3
    assert oct(path.stat().st_mode & 0o777) == "0o600"
    out_dir = brevanta.cwd / "acme-demo"
    assert out.endswith(f"✓ Session complete: {path}\n› The documents are in {out_dir}:\n"
                        f"    {out_dir}/PRD.md\n    {out_dir}/TRD.md\n"
                        "Model usage of this run: 7,680 tokens in (0 from cache), 5,358 tokens out, "
                        "about $0.10 at list prices (estimated).\n")
    (session,) = brevanta.sessions()
    assert (session["org_id"], session["phase"]) == ("acme-demo", "complete")
    state = session["state"]
    assert (state["round"], state["interview_answers"], state["analysis_completeness"]) == (1, [], 0.55)
    assert state["analysis_summary"].startswith("Tarang Living wants a WhatsApp agent")
    assert state["bypassed_gaps"] == result.gaps
    assert (state["document_types"], state["output_dir"]) == (["prd", "trd"], str(out_dir))
    assert [(entry["operation"], entry["model"], entry["estimated"]) for entry in state["usage"]] == [
        ("analysis", "claude-sonnet-4-5", True), ("prd", "claude-sonnet-4-5", True), ("trd", "claude-sonnet-4-5", True)]

    # The saved TRD reply leaves one gap out of its known gaps: the command adds it.
    assert ('! The TRD left out 1 bypassed gap; added under "Known gaps and assumptions": Language mix in numbers'
            in lines)
    for kind in ("prd", "trd"):
        document = (out_dir / f"{kind.upper()}.md").read_text(encoding="utf-8")
        assert "<!-- end of document -->" not in document
        assert_document(document, kind, result.gaps)


def section_headings(kind):
    """The headings that the project's prompt for `kind` asks for."""
    prompt = (resources.files("brevanta.cli") / "prompts" / f"{kind}.md").read_text(encoding="utf-8")
    return re.findall(r"^## .+$", prompt, re.MULTILINE)


# The sections each document must have, whatever else its prompt asks for.
REQUIRED_SECTIONS = {
    "prd": ["Problem and goals", "Users and scenarios", "Scope and non-goals", "Functional requirements",
            "Conversation or call flows", "Integrations", "Success metrics", "Risks", "Open questions"],
    "trd": ["Architecture", "Components and their interfaces", "Integrations and data", "Latency and capacity",
            "Security and compliance", "Deployment and operations", "Testing", "Open technical questions"],
}


def assert_document(document, kind, bypassed):
    """Every section heading of the prompt, and every bypassed gap under the known gaps."""
    headings = section_headings(kind)
    assert {f"## {name}" for name in REQUIRED_SECTIONS[kind]} <= set(headings)
    assert headings[-1] == "## Known gaps and assumptions"
    assert [line for line in document.split("\n") if line.startswith("## ")] == headings
    known_gaps = document.split("## Known gaps and assumptions\n", 1)[1]
    for gap in bypassed:
        assert f"**{gap['title']}**" in known_gaps


def test_example_reply_goes_through_the_comma_repair(example_reply, caplog):
    before, block, after = re.split(r"```(?:json)?\n", example_reply)
    assert before.strip() and after.strip()  # prose around the fenced block
    assert len(re.findall(r",\s*[}\]]", block)) == 1
    with caplog.at_level(logging.INFO, logger="corvane.analyzer"):
        data = json.loads(gapscope._extract_json(example_reply))
    assert caplog.messages == ["JSON repaired successfully (trailing comma fix)"]

    assert 6 <= len(data["gaps"]) <= 8
    assert all(gap.keys() == GAP_KEYS for gap in data["gaps"])
    assert {gap["impact_level"] for gap in data["gaps"]} == {"critical", "significant", "minor"}
    assert {insight["severity"] for insight in data["insights"]} == {"critical", "important", "nice_to_have"}
    assert data["data_points_found"] and data["architecture_notes"] and data["summary"]
    assert data["completeness_score"] == 0.55 and data["sufficient_for_prd"] is False


def test_help_documents_every_option(brevanta):
    done = brevanta.run("analyze", "--help")
    assert done.returncode == 0
    for text in ("INTERVIEW_FILE", "--org ORG_ID", "--round N", "--out DIR", "--replay DIR", "-y, --yes", "--new",
                 "-v, --verbose", "ANTHROPIC_API_KEY", "BREVANTA_RELAY_URL", "BREVANTA_MAX_TOKENS_DOCUMENT",
                 "sessions/archive", "exit status", "143 terminated (SIGTERM)", "BREVANTA_REQUEST_TIMEOUT",
                 "BREVANTA_MAX_INTERVIEW_TOKENS", "3 environment or configuration"):
        assert text in done.stdout
    assert brevanta.run("--help").stdout.startswith("usage: brevanta [-h] [--version] COMMAND ...")


def make_demo_dry_run(venv: Path) -> str:
    done = subprocess.run(["make", "--dry-run", "-C", str(REPO), f"VENV={venv}", "demo"], capture_output=True,
                          text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout


def test_make_demo_installs_only_when_the_sources_changed(tmp_path):
    venv = tmp_path / "venv"
    (venv / "bin").mkdir(parents=True)
    (venv / "bin" / "python").symlink_to(sys.executable)
    stamp = venv / ".installed"
    stamp.touch()  # installed after the last change
    shown = make_demo_dry_run(venv)
    assert "pip install" not in shown
    home = REPO / "build" / "demo-home"
    assert f'rm -rf "{home}"' in shown and f'CORVANE_HOME="{home}"' in shown  # cleared first, kept after
    assert f"The demo's session home: {home}" in shown
    os.utime(stamp, (0, 0))  # installed before the sources last changed
    assert "pip install" in make_demo_dry_run(venv)
