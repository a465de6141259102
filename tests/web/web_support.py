"""What the web tests share besides fixtures: the example analysis, session files written as the
command writes them, and where the browser's screenshots go."""

from __future__ import annotations

import json
from dataclasses import dataclass
from pathlib import Path
from typing import Any

REPO = Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"
PORT = 8123
BASE = f"http://127.0.0.1:{PORT}"
CHROMIUM = Path("/usr/bin/chromium")
SCREENSHOTS = REPO / "build" / "screenshots"


def example_analysis() -> dict[str, Any]:
    """The example run's analysis, as a session keeps it (the fields of an AnalysisResult)."""
    from brevanta import gapscope

    reply = (EXAMPLES / "replay" / "analysis.md").read_text(encoding="utf-8")
    parsed = json.loads(gapscope._extract_json(reply))
    result = gapscope.AnalysisResult(**{key: parsed[key] for key in (
        "completeness_score", "completeness_reasoning", "sufficient_for_prd", "gaps", "insights",
        "data_points_found", "architecture_notes", "summary") if key in parsed})
    return {name: getattr(result, name) for name in (
        "completeness_score", "completeness_reasoning", "sufficient_for_prd", "gaps", "insights",
        "data_points_found", "architecture_notes", "summary")}


@dataclass
class Store:
    sessions: Path
    archive: Path

    def write(self, name: str, *, org_id: str = "acme", phase: str = "analysis", archived: bool = False,
              saved_at: str = "2026-12-01T10:00:00", analysis: dict[str, Any] | None = None,
              **state: Any) -> Path:
        """A session file as the command writes it, with `state` over a plausible default."""
        full_state: dict[str, Any] = {
            "interview_answers": [], "document_types": [], "project_type_key": None,
            "selected_strategy_number": None, "analysis_summary": None, "analysis_completeness": None,
            "strategy_id": None, "review_turn_id": None, "output_dir": None,
            "round": 1, "bypassed_gaps": [], "interview_file": "/work/interview.md", "attachments": [],
            "analysis": None if analysis is None else {"round": 1, "result": analysis},
            "walking": False, "left_open": [], "open_gaps": 0, "documents_written": [],
        }
        full_state.update(state)
        path = (self.archive if archived else self.sessions) / name
        data = {"org_id": org_id, "phase": phase, "saved_at": saved_at, "state": full_state}
        if phase == "complete":
            data["completed_at"] = saved_at
        path.write_text(json.dumps(data, indent=2), encoding="utf-8")
        return path


@dataclass
class Watched:
    """A page whose dialogs and console errors are collected instead of passing unnoticed."""

    page: Any
    dialogs: list[str]
    errors: list[str]
