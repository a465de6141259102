"""Times as a session stores them (ISO local time) and as they are shown."""

from __future__ import annotations

from datetime import datetime
from typing import Any


def when(saved_at: Any) -> str:
    """"2026-12-01 10:00:00" for a stored ISO time; the value itself, or "an unknown time", otherwise."""
    try:
        return datetime.fromisoformat(saved_at).strftime("%Y-%m-%d %H:%M:%S")
    except (TypeError, ValueError):
        return str(saved_at) or "an unknown time"
