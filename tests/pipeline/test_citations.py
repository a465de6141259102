"""Citations from the wire to the document: the real SDK against the local Messages service, streamed and
not, gives the same verified citations; a wrong one is dropped and counted; the checks' own sections
replace any the model wrote; a reply without citations is still a document, every requirement listed."""

from pathlib import Path

import anthropic
import pytest
from support.messages_service import MessagesService
from support.source_files import pdf_bytes, vtt_text

from brevanta.pipeline import assembly, citations, footnotes, provenance, sections, traceability
from brevanta.pipeline.models import ReplyBlock
from brevanta.pipeline.readers import read_source
from brevanta.pipeline.replay_citations import MARK, cited_blocks
from brevanta.pipeline.sources import ANSWER, INTERVIEW, Source, run_sources
from brevanta.streaming import reply_blocks

PROMPTS = Path(__file__).resolve().parents[2] / "src" / "brevanta" / "pipeline" / "prompts"
PRD = sections.from_prompt((PROMPTS / "prd.md").read_text(encoding="utf-8"))
ORIGIN = provenance.Provenance("acme", "interview.md", "ab" * 32, 1, 0.55, 0, 0, "model-x", "2026-01-02", "0.1.0")
INTERVIEW_TEXT = ("**Q: Who calls?**\nPatients, about 400 a day.\n\n**Q: What must it never do?**\n"
                  "It must never give a diagnosis. It should book follow-ups.\n")
SOURCES = [Source(INTERVIEW, "interview", INTERVIEW_TEXT),
           Source(ANSWER, "Clinic *hours*\n[late]", "Open 8 am to 6 pm.", "Question: When are you open?")]
MARKED = ("- FR-1 (must): take 400 calls a day. {{about 400 a day}}\n"
          "- FR-2 (must): never diagnose.\n  {{It must never give a diagnosis.}}\n"
          "- FR-3 (should): book within opening hours [LIMITED DATA]. {{Open 8 am to 6 pm.}}\n"
          "- FR-4 (could): speak Tamil.\n")


def request(service, stream):
    client = anthropic.Anthropic(api_key="test-key", base_url=service.base_url, max_retries=0)
    content = [*(source.block() for source in SOURCES), {"type": "text", "text": "Write the PRD."}]
    arguments = {"model": "claude-sonnet-4-5", "max_tokens": 1000, "messages": [{"role": "user", "content": content}]}
    if not stream:
        return client.messages.create(**arguments)
    with client.messages.stream(**arguments) as streamed:
        return streamed.get_final_message()


@pytest.mark.parametrize("wrong", [None, "text", "range", "document"])
def test_citations_on_the_wire_streamed_or_not(wrong):
    with MessagesService(lambda body: MARKED, tokens_per_second=10_000, first_event_delay=0) as service:
        service.wrong = {"analysis": wrong, "prd": wrong} if wrong else {}  # the service names requests by kind
        replies = [request(service, stream) for stream in (False, True)]
        (plain, streamed) = service.log
    assert plain.body.get("stream") is None and streamed.body["stream"] is True
    blocks = [[ReplyBlock(text, tuple(cited)) for text, cited in reply_blocks(reply)] for reply in replies]
    assert blocks[0] == blocks[1]  # the streamed citations_delta events gathered as the message carries them
    checked = citations.check(blocks[0], SOURCES)
    assert (checked.received, checked.dropped) == (3, 1 if wrong else 0)
    kept = [(SOURCES[c.source].text[c.start:c.end], c.source) for c in checked.citations]
    expected = [("about 400 a day", 0), ("It must never give a diagnosis.", 0), ("Open 8 am to 6 pm.", 1)]
    assert kept == (expected[1:] if wrong else expected)
    text = "".join(block.text for block in blocks[0])
    supported = ["- FR-1 (must): take 400 calls a day.", "- FR-2 (must): never diagnose.",
                 "- FR-3 (should): book within opening hours [LIMITED DATA]."]
    assert [text[c.reply_start:c.reply_end] for c in checked.citations] == (supported[1:] if wrong else supported)


@pytest.mark.parametrize("raw", [
    {"cited_text": "400 a day", "document_index": 0, "start_char_index": 0, "end_char_index": 9},  # other words
    {"cited_text": "Open", "document_index": 1, "start_char_index": 0, "end_char_index": 400},  # past the end
    {"cited_text": "", "document_index": 1, "start_char_index": 3, "end_char_index": 3},  # empty
    {"cited_text": "Open", "document_index": 2, "start_char_index": 0, "end_char_index": 4},  # not sent
    {"cited_text": "Open", "document_index": -1, "start_char_index": 0, "end_char_index": 4},
    {"cited_text": "Open", "document_index": True, "start_char_index": 0, "end_char_index": 4},
    {"cited_text": "Open", "document_index": 1, "start_char_index": "0", "end_char_index": 4},
    {"type": "page_location", "cited_text": "Open", "document_index": 1, "start_page_number": 1},
])
def test_a_citation_that_does_not_hold_is_dropped(raw):
    good = {"type": "char_location", "cited_text": "Open", "document_index": 1, "start_char_index": 0,
            "end_char_index": 4}
    blocks = [ReplyBlock("Opening hours", ({"type": "char_location", **raw}, good))]
    checked = citations.check(blocks, SOURCES)
    assert (checked.received, checked.dropped, len(checked.citations)) == (2, 1, 1)
    # kept in the session and read back, it holds again; edited by hand, it is dropped again
    (kept,) = checked.citations
    assert citations.from_state([kept.to_state(SOURCES)], SOURCES, "Opening hours").citations == (kept,)
    spoiled = {**kept.to_state(SOURCES), "cited_text": "Closed"}
    assert citations.from_state([spoiled], SOURCES, "Opening hours").dropped == 1


def assembled(reply, blocks):
    checked = citations.check(blocks, SOURCES)
    marked, passages = footnotes.marked(reply, checked.citations)
    given = assembly.material([source.text for source in SOURCES], [], ORIGIN, provenance.FollowUp(), SOURCES)
    return assembly.assemble("prd", marked, PRD, given, checked, passages)


def prd_reply(requirements, extra=""):
    body = "\n\n".join(f"## {name}\n\n" + (requirements if name == "Functional requirements" else f"Text for {name}.")
                       for name in PRD.required)
    return f"# Product requirements: Clinic agent\n\n{body}\n{extra}"


@pytest.mark.parametrize("heading", ["Requirements without a source", "Said in the interview, not in the documents",
                                     "Sources", "Figures to verify", "9. REQUIREMENTS WITHOUT A SOURCE",
                                     "Sources of leads"])
def test_a_check_section_the_model_wrote_is_replaced(heading):
    reply = prd_reply("- FR-1 (must): take calls.\n", f"\n## {heading}\n\nNone. [^s1]: “made up”\n")
    reply = reply.replace("Text for Risks.", "Text [^1] Risks.")
    done = assembled(reply, [ReplyBlock(reply)])
    headings = [line for line in done.text.split("\n") if line.startswith("## ")]
    for ours in (*traceability.HEADINGS, footnotes.SOURCES_HEADING, "Figures to verify"):
        assert headings.count(f"## {ours}") == 1
    kept = heading == "Sources of leads"  # a section of the model's own that only starts like "Sources"
    assert ("made up" in done.text and "None. " in done.text) == kept
    assert "Text [\\^1] Risks." in done.text  # the model's own footnote syntax is plain text


def test_a_reply_without_citations_lists_every_requirement():
    reply = prd_reply(MARK.sub("", MARKED) + "- SHA-256 for every stored number.\n")  # no requirement's number
    done = assembled(reply, [ReplyBlock(reply)])
    section = done.text.split("## Requirements without a source\n\n", 1)[1].split("\n## ")[0]
    assert section.startswith(traceability.NO_CITATIONS_NOTE)
    assert [line.split("**")[1] for line in section.splitlines() if line.startswith("- ")] == [
        "FR-1", "FR-2", "FR-3", "FR-4"]
    assert traceability.NOT_CHECKED in done.text and footnotes.NO_CITATIONS in done.text
    assert done.trace is not None and done.trace.no_citations and done.footnotes == []


def test_cited_requirements_and_statements():
    raw = cited_blocks(prd_reply(MARKED), [(source.text, source.title) for source in SOURCES])
    reply = "".join(block["text"] for block in raw)
    done = assembled(reply, [ReplyBlock(block["text"], tuple(block.get("citations", ()))) for block in raw])
    assert done.trace is not None
    assert [(r.ident, r.cited, r.assumed) for r in done.trace.requirements] == [
        ("FR-1", True, False), ("FR-2", True, False), ("FR-3", True, True), ("FR-4", False, False)]
    section = done.text.split("## Requirements without a source\n\n", 1)[1].split("\n## ")[0]
    assert section.rstrip().endswith("approved.\n\n- **FR-4** (could): speak Tamil.")
    # "It should book follow-ups." states a need that no citation covers
    assert (done.trace.statements, done.trace.covered) == (3, 2)
    assert "- \u201cIt should book follow-ups.\u201d (line 5)" in done.text
    assert "- FR-2 (must): never diagnose.[^s2]\n" in done.text
    assert "[^s2]: \u201cIt must never give a diagnosis.\u201d \u2014 interview, line 5" in done.text
    # a gap's title (the model's) is one line of plain text in the definition
    assert "[^s3]: \u201cOpen 8 am to 6 pm.\u201d \u2014 follow-up answer, Clinic \\*hours\\* \\[late\\]\n" in done.text
    assert traceability.summary("PRD", done.trace.to_state()) == (
        "PRD: 3 of 4 requirements cited, 2 of 3 interview statements covered, 0 figures to verify, "
        "0 citations dropped")


def test_a_transcripts_times_and_speakers_are_not_statements():
    call = read_source(vtt_text([(3, 6, "Priya", "Good morning, Dr Rao."),
                                 (30, 34, "Dr Rao", "Morning. We take 400 calls a day.")]).encode(), "call.vtt")
    assert [statement.text for statement in traceability.statements(call.text)] == ["We take 400 calls a day."]


@pytest.mark.parametrize("name, data, words, where", [
    ("call.vtt", vtt_text([(0, 4, "Meera", "Hello."), (724, 730, "Dr Rao", "We take 400 calls a day.")]).encode(),
     "400 calls a day", "interview, 00:12:04, Dr Rao"),
    ("notes.pdf", pdf_bytes([["Opening hours."], ["Beds are held for 4 hours."]]), "held for 4 hours",
     "notes.pdf, page 2"),
    ("notes.md", b"# Notes\n\nBeds are\nheld for 4 hours.\n", "held for 4 hours", "notes.md, line 4"),
])
def test_a_footnote_says_where_its_words_stand(name, data, words, where):
    """By the readers' marks: a transcript's time and speaker, a PDF's page, a text's line."""
    from brevanta.pipeline.session import Run

    read = read_source(data, name)
    run = Run("interview.md", "acme", 1, interview_source=read.to_state(with_text=False))
    if name.endswith(".vtt"):
        sent = run_sources(read.text, run)
    else:
        run.attachments.append({**read.to_state(), "round": 1})
        sent = run_sources("The interview.", run)
    source = sent[-1]
    start = source.text.index(words.split()[0])
    assert source.where(start) == where


@pytest.mark.parametrize("reply, supported, marked", [
    ("Reply fast.  \nNext.", "Reply fast.  \n", "Reply fast.[^s1]  \nNext."),
    ("| FR-1 | Reply fast. |\n| FR-2 | x |\n", "| FR-1 | Reply fast. |\n", "| FR-1 | Reply fast.[^s1] |\n| FR-2 | x |\n"),
    ("```\ncode\n```\nAfter.", "code", "```\ncode\n```[^s1]\nAfter."),
    ("A [^1] note.[^1]: fake", "A [^1] note.", "A [\\^1] note.[^s1][\\^1]: fake"),  # the reply's own syntax is text
])
def test_a_reference_goes_right_after_the_text_it_supports(reply, supported, marked):
    start = reply.index(supported)
    citation = citations.Citation(0, 0, 9, "Patients,", start, start + len(supported))
    text, passages = footnotes.marked(reply, [citation])
    assert footnotes.numbered(text, passages, SOURCES)[0] == marked
