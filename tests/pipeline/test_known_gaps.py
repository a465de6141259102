"""Every bypassed gap under "Known gaps and assumptions": listed by the model or added, never twice."""

import pytest

from brevanta.pipeline.known_gaps import GAPS_NOTE, with_known_gaps

GAP = {"title": "Real-time bed availability", "risk_if_skipped": "Beds offered twice.", "impact_on_prd": "FR-4 vague."}
BODY = "# PRD\n\n## Goals\n\nFast replies.\n"


@pytest.mark.parametrize("document, added", [
    (BODY + "\n## Known gaps and assumptions\n\n- **Real-time bed availability**: assumed hourly.\n", []),
    (BODY + "\n## 10. KNOWN GAPS\n\n- real time bed-availability (assumed)\n", []),  # however written
    (BODY + "\n## Known gaps and assumptions\n\n- Nothing here.\n\n## Appendix\n\nMore.\n", ["Real-time bed availability"]),
    (BODY, ["Real-time bed availability"]),  # the section itself is added
])
def test_a_bypassed_gap_is_listed_exactly_once(document, added):
    text, titles = with_known_gaps("prd", document, [GAP])
    assert titles == added
    assert text.lower().count("bed availability") + text.lower().count("bed-availability") == 1
    if added:
        assert "- **Real-time bed availability** [LIMITED DATA]: Beds offered twice.\n  PRD impact: FR-4 vague." in text
    if document == BODY:
        assert f"## Known gaps and assumptions\n\n{GAPS_NOTE}\n" in text
    if "## Appendix" in document:  # added inside its section, before the next one
        assert text.index("[LIMITED DATA]") < text.index("## Appendix")
