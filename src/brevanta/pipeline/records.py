"""An analysis as the program reads it, whether it came from the model's reply or from a session file:
each field of the type every reader expects. A gap or an insight that is not an object is dropped (the
analysis report passes over them too), as is a fact or a note that is not a plain value; a score that
is not a finite number reads as 0."""

from __future__ import annotations

import math
from collections.abc import Mapping
from typing import TYPE_CHECKING, Any, TypeGuard

if TYPE_CHECKING:
    from brevanta import gapscope

# The analysis fields a session keeps, so a resumed run does not pay for its analysis again.
ANALYSIS_FIELDS = ("completeness_score", "completeness_reasoning", "sufficient_for_prd", "gaps", "insights",
                   "data_points_found", "architecture_notes", "summary")


def _score(value: Any) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return 0.0
    try:
        score = float(value)
    except OverflowError:  # an integer too large for a float
        return 0.0
    return score if math.isfinite(score) else 0.0


def is_count(value: object) -> TypeGuard[int]:
    """A count read from a file: a whole number (not a bool), zero or more."""
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0


def as_text(value: Any) -> str:
    """A value read as text: None is empty, anything else its str()."""
    return "" if value is None else value if isinstance(value, str) else str(value)


def _truth(value: Any) -> bool:
    return bool(value) if isinstance(value, (bool, int, float)) else False


def objects(value: Any) -> list[dict[str, Any]]:
    """The objects of a list, anything else passed over; not a list: none."""
    return [item for item in value if isinstance(item, dict)] if isinstance(value, list) else []


def gap_record(gap: dict[str, Any]) -> dict[str, Any]:
    """`gap` itself, or a copy whose id is its text when the id is not a plain value (an object, a list):
    gap ids are looked up and kept as keys. The same gap read twice (the analysis's, a bypass's) reads alike."""
    gap_id = gap.get("id")
    if gap_id is None or isinstance(gap_id, str) or (isinstance(gap_id, int) and not isinstance(gap_id, bool)):
        return gap
    return {**gap, "id": str(gap_id)}


def gap_records(value: Any) -> list[dict[str, Any]]:
    """The gaps of a list: its objects, each read by `gap_record`."""
    return [gap_record(gap) for gap in objects(value)]


def _plain(value: Any) -> list[Any]:
    return [item for item in value if isinstance(item, (str, int, float)) and not isinstance(item, bool)] \
        if isinstance(value, list) else []


def analysis_fields(fields: Mapping[str, Any]) -> dict[str, Any]:
    """The fields of an AnalysisResult read from `fields`, each of its expected type."""
    return {
        "completeness_score": _score(fields.get("completeness_score")),
        "completeness_reasoning": as_text(fields.get("completeness_reasoning")),
        "sufficient_for_prd": _truth(fields.get("sufficient_for_prd")),
        "gaps": gap_records(fields.get("gaps")),
        "insights": objects(fields.get("insights")),
        "data_points_found": _plain(fields.get("data_points_found")),
        "architecture_notes": _plain(fields.get("architecture_notes")),
        "summary": as_text(fields.get("summary")),
    }


def tidy(result: gapscope.AnalysisResult) -> gapscope.AnalysisResult:
    """`result` (the model's) with its fields as `analysis_fields` reads them; the records kept are the same objects."""
    for name, value in analysis_fields({name: getattr(result, name) for name in ANALYSIS_FIELDS}).items():
        setattr(result, name, value)
    return result
