# Types of the native module brevanta.waymark, for type checkers.
from pathlib import Path
from typing import Any, TypedDict, type_check_only

SESSIONS_DIR: Path
ARCHIVE_DIR: Path
PHASES: list[str]

# What build_serialisable_state returns: all nine keys, always present.
# Exists for type checkers only: import it under `if TYPE_CHECKING:`.
@type_check_only
class SessionState(TypedDict):
    interview_answers: list[dict[str, Any]]
    document_types: list[str]
    project_type_key: str | None
    selected_strategy_number: int | None
    analysis_summary: str | None
    analysis_completeness: float | None
    strategy_id: str | None
    review_turn_id: str | None
    output_dir: str | None

# One element of load_incomplete_sessions(). `state` is the stored state as
# read back from the file, with whatever members the host saved in it.
@type_check_only
class SessionRecord(TypedDict):
    path: str
    org_id: str
    phase: str
    saved_at: str
    state: dict[str, Any]

def _ensure_dirs() -> None: ...
def save_state(
    org_id: str, state: SessionState | dict[str, Any], phase: str, session_file: str | None = None
) -> str: ...
def load_incomplete_sessions(org_id: str) -> list[SessionRecord]: ...
def mark_complete(session_path: str) -> None: ...
def archive_session(session_path: str) -> None: ...
def _safe_org_id(org_id: str) -> str: ...
def build_serialisable_state(
    *,
    interview_answers: list[dict[str, Any]] | None = None,
    document_types: list[str] | None = None,
    project_type_key: str | None = None,
    selected_strategy_number: int | None = None,
    analysis_summary: str | None = None,
    analysis_completeness: float | None = None,
    strategy_id: str | None = None,
    review_turn_id: str | None = None,
    output_dir: str | None = None,
) -> SessionState: ...
