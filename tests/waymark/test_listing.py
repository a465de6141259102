"""load_incomplete_sessions, through the module's own directory reading and through a path object's methods."""

import json
import os
from pathlib import Path, PosixPath

import pytest
from waymark_support import FixedClock


class OtherPath(PosixPath):
    """A path class of the caller's: the listing goes through its iterdir()/is_file()/read_text()."""


@pytest.fixture(params=["pathlib", "path subclass"])
def listing(request, store, monkeypatch):
    if request.param == "path subclass":
        monkeypatch.setattr(store, "SESSIONS_DIR", OtherPath(store.SESSIONS_DIR))
    store._ensure_dirs()
    return store


def write(store, name, content):
    path = Path(store.SESSIONS_DIR) / name
    path.write_bytes(content if isinstance(content, bytes) else json.dumps(content).encode())
    return str(path)


def session(org_id="acme", phase="analysis", saved_at="2025-03-14T09:05:07", **extra):
    return {"org_id": org_id, "phase": phase, "saved_at": saved_at, "state": {"n": 1}, **extra}


def test_newest_first_with_records(listing):
    older = write(listing, "acme_1.json", session(saved_at="2025-03-01T00:00:00"))
    newest = write(listing, "acme_2.json", session(saved_at="2025-03-20T00:00:00"))
    middle = write(listing, "acme_3.json", session(saved_at="2025-03-10T00:00:00"))
    records = listing.load_incomplete_sessions("acme")
    assert [r["path"] for r in records] == [newest, middle, older]
    assert records[0] == {"path": newest, "org_id": "acme", "phase": "analysis",
                          "saved_at": "2025-03-20T00:00:00", "state": {"n": 1}}
    assert list(records[0]) == ["path", "org_id", "phase", "saved_at", "state"]


def test_passed_over_without_raising(listing):
    (Path(listing.SESSIONS_DIR) / "acme_dir.json").mkdir()
    write(listing, "acme_upper.JSON", session())
    write(listing, "acme_text.txt", session())
    write(listing, "other_1.json", session())
    write(listing, "acme_bad.json", b"{not json")
    write(listing, "acme_latin1.json", '{"phase": "é"}'.encode("latin-1"))
    write(listing, "acme_done.json", session(phase="complete"))
    write(listing, ".acme_1.json.tmp-1-1", session())
    write(listing, ".json", session())
    (Path(listing.ARCHIVE_DIR) / "acme_old.json").write_text(json.dumps(session()))
    os.symlink("nowhere.json", Path(listing.SESSIONS_DIR) / "acme_dangling.json")
    assert listing.load_incomplete_sessions("acme") == []


def test_empty_object_gives_fallbacks_and_sorts_last(listing):
    empty = write(listing, "acme_empty.json", {})
    dated = write(listing, "acme_dated.json", session())
    records = listing.load_incomplete_sessions("acme")
    assert [r["path"] for r in records] == [dated, empty]
    assert records[1] == {"path": empty, "org_id": "acme", "phase": "unknown", "saved_at": "", "state": {}}


def test_null_members_taken_as_parsed(listing):
    write(listing, "acme_nulls.json", {"phase": None, "saved_at": None, "state": None})
    write(listing, "acme_dated.json", session())
    records = listing.load_incomplete_sessions("acme")
    assert [(r["phase"], r["saved_at"], r["state"]) for r in records] == [
        ("analysis", "2025-03-14T09:05:07", {"n": 1}), (None, None, None)]


@pytest.mark.parametrize("content", [b"[1, 2]", b'"text"', b"3", b"null"])
def test_json_that_is_not_an_object_is_passed_over(listing, content):
    write(listing, "acme_odd.json", content)
    kept = write(listing, "acme_ok.json", session())
    assert [r["path"] for r in listing.load_incomplete_sessions("acme")] == [kept]


def test_other_organisations_not_listed(listing):
    write(listing, "acmecorp_1.json", session(org_id="acmecorporation"))
    write(listing, "3f2a9c1e_1.json", session(org_id="3f2a9c1e-0000-other"))
    mine = write(listing, "3f2a9c1e_2.json", session(org_id="3f2a9c1e-7b4d-mine"))
    unowned = write(listing, "3f2a9c1e_3.json", {"phase": "interview"})
    assert listing.load_incomplete_sessions("acme") == []
    records = listing.load_incomplete_sessions("3f2a9c1e-7b4d-mine")
    assert [(r["path"], r["org_id"]) for r in records] == [(mine, "3f2a9c1e-7b4d-mine"),
                                                           (unowned, "3f2a9c1e-7b4d-mine")]


def test_empty_short_identifier_lists_only_its_own(listing):
    write(listing, "acme_1.json", session())
    own = write(listing, "_1.json", session(org_id="-x"))
    assert [r["path"] for r in listing.load_incomplete_sessions("-x")] == [own]


def test_saved_at_that_is_not_text_sorts_as_empty(listing):
    write(listing, "acme_num.json", session(saved_at=5))
    write(listing, "acme_list.json", session(saved_at=["x"]))
    write(listing, "acme_text.json", session())
    records = listing.load_incomplete_sessions("acme")
    assert records[0]["saved_at"] == "2025-03-14T09:05:07"
    assert sorted(map(str, (r["saved_at"] for r in records[1:]))) == ["5", "['x']"]


def test_only_regular_files_are_read(listing, tmp_path):
    target = tmp_path / "elsewhere.json"
    target.write_text(json.dumps(session()))
    os.symlink(target, Path(listing.SESSIONS_DIR) / "acme_link.json")
    os.mkfifo(Path(listing.SESSIONS_DIR) / "acme_pipe.json")       # opening it would wait for a writer
    os.symlink("acme_pipe.json", Path(listing.SESSIONS_DIR) / "acme_pipe_link.json")
    mine = write(listing, "acme_1.json", session())
    assert [r["path"] for r in listing.load_incomplete_sessions("acme")] == [mine]


def test_file_name_that_is_not_utf8(listing):
    directory = os.fsencode(Path(listing.SESSIONS_DIR))
    with open(os.path.join(directory, b"acme_\xff.json"), "w") as f:
        f.write(json.dumps(session()))
    records = listing.load_incomplete_sessions("acme")
    assert [r["path"] for r in records] == [str(Path(listing.SESSIONS_DIR) / "acme_\udcff.json")]


def test_non_ascii_short_identifier(listing):
    mine = write(listing, "société_1.json", session(org_id="société"))
    assert [r["path"] for r in listing.load_incomplete_sessions("société")] == [mine]


def test_round_trip_with_save_state(listing, monkeypatch):
    monkeypatch.setattr(listing, "datetime", FixedClock())
    path = listing.save_state("acme", {"k": [1, 2]}, "strategy")
    record, = listing.load_incomplete_sessions("acme")
    assert (record["path"], record["phase"], record["state"]) == (path, "strategy", {"k": [1, 2]})
    listing.mark_complete(path)
    assert listing.load_incomplete_sessions("acme") == []


def test_rebound_loads_used_per_file(listing, monkeypatch):
    seen = []

    class Json:
        @staticmethod
        def loads(text):
            seen.append(text)
            return json.loads(text)

    monkeypatch.setattr(listing, "json", Json)
    write(listing, "acme_1.json", session())
    write(listing, "acme_2.json", "line\r\n".encode())
    listing.load_incomplete_sessions("acme")
    assert sorted(seen) == sorted([json.dumps(session()), "line\n"])


def test_relative_sessions_directory(store, tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    monkeypatch.setattr(store, "SESSIONS_DIR", Path("."))
    Path("acme_1.json").write_text(json.dumps(session()))
    assert [r["path"] for r in store.load_incomplete_sessions("acme")] == ["acme_1.json"]


def test_missing_directory_reported(store, monkeypatch, tmp_path):
    monkeypatch.setattr(store, "_ensure_dirs", lambda: None)
    monkeypatch.setattr(store, "SESSIONS_DIR", tmp_path / "gone")
    with pytest.raises(FileNotFoundError) as caught:
        store.load_incomplete_sessions("acme")
    assert caught.value.filename == str(tmp_path / "gone")
