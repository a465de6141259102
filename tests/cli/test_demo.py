"""The offline demo on the example interview, `make demo`, the example replies themselves, and `--help`."""

import hashlib
import html
import json
import logging
import math
import os
import re
import subprocess
import sys
from datetime import datetime, timezone
from importlib import resources
from pathlib import Path

import docx

from brevanta import gapscope

DEMO = ("analyze", "examples/interview.md", "--replay", "examples/replay", "--org", "acme-demo", "--yes",
        "--format", "md,html,docx")
REPO = Path(__file__).resolve().parents[2]
GAP_KEYS = {"id", "category", "title", "description", "impact_on_prd", "impact_on_trd", "impact_level",
            "risk_if_skipped", "question", "priority"}


def test_offline_demo(brevanta, example_reply, example_interview):
    began = datetime.now(timezone.utc).replace(microsecond=0)
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
    listed = "".join(f"    {out_dir}/{kind}.{fmt}\n" for kind in ("PRD", "TRD") for fmt in ("md", "html", "docx"))
    assert out.endswith(f"✓ Session complete: {path}\n› The documents are in {out_dir}:\n{listed}"
                        "Model usage of this run: 7,848 tokens in (0 from cache), 5,391 tokens out, "
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
    assert "› 9 figures to verify in the PRD (not found in the interview, the answers or the attachments)." in lines
    assert "› 14 figures to verify in the TRD (not found in the interview, the answers or the attachments)." in lines
    assert ("› Traceability of the PRD: 6 of 9 requirements cited, 12 of 19 interview statements covered, "
            "9 figures to verify, 0 citations dropped." in lines)
    assert ("› Traceability of the TRD: 11 of 23 requirements cited, 3 of 19 interview statements covered, "
            "14 figures to verify, 0 citations dropped." in lines)
    sha = hashlib.sha256(example_interview.encode()).hexdigest()[:12]
    for kind in ("prd", "trd"):
        document = (out_dir / f"{kind.upper()}.md").read_text(encoding="utf-8")
        assert "<!-- end of document -->" not in document
        assert_document(document, kind, result.gaps)
        title, blank, first, second = document.split("\n")[:4]
        assert title.startswith("# ") and blank == ""
        assert first.startswith(f"> Organisation: acme-demo · Interview: interview.md (SHA-256 {sha}) · Round 1 · "
                                "Completeness 0.55")
        assert re.fullmatch(r"> Gaps: 7 bypassed, 0 open · Model: \S+ \(saved reply\) · "
                            r"Written \d{4}-\d\d-\d\d by brevanta \S+", second)
        assert ("## Follow-up answers and attachments\n\n"
                "No follow-up answers were given and no documents were attached.\n\n## Sources\n") in document
        assert_sources(document, kind, out_dir, example_interview, state["replies"][kind]["citations"])
        page = (out_dir / f"{kind.upper()}.html").read_text(encoding="utf-8")
        assert page.startswith("<!DOCTYPE html>") and "<h2>Figures to verify</h2>" in page
        assert not re.search(r"<(script|link|img|iframe)|src=|@import|url\(", page)  # nothing fetched or run
        word = docx.Document(out_dir / f"{kind.upper()}.docx")
        styled = [(paragraph.style.name, paragraph.text) for paragraph in word.paragraphs]
        assert [text for style, text in styled if style == "Heading 2"] == [
            line[3:] for line in document.split("\n") if line.startswith("## ")]
        (gap,) = [p for p in word.paragraphs if p.text.startswith("Real-time bed availability [LIMITED DATA]")]
        assert gap.style.name == "List Bullet" and gap.runs[0].bold  # a Word list item, its title in bold
        written_by = word.core_properties  # the organisation, the title and the time, not the library's template
        assert (written_by.author, written_by.last_modified_by, written_by.comments) == ("acme-demo", "acme-demo", "")
        assert written_by.title == title[2:]
        assert began <= written_by.created == written_by.modified <= datetime.now(timezone.utc)


def section_headings(kind):
    """The headings that the project's prompt for `kind` asks for."""
    prompt = (resources.files("brevanta.pipeline") / "prompts" / f"{kind}.md").read_text(encoding="utf-8")
    return re.findall(r"^## .+$", prompt, re.MULTILINE)


# The sections each document must have, whatever else its prompt asks for.
REQUIRED_SECTIONS = {
    "prd": ["Problem and goals", "Users and scenarios", "Scope and non-goals", "Functional requirements",
            "Conversation or call flows", "Integrations", "Success metrics", "Risks", "Open questions"],
    "trd": ["Architecture", "Components and their interfaces", "Integrations and data", "Latency and capacity",
            "Security and compliance", "Deployment and operations", "Testing", "Open technical questions"],
}


def assert_document(document, kind, bypassed):
    """Every section heading of the prompt, then the figures to verify and the appendix, and every
    bypassed gap under the known gaps."""
    headings = section_headings(kind)
    assert {f"## {name}" for name in REQUIRED_SECTIONS[kind]} <= set(headings)
    assert headings[-1] == "## Known gaps and assumptions"
    assert [line for line in document.split("\n") if line.startswith("## ")] == [
        *headings, "## Figures to verify", "## Requirements without a source",
        "## Said in the interview, not in the documents", "## Follow-up answers and attachments", "## Sources"]
    known_gaps = document.split("## Known gaps and assumptions\n", 1)[1].split("## Figures to verify")[0]
    for gap in bypassed:
        assert f"**{gap['title']}**" in known_gaps


def assert_sources(document, kind, out_dir, interview, kept):
    """The footnotes, numbered alike in the three formats: each reference after the text it supports, each
    definition the interview's own words at their line, the HTML's on hover and listed, Word's superscript."""
    body, sources = document.split("\n## Sources\n", 1)
    references = [int(number) for number in re.findall(r"\[\^s(\d+)\](?!:)", body)]
    definitions = re.findall(r"^\[\^s(\d+)\]: \u201c(.+)\u201d \u2014 interview, line (\d+)$", sources, re.MULTILINE)
    assert [int(number) for number, _, _ in definitions] == list(range(1, len(definitions) + 1))
    assert list(dict.fromkeys(references)) == list(range(1, len(definitions) + 1))  # numbered as they appear
    by_label = {entry["footnote"]: entry for entry in kept}
    for number, words, line in definitions:
        entry = by_label[f"s{number}"]
        assert interview[entry["start_char_index"]:entry["end_char_index"]] == entry["cited_text"]
        assert words == " ".join(entry["cited_text"].split())
        assert int(line) == interview.count("\n", 0, entry["start_char_index"]) + 1
    page = (out_dir / f"{kind.upper()}.html").read_text(encoding="utf-8")
    shown = re.findall(r'<sup class="footnote-ref"><a href="#fn(\d+)" id="fnref[\d:]+" title="([^"]*)">\[(\d+)\]', page)
    assert [int(number) for number, _, _ in shown] == [int(label) for _, _, label in shown] == references
    titles = {int(number): title for number, title, _ in shown}
    for number, words, line in definitions:
        assert titles[int(number)] == html.escape(f"\u201c{words}\u201d \u2014 interview, line {line}")
    assert re.findall(r'<li id="fn(\d+)" class="footnote-item">', page) == [number for number, _, _ in definitions]
    assert re.search(r'<h2>Sources</h2>\n<p>[^<]+</p>\n<section class="footnotes">', page)
    assert page.count('class="footnote-backref"') == len(references)  # a link back to each reference
    word = docx.Document(out_dir / f"{kind.upper()}.docx")
    superscripts = [run.text for paragraph in word.paragraphs for run in paragraph.runs if run.font.superscript]
    assert superscripts == [f"[{number}]" for number in references]
    listed = [paragraph.text for paragraph in word.paragraphs if re.match(r"\[\d+\] \u201c", paragraph.text)]
    assert listed == [f"[{number}] \u201c{words}\u201d \u2014 interview, line {line}" for number, words, line in definitions]


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
    render = brevanta.run("render", "--help").stdout
    for text in ("INTERVIEW_FILE", "--org ORG_ID", "--only {prd,trd}", "--format md,html,docx", "--out DIR",
                 "numbered backups", "exit status: 0 done, 1 no session to render"):
        assert text in render


def test_help_lists_every_setting_with_its_default(brevanta):
    read = re.findall(r'"((?:BREVANTA|ANTHROPIC)_[A-Z_]+|CORVANE_HOME)"',
                      (REPO / "src" / "brevanta" / "config.py").read_text(encoding="utf-8"))
    shown = " ".join(brevanta.run("analyze", "--help").stdout.split())
    assert len(read) >= 11 and not [variable for variable in read if variable not in shown]
    for default in ("BREVANTA_MODEL_REASONING (default claude-sonnet-4-5)", "BREVANTA_MAX_TOKENS_ANALYSIS tokens "
                    "(default 8000)", "(default: none, every request asks BREVANTA_MODEL_REASONING)",
                    "CORVANE_HOME (default ~/.corvane)"):
        assert default in shown


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
    assert "--yes --format md,html,docx" in shown
    os.utime(stamp, (0, 0))  # installed before the sources last changed
    assert "pip install" in make_demo_dry_run(venv)
