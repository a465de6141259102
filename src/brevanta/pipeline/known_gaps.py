"""Every bypassed gap under "Known gaps and assumptions", whether or not the model listed it: the
section is found however the model wrote its heading, and a gap counts as listed when its title is
there after case, spacing and punctuation are set aside."""

from __future__ import annotations

from typing import Any

from brevanta.pipeline.sections import KNOWN_GAPS_HEADING, section_span, words_of

GAPS_NOTE = ("The interview did not settle these points and the user chose to go ahead without them: "
             "what this document says about them is an assumption, not a requirement.")


def gap_title(gap: dict[str, Any]) -> str:
    return str(gap.get("title", "Unknown"))


def _gap_entry(kind: str, gap: dict[str, Any]) -> str:
    impact = gap.get(f"impact_on_{kind}", "Unknown")
    return (f"- **{gap_title(gap)}** [LIMITED DATA]: {gap.get('risk_if_skipped', 'Unknown impact')}\n"
            f"  {kind.upper()} impact: {impact}")


def mentions(text: str, title: str) -> bool:
    wanted = " ".join(words_of(title))
    return bool(wanted) and f" {wanted} " in f" {' '.join(words_of(text))} "


def with_known_gaps(kind: str, text: str, bypassed: list[dict[str, Any]],
                    heading: str = KNOWN_GAPS_HEADING) -> tuple[str, list[str]]:
    """`text` with every bypassed gap under the known-gaps section: the titles the model left out are
    added there, and the section itself when it is missing. Returns the text and the titles added."""
    section = section_span(text, heading)
    listed = text[section[0]:section[1]] if section else ""
    missing = [gap for gap in bypassed if not mentions(listed, gap_title(gap))]
    if not missing:
        return text, []
    entries = "\n".join(_gap_entry(kind, gap) for gap in missing)
    if section is None:
        text = f"{text.rstrip()}\n\n## {heading}\n\n{GAPS_NOTE}\n\n{entries}\n"
    else:
        before, after = text[:section[1]].rstrip(), text[section[1]:]
        text = f"{before}\n{entries}\n" + (f"\n{after}" if after else "")
    return text, [gap_title(gap) for gap in missing]
