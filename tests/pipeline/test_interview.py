"""The interview a session belongs to: its title, the one name it is shown by, and the ids earlier
versions gave it."""

import hashlib
import uuid

import pytest

from brevanta.pipeline.interview import STDIN, Interview, binding, display_name, legacy_org_id, title


@pytest.mark.parametrize("text, shown", [
    ("# Interview: Tarang Living \u2014 WhatsApp agent\n\nBody.", "Interview: Tarang Living \u2014 WhatsApp agent"),
    ("Notes from the call\n\n## Goals\n", "Goals"),  # the first heading, near the top
    ("Plain first line, *emphasised*.\nSecond line.", "Plain first line, emphasised."),
    ("## **Acme** bot ##\n", "Acme bot"),
    ("   \n\n", ""),
    ("# " + "word " * 30, "word word word word word word word word word word word word\u2026"),
])
def test_the_title_is_the_first_heading_or_line(text, shown):
    assert title(text) == shown


@pytest.mark.parametrize("path, text, shown", [
    ("/work/interviews/acme.md", "# Ignored", "acme.md"),
    (STDIN, "# Acme bot\n\nWe want one.", "\u201cAcme bot\u201d"),
    (STDIN, "", "an untitled interview"),
])
def test_one_name_wherever_an_interview_is_shown(path, text, shown):
    assert display_name(path, text) == shown == Interview(path, text).shown_name()


def test_the_earlier_ids_are_stable_and_keep_texts_apart():
    assert legacy_org_id("/work/a.md", "x") == legacy_org_id("/work/a.md", "y")  # a file: its path
    assert legacy_org_id(STDIN, "x") != legacy_org_id(STDIN, "y")  # standard input: its text
    # as earlier versions named them: a UUID of the file's URI, or of the text's hash for standard input
    assert legacy_org_id("/srv/a.md", "") == str(uuid.uuid5(uuid.NAMESPACE_URL, "file:///srv/a.md"))
    standard_input = uuid.uuid5(uuid.NAMESPACE_URL, "brevanta:standard-input")
    assert legacy_org_id(STDIN, "x") == str(uuid.uuid5(standard_input, hashlib.sha256(b"x").hexdigest()))


def test_a_session_binds_its_text_and_its_file():
    interview = Interview("/work/a.md", "text")
    assert binding({"interview_sha256": interview.sha256}, interview) == "same"
    assert binding({"interview_file": "/work/a.md", "interview_sha256": "0"}, interview) == "changed"
    assert binding({"interview_file": "/work/b.md"}, interview) == "other"
    assert binding({"interview_file": STDIN}, Interview(STDIN, "text")) == "other"  # no file to go by
