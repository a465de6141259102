"""The sessions as both front ends list them: by status, each read defensively, grouped by the
organisation worked on last."""

import json

from brevanta import waymark
from brevanta.pipeline import listing


def _write(directory, name, **data):
    (directory / name).write_text(json.dumps(data), encoding="utf-8")


def test_each_status_newest_first_and_the_organisation_worked_on_last_first(store):
    usage = [{"model": "claude-sonnet-4-5", "input_tokens": 100_000, "output_tokens": 10_000}]
    _write(store, "acme_1.json", org_id="acme", phase="analysis", saved_at="2026-12-01T10:00:00",
           state={"usage": usage, "interview_file": "-", "interview_text": "# Acme bot"})
    _write(store, "acme_2.json", org_id="acme", phase="complete", saved_at="2026-12-02T10:00:00", state=[])
    _write(store, "beta_1.json", org_id="beta", phase="analysis", saved_at="2026-12-03T10:00:00", state={})
    _write(waymark.ARCHIVE_DIR, "acme_0.json", org_id="acme", phase="analysis", saved_at="2026-11-30T10:00:00")

    listed = listing.sessions(["acme"])
    assert {status: [item.saved_at[:10] for item in items] for status, items in listed.items()} == {
        "unfinished": ["2026-12-01"], "complete": ["2026-12-02"], "archived": ["2026-11-30"]}
    (unfinished,) = listed["unfinished"]
    assert (unfinished.interview, unfinished.cost, unfinished.saved) == ("\u201cAcme bot\u201d", "$0.45", "2026-12-01 10:00")
    assert unfinished.usage.startswith("100,000 tokens in")

    every = listing.sessions(None)
    grouped = listing.by_organisation(item for items in every.values() for item in items)
    assert list(grouped) == ["beta", "acme"]
    assert [item.status for item in grouped["acme"]] == ["complete", "unfinished", "archived"]
