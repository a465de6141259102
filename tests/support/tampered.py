"""Session files tampered with in every way a store can be: each kind is a session of the example
interview, saved at the documents (so that every command has something to do with it), changed in one
respect. Both front ends take the same table."""

from __future__ import annotations

import hashlib
import json
from collections.abc import Callable
from pathlib import Path
from typing import Any

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"
ORG = "acme"
NAME = "acme_20261201_100000.json"


def example_analysis() -> dict[str, Any]:
    from brevanta import gapscope

    parsed = json.loads(gapscope._extract_json((EXAMPLES / "replay" / "analysis.md").read_text(encoding="utf-8")))
    return {key: parsed[key] for key in ("completeness_score", "completeness_reasoning", "sufficient_for_prd",
                                         "gaps", "insights", "data_points_found", "architecture_notes", "summary")}


def base_session(interview_file: str) -> dict[str, Any]:
    """A sound session of the example interview, every gap bypassed, waiting for its documents."""
    interview = (EXAMPLES / "interview.md").read_text(encoding="utf-8")
    analysis = example_analysis()
    return {"org_id": ORG, "phase": "render", "saved_at": "2026-12-01T10:00:00", "state": {
        "interview_answers": [], "document_types": ["prd", "trd"], "output_dir": None, "round": 1,
        "bypassed_gaps": list(analysis["gaps"]), "interview_file": interview_file,
        "interview_sha256": hashlib.sha256(interview.encode()).hexdigest(), "interview_text": interview,
        "attachments": [], "analysis": {"round": 1, "result": analysis}, "walking": False, "left_open": [],
        "open_gaps": 0, "documents_written": [], "usage": []}}


def _state(**changes: Any) -> Callable[[dict[str, Any]], None]:
    return lambda session: session["state"].update(changes)


def _result(**changes: Any) -> Callable[[dict[str, Any]], None]:
    return lambda session: session["state"]["analysis"]["result"].update(changes)


def _top(**changes: Any) -> Callable[[dict[str, Any]], None]:
    return lambda session: session.update(changes)


def _nested(depth: int) -> Callable[[dict[str, Any]], None]:
    def change(session: dict[str, Any]) -> None:
        session["state"]["analysis"]["result"]["gaps"].append("@NESTED@")
        session["@nesting@"] = depth
    return change


CONTROL = "\x1b]0;retitled\x07\x1b[2J\u202eevil"

# What each kind changes in the sound session; a str or bytes is the whole file.
KINDS: dict[str, Callable[[dict[str, Any]], None] | bytes] = {
    "not JSON": b"{not json",
    "empty": b"",
    "not UTF-8": b'{"org_id": "acme\xff", "phase": "render", "state": {}}',
    "a list": b"[]",
    "a string": b'"acme"',
    "nested 5,000 deep": _nested(5000),
    "nested 300 deep": _nested(300),
    "an integer of 5,000 digits": _state(round="@HUGE@"),
    "an infinite score": _result(completeness_score="@INFINITY@"),
    "a NaN score": _result(completeness_score="@NAN@"),
    "a lone surrogate in the analysis": _result(summary="S\ud800", gaps=[{"id": "gap_1", "title": "T\udfff",
                                                                         "impact_level": "critical"}]),
    "a lone surrogate in the names": _top(org_id="acme\ud800", phase="render\udc00", saved_at="2026\ud800"),
    "control characters in the names": _top(phase=f"render{CONTROL}", saved_at=f"2026-12-01{CONTROL}"),
    "a state that is a list": _top(state=[1, 2]),
    "a state that is a string": _top(state="state"),
    "a phase that is a number": _top(phase=7),
    "a time that is a list": _top(saved_at=["2026"]),
    "an organisation that is a number": _top(org_id=12),
    "a gap that is a plain string": _result(gaps=["a plain string", {"id": "gap_1", "title": "Real",
                                                                     "impact_level": "critical"}]),
    "gaps that are a string": _result(gaps="gaps"),
    "a gap with an unhashable id and level": _result(gaps=[{"id": {"a": 1}, "impact_level": ["critical"],
                                                            "title": ["t"], "question": {"q": 1}}]),
    "insights and notes of every type": _result(insights=["x", 3, None, {"severity": "critical", "title": ["t"]}],
                                                architecture_notes=[{"a": 1}, None, ["x"], 4],
                                                data_points_found={"a": 1}),
    "an analysis that is a string": _state(analysis="analysis"),
    "an analysis result that is a list": _state(analysis={"round": 1, "result": [1]}),
    "an analysis round that is a string": _state(analysis={"round": "1", "result": example_analysis()}),
    "an output folder holding a NUL": _state(output_dir="/tmp/out\x00put"),
    "an output folder that is a number": _state(output_dir=12),
    "an output folder too long to be a path": _state(output_dir="/" + "x" * 5000),
    "an output folder with a lone surrogate": _state(output_dir="/tmp/out\ud800"),
    "an interview file holding a NUL": _state(interview_file="/tmp/inter\x00view.md"),
    "an interview file that is a list": _state(interview_file=["/tmp/interview.md"]),
    "answers of every type": _state(interview_answers=["x", {"gap_id": ["l"], "answer": 5, "round": "2",
                                                             "question": None}]),
    "bypasses and open gaps that are not lists": _state(bypassed_gaps={"a": 1}, left_open="x", open_gaps="3"),
    "usage records of every type": _state(usage=["x", {"model": ["m"], "input_tokens": -5,
                                                       "output_tokens": 10 ** 30, "estimated": "yes"}]),
    "attachments of every type": _state(attachments=[{"name": ["x"], "text": 5, "round": None}, "x"]),
    "written documents of every type": _state(documents_written=["prd", 5, ["trd"]], replies={"prd": "x"}),
}


def tampered_bytes(kind: str, interview_file: str) -> bytes:
    change = KINDS[kind]
    if isinstance(change, bytes):
        return change
    session = base_session(interview_file)
    change(session)
    depth = session.pop("@nesting@", None)
    text = json.dumps(session, indent=2)
    if depth is not None:
        text = text.replace('"@NESTED@"', "[" * depth + "]" * depth)
    for mark, value in (("@HUGE@", "1" + "0" * 5000), ("@INFINITY@", "1e400"), ("@NAN@", "NaN")):
        text = text.replace(f'"{mark}"', value)
    return text.encode("utf-8")


# What an archive may hold in place of a session, and names that point outside it: each is refused by
# `brevanta sessions --restore` and by the browser's Restore, and nothing inside or outside the store changes.
RESTORE_CASES = ("outside file", "link in archive to outside", "link in archive to /etc/passwd",
                 "link outside to archive", "fifo in archive", "directory in archive", "dot-dot")
# The ones an address can name: a file name in the archive.
NAMED_IN_ARCHIVE = ("link in archive to outside", "link in archive to /etc/passwd", "fifo in archive",
                    "directory in archive")


def plant(case: str, archive: Path, outside: Path, archived: Path) -> str:
    """Puts what `case` needs in place; returns the name the user gives. `archived` is a real archived
    session, `outside` a folder outside the store holding victim.json."""
    import os

    planted = {"link in archive to outside": "planted.json", "link in archive to /etc/passwd": "passwd.json",
               "fifo in archive": "fifo.json", "directory in archive": "folder.json"}
    if case == "outside file":
        return str(outside / "victim.json")
    if case == "dot-dot":
        return f"{archive}/{os.path.relpath(outside / 'victim.json', archive)}"
    if case == "link outside to archive":
        (outside / "link.json").symlink_to(archived)
        return str(outside / "link.json")
    name = planted[case]
    if case == "link in archive to outside":
        (archive / name).symlink_to(outside / "victim.json")
    elif case == "link in archive to /etc/passwd":
        (archive / name).symlink_to("/etc/passwd")
    elif case == "fifo in archive":
        os.mkfifo(archive / name)
    else:
        (archive / name).mkdir()
    return name
