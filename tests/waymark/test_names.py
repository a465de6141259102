"""Directories and the shortened organisation identifier."""

import pytest
from waymark_support import FixedClock


@pytest.mark.parametrize(("org_id", "short"), [
    ("3f2a9c1e-7b4d-4e21-9c3a-55aa11bb22cc", "3f2a9c1e"),
    ("acmecorporation", "acmecorp"),
    ("acme", "acme"),
    ("ab-cdefghijk", "ab"),
    ("-leading", ""),
    ("", ""),
    ("AcMe-x", "AcMe"),
    ("Société Générale", "Société "),
    ("a.b_c@d", "a.b_c@d"),
    ("🙂🙂🙂🙂🙂🙂🙂🙂🙂", "🙂" * 8),
])
def test_ordinary_identifiers_kept(waymark, org_id, short):
    assert waymark._safe_org_id(org_id) == short


@pytest.mark.parametrize(("org_id", "short"), [
    ("../../etc/passwd", "_._.._et"),
    ("..", "_."),
    (".hidden", "_hidden"),
    ("a/b\\c", "a_b_c"),
    ("nul\0byte", "nul_byte"),
    ("tab\there\n", "tab_here"),
    ('x:*?"<>|', "x_______"),
    ("sur\udc80ogate", "sur_ogat"),
])
def test_unsafe_characters_replaced(waymark, org_id, short):
    assert waymark._safe_org_id(org_id) == short


@pytest.mark.parametrize("org_id", ["../../escape", "/abs/path", "..", "a\\..\\b", "x/../../y-z"])
def test_no_session_file_outside_the_sessions_directory(store, clock, org_id):
    path = store.save_state(org_id, {}, "interview")
    assert [p.name for p in store.SESSIONS_DIR.iterdir() if p.is_file()] == [path.rsplit("/", 1)[1]]
    assert [r["org_id"] for r in store.load_incomplete_sessions(org_id)] == [org_id]


def test_ensure_dirs_creates_both_and_is_repeatable(store):
    assert store._ensure_dirs() is None
    assert store._ensure_dirs() is None
    assert store.ARCHIVE_DIR.is_dir()


def test_ensure_dirs_reports_a_file_in_the_way(store):
    store.SESSIONS_DIR.parent.mkdir(parents=True)
    store.SESSIONS_DIR.write_text("not a directory")
    with pytest.raises(FileExistsError):
        store._ensure_dirs()


def test_archive_dir_not_derived_again(store, tmp_path, monkeypatch):
    archive = store.ARCHIVE_DIR
    monkeypatch.setattr(store, "SESSIONS_DIR", tmp_path / "elsewhere")
    monkeypatch.setattr(store, "datetime", FixedClock())
    path = store.save_state("acme", {}, "interview")
    assert path.startswith(str(tmp_path / "elsewhere"))
    assert store.ARCHIVE_DIR == archive and archive.is_dir()


def test_rebound_helpers_take_effect(store, clock, monkeypatch):
    calls = []
    monkeypatch.setattr(store, "_safe_org_id", lambda org_id: calls.append(org_id) or "fixed")
    monkeypatch.setattr(store, "_ensure_dirs", lambda: calls.append("dirs") or store.SESSIONS_DIR.mkdir(parents=True))
    path = store.save_state("acme", {}, "interview")
    assert path.endswith("/fixed_20250314_090507.json") and calls == ["dirs", "acme"]


def test_name_from_a_rebound_helper_must_stay_a_file_name(store, clock, monkeypatch):
    monkeypatch.setattr(store, "_safe_org_id", lambda org_id: "../up")
    with pytest.raises(ValueError, match="not a plain file name"):
        store.save_state("acme", {}, "interview")
