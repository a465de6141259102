"""The organisation of an interview whose user named none: a readable name, a short hash only when
another interview holds that name, and the ids of before still looked under."""

import pytest

from brevanta import waymark
from brevanta.pipeline import organisation
from brevanta.pipeline.interview import STDIN, Interview, legacy_org_id


@pytest.mark.parametrize("text, name", [
    ("Acme Corp (v2)", "acme-corp-v2"),
    ("Caf\u00e9 M\u00fcller", "cafe-muller"),
    ("\u00bb\u00ab ...", "interview"),
    ("Tarang Living \u2014 WhatsApp lead-qualification agent", "tarang-living-whatsapp-lead"),  # at most 40, at a hyphen
    ("a" * 50, "a" * 40),
])
def test_a_safe_name_is_lowercase_letters_digits_and_hyphens(text, name):
    assert organisation.safe_name(text) == name


@pytest.mark.parametrize("interview, upload, name", [
    (Interview("/work/Acme Corp.md", ""), None, "acme-corp"),
    (Interview(STDIN, "# Interview: Tarang Living\n\nText."), None, "tarang-living"),
    (Interview(STDIN, "# Interview with Acme\n"), None, "acme"),
    (Interview(STDIN, "We want a bot."), "Acme notes.txt", "acme-notes"),  # an upload's file name stands in
])
def test_the_name_comes_from_the_file_or_the_title(store, interview, upload, name):
    assert organisation.for_interview(interview, upload).org_id == name


def _save(org_id, interview):
    waymark.save_state(org_id, {"interview_file": interview.stored_path, "interview_sha256": interview.sha256,
                                "interview_text": interview.text}, "analysis")


def test_a_hash_keeps_two_interviews_of_one_name_apart_and_stays(store):
    first, second = Interview("/a/interview.md", "one"), Interview("/b/interview.md", "two")
    _save(organisation.for_interview(first).org_id, first)
    apart = organisation.for_interview(second)
    assert apart.org_id.startswith("interview-") and len(apart.org_id) == len("interview-") + 6
    _save(apart.org_id, second)
    assert organisation.for_interview(first).org_id == "interview"  # each keeps its own
    assert organisation.for_interview(second).org_id == apart.org_id
    assert apart.earlier_ids == (legacy_org_id("/b/interview.md", "two"),)
    assert organisation.named("acme").ids == ("acme",)  # a name the user gave is looked under alone
