"""How the analysis report ranks and tags a gap by its impact level, and the verdict it ends with: the
console report's own table (`gapscope.display_analysis`), written once here for every other report (the
browser's) and for the checks that hold them to the console's.

A gap's level comes from the model and is never trusted to be a known word, or a string at all."""

from __future__ import annotations

from collections.abc import Mapping
from typing import Any

CRITICAL = "critical"
# Rank by the level exactly as written; a missing level ranks as "minor", any other value last.
RANKS = {CRITICAL: 0, "significant": 1, "minor": 2}
UNRANKED = 3
# The report's tag by the level upper-cased: "Critical" is tagged HIGH, yet ranked last.
TAGS = {"CRITICAL": "HIGH", "SIGNIFICANT": "MEDIUM"}
OTHER_TAG = "LOW"

SUFFICIENT = "Requirements are sufficient to generate a strong PRD and TRD."
NO_GAPS = "No gaps identified \u2014 requirements look comprehensive."


def _level(gap: Mapping[str, Any], missing: str) -> Any:
    return gap.get("impact_level", missing)


def rank(gap: Mapping[str, Any]) -> int:
    level = _level(gap, "minor")
    return RANKS.get(level, UNRANKED) if isinstance(level, str) else UNRANKED


def impact_word(gap: Mapping[str, Any]) -> str:
    """The level as the console shows it beside one gap before a decision: "CRITICAL", "UNKNOWN"."""
    return str(_level(gap, "unknown")).upper()


def tag(gap: Mapping[str, Any]) -> str:
    """The report's tag of the gap: HIGH, MEDIUM or LOW."""
    return TAGS.get(impact_word(gap), OTHER_TAG)


def is_critical(gap: Mapping[str, Any]) -> bool:
    """Critical as the report counts it and as a bypass asks about it: the level exactly "critical"."""
    return gap.get("impact_level") == CRITICAL


def verdict(sufficient: bool, critical_count: int) -> str:
    if sufficient:
        return SUFFICIENT
    plural = "" if critical_count == 1 else "s"
    return f"More detail would strengthen the output. {critical_count} critical gap{plural} found."
