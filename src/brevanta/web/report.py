"""An analysis as the report page shows it: the console report's content, section by section (summary,
facts, completeness with its label, gaps by impact, the ways forward, critical issues, important
considerations, architecture notes, verdict), plus each gap's PRD and TRD impact.

The analysis comes from a session file, so nothing in it is trusted to have the expected type: a
value of another type is shown as text or passed over, never a failure of the page.
"""

from __future__ import annotations

import math
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

from brevanta import gapscope
from brevanta.pipeline import severity
from brevanta.pipeline.decisions import gap_question
from brevanta.pipeline.records import as_text, objects


def _items(value: Any) -> list[str]:
    return [as_text(item) for item in value] if isinstance(value, list) else []


@dataclass(frozen=True)
class GapView:
    number: int  # its place among the analysis's gaps, 1-based, as the gap walk numbers it
    record: dict[str, Any]
    gap_id: str
    title: str
    tag: str  # the report's tag: HIGH, MEDIUM, LOW
    tag_class: str
    impact: str  # the level as shown beside a gap before a decision: CRITICAL
    critical: bool
    description: str
    risk: str
    impact_on_prd: str
    impact_on_trd: str
    question: str


@dataclass(frozen=True)
class InsightView:
    title: str
    description: str
    recommendation: str


@dataclass(frozen=True)
class ReportView:
    summary: str
    data_points: list[str]
    score: float | None
    score_text: str
    label: str
    reasoning: str
    gaps: list[GapView]  # by impact, in the analysis's order within one level
    critical_count: int
    no_gaps: str
    critical_issues: list[InsightView]
    important: list[InsightView]
    architecture_notes: list[str]
    sufficient: bool
    verdict: str


def gap_view(number: int, gap: dict[str, Any]) -> GapView:
    tag = severity.tag(gap)
    title = as_text(gap.get("title", "Unknown gap"))
    return GapView(
        number=number,
        record=gap,
        gap_id=as_text(gap.get("id")),
        title=title,
        tag=tag,
        tag_class=tag.lower(),
        impact=severity.impact_word(gap),
        critical=severity.is_critical(gap),
        description=as_text(gap.get("description", "")),
        risk=as_text(gap.get("risk_if_skipped", "")),
        impact_on_prd=as_text(gap.get("impact_on_prd", "")),
        impact_on_trd=as_text(gap.get("impact_on_trd", "")),
        question=gap_question(gap),
    )


def _score(value: Any) -> float | None:
    if isinstance(value, bool) or not isinstance(value, (int, float)) or not math.isfinite(value):
        return None
    return float(value)


def _insights(records: list[dict[str, Any]], severity: str) -> list[InsightView]:
    return [InsightView(as_text(ins.get("title", "")), as_text(ins.get("description", "")),
                        as_text(ins.get("recommendation") or ""))
            for ins in records if ins.get("severity") == severity]


def report_of(fields: Mapping[str, Any]) -> ReportView:
    """The report of a stored analysis (the fields of an AnalysisResult, as a session keeps them)."""
    gaps = [gap_view(number, gap) for number, gap in enumerate(objects(fields.get("gaps")), 1)]
    ranked = sorted(gaps, key=lambda view: severity.rank(view.record))
    score = _score(fields.get("completeness_score"))
    insights = objects(fields.get("insights"))
    critical_count = sum(1 for view in gaps if view.critical)
    sufficient = bool(fields.get("sufficient_for_prd"))
    return ReportView(
        summary=as_text(fields.get("summary") or ""),
        data_points=_items(fields.get("data_points_found")),
        score=score,
        score_text="unknown" if score is None else f"{score:.2f}",
        label="unknown" if score is None else gapscope._completeness_label(score),
        reasoning=as_text(fields.get("completeness_reasoning") or ""),
        gaps=ranked,
        critical_count=critical_count,
        no_gaps=severity.NO_GAPS,
        critical_issues=_insights(insights, "critical"),
        important=_insights(insights, "important"),
        architecture_notes=_items(fields.get("architecture_notes")),
        sufficient=sufficient,
        verdict=severity.verdict(sufficient, critical_count),
    )


def stored_analysis(state: Mapping[str, Any]) -> tuple[int, dict[str, Any]] | None:
    """(round, fields) of the analysis a session keeps, or None when it keeps none."""
    analysis = state.get("analysis")
    if not isinstance(analysis, dict) or not isinstance(analysis.get("result"), dict):
        return None
    round_number = analysis.get("round")
    return (round_number if isinstance(round_number, int) else 1), analysis["result"]
