"""The interview as a Word file, a PDF or a call transcript: read by its reader, kept in the session
with where each passage came from, and the same call in each kind sends the model the same words."""

import re

from support.source_files import TURNS, interview_files

from brevanta.pipeline.interview import kept_source
from brevanta.pipeline.readers import read_source

FILES = interview_files()


def _words(text):
    """The words in order, without the transcript's times, Markdown marks, punctuation or line breaks."""
    return re.findall(r"\w+", re.sub(r"\[\d\d:\d\d:\d\d\]", " ", text))


def _analysed(brevanta, tmp_path, name, *extra):
    path = tmp_path / name
    path.write_bytes(FILES[name])
    done = brevanta.run("analyze", str(path), "--replay", "examples/replay", "--yes", "--org", name.replace(".", "-"),
                        "--out", f"docs-{name}", *extra)
    assert done.returncode == 0, done.stderr
    [session] = [item for item in brevanta.sessions() if item["org_id"] == name.replace(".", "-")]
    return session["state"]


def test_each_kind_is_what_the_model_reads_and_the_session_keeps(brevanta, tmp_path):
    read = {}
    for name, data in FILES.items():
        state = _analysed(brevanta, tmp_path, name)
        source = read_source(data, name)
        assert state["interview_text"] == source.text  # round 1: the model reads the interview as it is
        assert state["interview_source"] == source.to_state(with_text=False)
        assert kept_source(state) == source  # everything a later step needs, without the file
        assert f"Interview: {name}" in (brevanta.cwd / f"docs-{name}" / "PRD.md").read_text(encoding="utf-8")
        read[name] = state["interview_text"]
    turns = _words(" ".join(f"{speaker}: {text}" for speaker, text in TURNS))
    assert [_words(read[name]) for name in ("call.md", "call.docx", "call.pdf")] == [turns] * 3
    # The transcript names a speaker once for two consecutive turns.
    assert _words(read["call.vtt"]) == _words(" ".join(f"{speaker}: {text}" for speaker, text in TURNS).replace(
        "unanswered. Dr Anaya Rao: Patients", "unanswered. Patients"))
    assert read["call.vtt"].startswith("[00:00:00] Priya Nair: Thanks for joining.")


def test_render_writes_a_transcripts_documents_again_without_its_file(brevanta, tmp_path):
    _analysed(brevanta, tmp_path, "call.vtt")
    (tmp_path / "call.vtt").unlink()
    done = brevanta.run("render", "--org", "call-vtt", "--out", "again", "--replay", "examples/replay")
    assert done.returncode == 0, done.stderr
    assert "Interview: call.vtt" in (brevanta.cwd / "again" / "PRD.md").read_text(encoding="utf-8")
