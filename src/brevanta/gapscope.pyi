# Types of the native module brevanta.gapscope, for type checkers.
import logging
from typing import Any, Self

from .relaygate import RelayGate

ANALYSIS_PROMPT: str
logger: logging.Logger

class AnalysisResult:
    completeness_score: float
    completeness_reasoning: str
    sufficient_for_prd: bool
    gaps: list[dict[str, Any]]
    insights: list[dict[str, Any]]
    data_points_found: list[str]
    architecture_notes: list[str]
    summary: str
    raw_response: str
    # Filled by the host: gap records the user skipped, and the `id` values
    # of the gaps the user answered (whatever the model put there).
    bypassed_gaps: list[dict[str, Any]]
    answered_gaps: list[Any]
    def __init__(
        self,
        completeness_score: float = 0.0,
        completeness_reasoning: str = "",
        sufficient_for_prd: bool = False,
        gaps: list[dict[str, Any]] | None = None,
        insights: list[dict[str, Any]] | None = None,
        data_points_found: list[str] | None = None,
        architecture_notes: list[str] | None = None,
        summary: str = "",
        raw_response: str = "",
    ) -> None: ...
    @classmethod
    def empty(cls, reason: str = "") -> Self: ...
    def get_unanswered_gaps(self) -> list[dict[str, Any]]: ...
    def get_bypass_summary(self) -> str: ...

async def analyze_requirements(
    interview_text: str, loop_number: int = 1, api_client: RelayGate | None = None
) -> AnalysisResult: ...
def _completeness_label(score: float) -> str: ...
def display_analysis(result: AnalysisResult) -> None: ...
def display_gap_with_impact(gap: dict[str, Any], index: int) -> None: ...
def _extract_json(text: str) -> str: ...
