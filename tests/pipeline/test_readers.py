"""The readers: real files of each kind made by their own tools, read to exactly the text the model
sees and the place each region came from; every refusal; the same call in four kinds; the state a
session keeps."""

import codecs
import io
import re
import struct
import zipfile

import pytest
from support.source_files import TURNS, docx_bytes, interview_files, pdf_bytes, srt_text, vtt_text

from brevanta.pipeline import readers
from brevanta.pipeline.readers import Mark, SourceProblem, SourceText, read_source
from brevanta.pipeline.readers import word as word_reader

BRIEF = [
    ("title", "Clínica Sol: voice agent"),
    ("p", "Dr Rao runs three clinics; fees are ₹500."),
    ("h2", "What it must do"),
    ("bullet", "Book and move visits"),
    ("bullet", "Send reminders"),
    ("number", "Triage first"),
    ("number", "Then booking"),
    ("table", [["Clinic", "Calls"], ["Kothrud", "180"], ["Baner", "140"]]),
    ("p", "Après the table."),
]
CUES = [
    (1.0, 4.0, "Dr Anaya Rao", "Hello & welcome."),
    (4.5, 8.0, "Dr Anaya Rao", "We run three clinics."),
    (9.0, 12.0, "Priya Nair", "Café? ₹500?"),
    (3725.25, 3727.0, "Dr Anaya Rao", "Bye."),
    (3728.0, 3729.0, None, "Really, bye."),  # no name: the speaker goes on
]
CALL = ("[00:00:01] Dr Anaya Rao: Hello & welcome. We run three clinics.\n\n"
        "[00:00:09] Priya Nair: Café? ₹500?\n\n"
        "[01:02:05] Dr Anaya Rao: Bye. Really, bye.")
CALL_MARKS = [(0, "00:00:01, Dr Anaya Rao"), (65, "00:00:09, Priya Nair"), (101, "01:02:05, Dr Anaya Rao")]


def _vtt_with_entities():
    return vtt_text(CUES).replace("Hello & welcome", "Hello &amp; welcome").encode()


@pytest.mark.parametrize("make, name, kind, text, marks", [
    (lambda: docx_bytes(BRIEF), "brief.docx", "word",
     "# Clínica Sol: voice agent\n\nDr Rao runs three clinics; fees are ₹500.\n\n## What it must do\n\n"
     "- Book and move visits\n- Send reminders\n1. Triage first\n2. Then booking\n\n"
     "Clinic | Calls\nKothrud | 180\nBaner | 140\n\nAprès the table.",
     [(0, "paragraph 1"), (28, "paragraph 2"), (71, "paragraph 3"), (91, "paragraph 4"), (114, "paragraph 5"),
      (131, "paragraph 6"), (147, "paragraph 7"), (164, "table 1, row 1"), (179, "table 1, row 2"),
      (193, "table 1, row 3"), (206, "paragraph 8")]),
    # an empty page leaves no mark: the next region is the next page with text
    (lambda: pdf_bytes([["Clínica Sol — page one", "Fees are ₹500."], [], ["Page three: “quoted”"]]), "brief.pdf", "pdf",
     "Clínica Sol — page one\nFees are ₹500.\n\nPage three: “quoted”", [(0, "page 1"), (39, "page 3")]),
    (_vtt_with_entities, "call.vtt", "transcript", CALL, CALL_MARKS),
    (lambda: srt_text(CUES).encode(), "call.srt", "transcript", CALL, CALL_MARKS),
    # without speakers: a passage a minute; a single word before a colon, said once, is no speaker
    (lambda: srt_text([(0.0, 2.0, None, "Question: how many calls?"), (30.0, 32.0, None, "About 400."),
                       (70.0, 72.0, None, "Thanks.")]).encode(), "call.srt", "transcript",
     "[00:00:00] Question: how many calls? About 400.\n\n[00:01:10] Thanks.", [(0, "00:00:00"), (49, "00:01:10")]),
    # the content decides, not the name
    (lambda: srt_text(CUES).encode(), "call.txt", "transcript", CALL, CALL_MARKS),
    (lambda: pdf_bytes([["Only a page."]], ascii_only=True), "scan-0001", "pdf", "Only a page.", [(0, "page 1")]),
    (lambda: "# Notes\r\nline two\n".encode(), "notes.md", "markdown", "# Notes\r\nline two\n", []),
    (lambda: codecs.BOM_UTF8 + "café\n".encode(), "notes.txt", "text", "café\n", []),
    (lambda: "café\nthé\n".encode("utf-16"), "notes.txt", "text", "café\nthé\n", []),
    (lambda: codecs.BOM_UTF16_BE + "₹500".encode("utf-16-be"), "notes", "text", "₹500", []),
])
def test_each_kind_read_exactly(make, name, kind, text, marks):
    data = make()
    source = read_source(data, name)
    assert (source.name, source.kind, source.size) == (name, kind, len(data))
    assert source.text == text
    assert [(mark.start, mark.label) for mark in source.marks] == marks


def test_locations_of_each_kind():
    call = read_source(vtt_text(CUES).encode(), "call.vtt")
    assert [call.location(call.text.index(words)) for words in ("We run", "₹500", "Really")] == [
        "00:00:01, Dr Anaya Rao", "00:00:09, Priya Nair", "01:02:05, Dr Anaya Rao"]
    assert call.marks[2] == Mark(101, "01:02:05, Dr Anaya Rao", seconds=3725.25, speaker="Dr Anaya Rao")
    brief = read_source(docx_bytes(BRIEF), "brief.docx")
    assert brief.location(brief.text.index("Kothrud | 180")) == "table 1, row 2"
    assert brief.location(brief.text.index("Then booking") + 3) == "paragraph 7"
    notes = read_source(b"one\ntwo\nthree", "notes.txt")
    assert [notes.location(offset) for offset in (0, 4, 8, 13, 99)] == ["line 1", "line 2", "line 3", "line 3", "line 3"]


def _encrypted_pdf(user_password):
    from pypdf import PdfReader, PdfWriter

    writer = PdfWriter(clone_from=PdfReader(io.BytesIO(pdf_bytes([["Secret plans."]], ascii_only=True))))
    writer.encrypt(user_password, "owner", algorithm="RC4-128")
    out = io.BytesIO()
    writer.write(out)
    return out.getvalue()


def test_a_pdf_protected_only_against_changes_is_read():
    assert read_source(_encrypted_pdf(""), "rules.pdf").text == "Secret plans."


def _drawing_only_pdf():
    from fpdf import FPDF

    pdf = FPDF()
    pdf.add_page()
    pdf.rect(10, 10, 120, 160, style="F")  # what a scanned page is to a text reader: no text at all
    return bytes(pdf.output())


def _zip(parts):
    out = io.BytesIO()
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as archive:
        for name, data in parts.items():
            archive.writestr(name, data)
    return out.getvalue()


def _docx_with_parts(**extra):
    with zipfile.ZipFile(io.BytesIO(docx_bytes([("p", "Hello.")]))) as archive:
        parts = {info.filename: archive.read(info) for info in archive.infolist()}
    return _zip({**parts, **extra})


def _understated_docx():
    """A .docx whose directory claims its document part is tiny: inflating it must stop, not trust it."""
    data = bytearray(_docx_with_parts())
    entry = data.find(b"PK\x01\x02")
    while data[entry + 46: entry + 46 + 17] != b"word/document.xml":
        entry = data.find(b"PK\x01\x02", entry + 4)
    struct.pack_into("<I", data, entry + 24, 10)  # its uncompressed size
    return bytes(data)


def _encrypted_office_file():
    # The compound file Office writes for a password-protected .docx: the magic, then (among its
    # directory entries, in UTF-16) the stream that holds the encrypted package.
    return b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes(504) + "EncryptedPackage".encode("utf-16-le") + bytes(64)


@pytest.mark.parametrize("make, name, says", [
    (lambda: "café".encode("latin-1"), "notes.txt", "notes.txt is not UTF-8 text"),
    (lambda: b"\x89PNG\r\n\x1a\n\x00\x00\xff", "photo.png", "photo.png is not UTF-8 text"),
    (lambda: b"  \n\t\n", "notes.md", "notes.md is empty"),
    (lambda: codecs.BOM_UTF8, "notes.md", "notes.md is empty"),
    (lambda: b"\xffjunk\x00\x9c", "report.pdf", "report.pdf is damaged or not a PDF: it does not begin with a PDF header"),
    (lambda: b"\xffjunk\x00\x9c", "brief.docx", "brief.docx is damaged or not a Word document: it is not a zip archive"),
    (lambda: b"These are notes, not cues.", "call.vtt",
     "call.vtt is not a WebVTT or SRT transcript: it has no WEBVTT header or numbered cues"),
    (lambda: b"WEBVTT\n\n00:00:01.000 --> 00:00:02.000\n\n", "call.vtt", "call.vtt holds no text: its cues are empty"),
    (lambda: _encrypted_pdf("secret"), "plans.pdf",
     "plans.pdf is password-protected (encrypted), so its text cannot be read"),
    (_drawing_only_pdf, "scan.pdf",
     "scan.pdf has no text layer (a scanned document?); scanned pages are not read, as there is no OCR"),
    (lambda: pdf_bytes([["Hello."]], ascii_only=True)[:400], "cut.pdf", "cut.pdf is damaged and cannot be read as a PDF ("),
    (_encrypted_office_file, "locked.docx",
     "locked.docx is a password-protected (encrypted) Office file, so its text cannot be read"),
    (lambda: b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes(600), "old.doc",
     "old.doc is an older Word or Office file (.doc); only .docx can be read, so save it as .docx"),
    (lambda: b"{\\rtf1\\ansi Hello}", "memo.rtf",
     "memo.rtf is a Rich Text (.rtf) file, which is not read; save it as .docx or plain text"),
    (lambda: _zip({"notes.txt": "hello"}), "notes.docx", "notes.docx is a zip archive but not a Word document (.docx)"),
    (lambda: docx_bytes([("p", "  ")]), "blank.docx", "blank.docx holds no text"),
    (lambda: _docx_with_parts(**{"word/document.xml": "<w:document"}), "broken.docx",
     "broken.docx is damaged and cannot be read as a Word document ("),
    (lambda: docx_bytes([("p", "Hello.")])[:-200], "cut.docx",
     "cut.docx is damaged and cannot be read as a Word document ("),
    (_understated_docx, "liar.docx", "liar.docx is damaged and cannot be read as a Word document ("),
])
def test_refusals_name_the_file_and_what_is_wrong(make, name, says):
    with pytest.raises(SourceProblem) as refused:
        read_source(make(), name)
    assert str(refused.value).startswith(says)
    assert refused.value.name == name and "\n" not in str(refused.value)


def test_a_zip_bomb_is_refused_before_it_is_inflated(monkeypatch):
    monkeypatch.setattr(word_reader, "MAX_UNPACKED_BYTES", 4 * 1024 * 1024)
    bomb = _docx_with_parts(**{"word/media/padding.bin": bytes(5 * 1024 * 1024)})
    says = "bomb.docx expands past 4 MB when unpacked (a zip bomb?), so it is not read"
    with pytest.raises(SourceProblem, match=re.escape(says)):
        read_source(bomb, "bomb.docx")


def test_a_file_past_the_byte_limit_is_not_read(monkeypatch):
    monkeypatch.setattr(readers, "MAX_SOURCE_BYTES", 1024 * 1024)
    with pytest.raises(SourceProblem, match=r"^big\.pdf is too large to read: larger than 1 MB$"):
        read_source(b"%PDF-1.7\n" + bytes(2 * 1024 * 1024), "big.pdf")


def _words(text):
    """The call apart from its layout: the words in order, without the transcript's times, the Markdown
    marks, bullets, table bars, punctuation and where the lines break."""
    return re.findall(r"\w+", re.sub(r"\[\d\d:\d\d:\d\d\]", " ", text))


def test_the_same_call_in_four_kinds_gives_the_same_words():
    files = interview_files()
    read = {name: read_source(data, name) for name, data in files.items()}
    assert {name: source.kind for name, source in read.items()} == {
        "call.md": "markdown", "call.docx": "word", "call.pdf": "pdf", "call.vtt": "transcript"}
    # In the transcript a speaker's two consecutive turns are one passage, named once.
    expected = _words(" ".join(f"{speaker}: {text}" for speaker, text in TURNS).replace(
        "unanswered. Dr Anaya Rao: Patients", "unanswered. Patients"))
    assert _words(read["call.vtt"].text) == expected
    turns_words = _words(" ".join(f"{speaker}: {text}" for speaker, text in TURNS))
    assert [_words(read[name].text) for name in ("call.md", "call.docx", "call.pdf")] == [turns_words] * 3


@pytest.mark.parametrize("state, expected", [
    # an old session kept only the text
    ({"text": "line one\nline two"}, SourceText("interview", "text", "line one\nline two")),
    ({}, SourceText("interview", "text", "")),
    ("garbled", SourceText("interview", "text", "")),
    ({"name": 7, "kind": "spreadsheet", "size": -1, "text": "x", "marks": "nope"}, SourceText("interview", "text", "x")),
    ({"name": "a.pdf", "kind": "pdf", "size": 10, "text": "abcdef",
      "marks": {"rows": [[0, 1], "bad", [4, 2], [2, 9], [99, 3], [5, True, 0], [5, "table 1, row 1"]]}},
     SourceText("a.pdf", "pdf", "abcdef", (Mark.for_page(0, 1), Mark.for_page(4, 2), Mark(5, "table 1, row 1")), 10)),
    ({"name": "c.vtt", "kind": "transcript", "text": "abc", "marks": {"rows": [[0, 1500, 0], [1, 61000, 5]],
                                                                       "speakers": ["Dr Rao"]}},
     SourceText("c.vtt", "transcript", "abc", (Mark.for_passage(0, 1.5, "Dr Rao"), Mark.for_passage(1, 61.0, None)))),
])
def test_state_read_back_tolerates_old_and_garbled_sessions(state, expected):
    assert SourceText.from_state(state) == expected


def test_state_round_trip_keeps_every_mark_and_stays_compact():
    import json

    cues = [(index * 4.0, index * 4.0 + 3.5, ("Dr Anaya Rao", "Priya Nair")[index // 3 % 2], f"Sentence {index}.")
            for index in range(1800)]  # two hours of four-second cues, turns of three
    call = read_source(vtt_text(cues).encode(), "call.vtt")
    state = call.to_state(with_text=False)
    assert "text" not in state and SourceText.from_state({**state, "text": call.text}) == call
    # each name written once: about 21 bytes a mark, where a label each would take over 40
    assert len(json.dumps(state["marks"])) < 25 * len(call.marks)
    assert SourceText.from_state(json.loads(json.dumps(call.to_state()))) == call
