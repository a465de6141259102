"""What a run is given, checked before anything is asked or paid for, in words for any front end."""

import pytest

from brevanta import config
from brevanta.errors import InputProblem, UsageError
from brevanta.pipeline.inputs import check_org_id, check_size, read_replies, read_text_file


@pytest.mark.parametrize("data, text, problem", [
    ("\ufeffText with a byte-order mark.\r\n".encode(), "Text with a byte-order mark.\r\n", None),
    (b"\x80\x81 bad", None, "reply file is not UTF-8 text: .*notes.md"),
    (b" \n\t", None, "reply file is empty: .*notes.md"),
])
def test_bytes_become_text_or_one_reason(tmp_path, data, text, problem):
    (tmp_path / "notes.md").write_bytes(data)
    if problem is None:
        assert read_text_file(str(tmp_path / "notes.md"), "reply file") == text
    else:
        with pytest.raises(UsageError, match=problem):
            read_text_file(str(tmp_path / "notes.md"), "reply file")


def test_each_front_end_names_its_own_field_and_the_size_has_a_hint(monkeypatch):
    assert check_org_id("acme.eu_2") == "acme.eu_2"
    with pytest.raises(UsageError, match=r"^--org must start with a letter or digit"):
        check_org_id("-acme", "--org")
    with pytest.raises(UsageError, match=r"^the organisation id must start"):
        check_org_id("../acme")
    monkeypatch.setattr(config, "MAX_INTERVIEW_TOKENS", 10)
    with pytest.raises(InputProblem, match="about 13 tokens estimated, the limit is 10") as problem:
        check_size("x" * 50, "the interview")
    assert "BREVANTA_MAX_INTERVIEW_TOKENS" in (problem.value.hint or "") and "--" not in (problem.value.hint or "")


def test_saved_replies_come_from_a_folder_or_one_file(tmp_path):
    (tmp_path / "analysis.md").write_text("{}", encoding="utf-8")
    (tmp_path / "prd.md").write_text("# PRD", encoding="utf-8")
    assert read_replies(str(tmp_path)) == {"analysis": "{}", "prd": "# PRD"}
    assert read_replies(str(tmp_path / "prd.md")) == {"analysis": "# PRD"}
