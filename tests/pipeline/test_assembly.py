"""One document from the model's reply: headings however written, refusals and mostly-missing replies,
the known gaps never twice, clean text, and the HTML and Word files made from it."""

import io
from datetime import datetime, timezone
from pathlib import Path

import docx
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from brevanta.pipeline import assembly, formats, provenance, sections

PROMPTS = Path(__file__).resolve().parents[2] / "src" / "brevanta" / "pipeline" / "prompts"
PRD = sections.from_prompt((PROMPTS / "prd.md").read_text(encoding="utf-8"))
GAP = {"title": "Real-time bed availability", "risk_if_skipped": "Beds offered twice.", "impact_on_prd": "FR-4 vague."}
AUTHORSHIP = formats.Authorship("acme", datetime(2026, 1, 2, 9, 30, tzinfo=timezone.utc))
ORIGIN = provenance.Provenance("acme", "interview.md", "ab" * 32, 1, 0.55, 1, 0, "model-x", "2026-01-02", "0.1.0")


def material(bypassed=(GAP,), answers=()):
    follow_up = provenance.FollowUp(list(answers), ["notes.md"] if answers else [])
    return assembly.material(["We run 34 properties."], list(bypassed), ORIGIN, follow_up)


def reply(names, extra=""):
    body = "\n\n".join(f"## {name}\n\nText for {name.lower()}." for name in names)
    return f"# Product requirements: Lead agent\n\n{body}\n{extra}"


def test_the_sections_come_from_the_prompt():
    assert PRD.title == "# Product requirements:"
    assert PRD.required[0] == "Problem and goals" and PRD.required[-1] == "Known gaps and assumptions"
    assert len(PRD.required) == 10


@pytest.mark.parametrize("heading, name, matches", [
    ("Known Gaps", "Known gaps and assumptions", True),
    ("10. Known gaps & assumptions", "Known gaps and assumptions", True),
    ("IV) FUNCTIONAL REQUIREMENTS", "Functional requirements", True),
    ("Section 4: Func. requirements", "Functional requirements", True),
    ("Risks and mitigations", "Risks", True),
    ("Scope", "Scope and non-goals", True),
    ("Open questions", "Open technical questions", False),
    ("Users", "Problem and goals", False),
    ("A", "Architecture", False),
])
def test_headings_however_numbered_capitalised_or_abbreviated(heading, name, matches):
    assert sections.heading_matches(heading, name) is matches


@pytest.mark.parametrize("text, refusal", [
    ("I'm sorry, but I can't help with writing this document.\n", True),
    (reply(PRD.required[:4]), False),  # six of the ten missing
])
def test_refusals_and_mostly_missing_replies_are_not_documents(text, refusal):
    with pytest.raises(assembly.DocumentRefused) as refused:
        assembly.assemble("prd", text, PRD, material())
    assert refused.value.refusal is refusal
    assert len(refused.value.missing) == (10 if refusal else 6)


def test_a_few_missing_sections_are_added_with_a_note_where_they_belong():
    present = [name for name in PRD.required if name not in ("Risks", "Integrations")]
    done = assembly.assemble("prd", reply(present), PRD, material())
    assert done.missing_sections == ["Integrations", "Risks"]
    headings = [line[3:] for line in done.text.split("\n") if line.startswith("## ")]
    assert headings == [*PRD.required, "Figures to verify", "Follow-up answers and attachments"]
    assert done.text.count(sections.NOT_WRITTEN_NOTE) == 2


def test_the_known_gaps_are_never_listed_twice():
    written = reply(PRD.required[:-1], "\n## 10. Known Gaps\n\n- **REAL TIME bed-availability**: assumed.\n")
    done = assembly.assemble("prd", written, PRD, material(bypassed=[GAP, {"title": "Data"}]))
    assert done.gaps_added == ["Data"]  # listed nowhere; "Data" inside another word does not count
    assert "Known gaps and assumptions" not in done.text
    assert done.text.count("Real-time bed availability") == 0 and "- **Data** [LIMITED DATA]" in done.text


@pytest.mark.parametrize("heading, replaced", [
    ("## Figures to verify", True),
    ("## 11. FIGURES TO VERIFY:", True),
    ("### Figures to verify (none found)", True),  # a subsection of the one before
    ("## Figures", False),  # not the check's title: the model's own section
    ("## Key figures to verify", False),
])
def test_a_figures_section_in_the_reply_is_replaced_by_the_checks(heading, replaced):
    model_section = f"{heading}\n\nNone: the model checked them all, 42% of them twice.\n\n"
    written = reply(PRD.required[:-1]) + f"\n{model_section}## Known gaps and assumptions\n\n- Assumed.\n"
    done = assembly.assemble("prd", written, PRD, material())
    assert done.text.count("\n## Figures to verify\n") == 1  # the check's
    assert ("the model checked them" in done.text) is not replaced
    assert [item.text for item in done.unsourced] == ([] if replaced else ["42%"])
    assert "- Assumed." in done.text and "## Known gaps and assumptions" in done.text


def test_control_characters_and_lone_surrogates_never_reach_the_document():
    written = reply(PRD.required).replace("Text for risks.", "Red \x1b[31malert\x1b[0m, NUL \x00, bad \ud800.")
    gap = {**GAP, "title": "Bed \udc80 availability \x07"}
    done = assembly.assemble("prd", written, PRD, material(bypassed=[gap], answers=[
        {"question": "Hold a bed?", "answer": "Yes\x1b]0;title\x07 for 4 hours.\n\nSecond line."}]))
    assert done.characters_removed == 8
    assert done.gaps_added == ["Bed \ufffd availability "]
    for unwanted in ("\x1b", "\x00", "\x07", "\ud800", "\udc80"):
        assert unwanted not in done.text
    assert "Bed \ufffd availability" in done.text and "bad \ufffd." in done.text
    done.text.encode("utf-8")  # strict: no lone surrogate left
    assert docx.Document(io.BytesIO(formats.to_docx(done.text, AUTHORSHIP))).paragraphs
    # the appendix quotes the answer as given (cleaned), and names the attachment
    appendix = done.text.split("## Follow-up answers and attachments\n", 1)[1]
    assert "**Q: Hold a bed?**\n\n> Yes]0;title for 4 hours.\n>\n> Second line.\n" in appendix
    assert appendix.endswith("Attached documents:\n\n- notes.md\n")


@pytest.mark.parametrize("markdown, present, absent", [
    ("<script>alert(1)</script>", "&lt;script&gt;alert(1)&lt;/script&gt;", "<script>"),
    ("<img src=x onerror=alert(1)>", "&lt;img src=x", "<img"),
    ("[click](javascript:alert(1))", "[click](javascript:alert(1))", "href=\"javascript"),
    ("[file](file:///etc/passwd)", "[file](file:///etc/passwd)", "href=\"file"),
    ("![logo](https://tracker.example/p.png)", "!<a href=\"https://tracker.example/p.png\">logo</a>", "<img"),
    ("[site](https://example.com) [mail](mailto:a@example.com)",
     "<a href=\"https://example.com\">site</a> <a href=\"mailto:a@example.com\">mail</a>", "<script"),
    ("# A & B <b>", "<title>A &amp; B &lt;b&gt;</title>", "<b>"),
])
def test_html_is_self_contained_and_escaped(markdown, present, absent):
    page = formats.to_html(markdown)
    assert present in page and absent not in page
    assert "default-src 'none'" in page and "<link" not in page


def test_word_file_has_real_headings_lists_tables_and_emphasis():
    markdown = ("# Title\n\n## Goals\n\n- one *quick* win\n  - nested\n\n1. first\n\n"
                "| Metric | Target |\n|---|---|\n| **Reply** | 60 s |\n\n> quoted\n")
    word = docx.Document(io.BytesIO(formats.to_docx(markdown, AUTHORSHIP)))
    styled = [(paragraph.style.name, paragraph.text) for paragraph in word.paragraphs]
    assert styled == [("Heading 1", "Title"), ("Heading 2", "Goals"), ("List Bullet", "one quick win"),
                      ("List Bullet 2", "nested"), ("List Number", "first"), ("Quote", "quoted")]
    assert [run.italic for run in word.paragraphs[2].runs] == [None, True, None]
    (table,) = word.tables
    assert [[cell.text for cell in row.cells] for row in table.rows] == [["Metric", "Target"], ["Reply", "60 s"]]
    assert table.rows[0].cells[0].paragraphs[0].runs[0].bold and table.rows[1].cells[0].paragraphs[0].runs[0].bold


@settings(max_examples=25, deadline=None)
@given(junk=st.text(min_size=1, max_size=80), title=st.text(max_size=30))
def test_any_model_text_makes_a_clean_document_in_every_format(junk, title):
    written = reply(PRD.required).replace("Text for risks.", junk)
    done = assembly.assemble("prd", written, PRD, material(bypassed=[{**GAP, "title": title}]))
    done.text.encode("utf-8")  # strict
    assert not any(0 < ord(char) < 32 and char not in "\t\n" for char in done.text)
    rendered = formats.render_all(done.text, ["md", "html", "docx"], AUTHORSHIP)
    assert docx.Document(io.BytesIO(rendered["docx"])).paragraphs


def test_the_header_and_a_multi_line_answer_keep_their_lines_in_html_and_word():
    answer = {"question": "How is availability synced?", "answer": "Every 15 minutes.\nHeld for 4 hours.\n\nA manager confirms."}
    done = assembly.assemble("prd", reply(PRD.required), PRD, material(answers=[answer]))
    rendered = formats.render_all(done.text, ["html", "docx"], AUTHORSHIP)
    page = str(rendered["html"])
    assert "Completeness 0.55<br />\n&gt; Gaps:" not in page  # the quote marks are Markdown's, not the page's
    assert "Completeness 0.55<br />\nGaps: 1 bypassed" in page
    assert "Every 15 minutes.<br />\nHeld for 4 hours.</p>\n<p>A manager confirms.</p>" in page
    word = [paragraph.text for paragraph in docx.Document(io.BytesIO(rendered["docx"])).paragraphs]
    header = next(text for text in word if text.startswith("Organisation: acme"))
    assert header.split("\n")[1].startswith("Gaps: 1 bypassed, 0 open")
    assert "Every 15 minutes.\nHeld for 4 hours." in word and "A manager confirms." in word
    assert "Text for goals." not in header  # a paragraph of the model's own stays one paragraph
