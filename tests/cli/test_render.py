"""The documents as the command checks and writes them: a refusal is not written and a rerun asks for
that document only, control characters never reach a file, `brevanta render` writes a session's
documents again without an analysis, and HTML or Word without their libraries stop before any request."""

import json
import subprocess
import sys
from pathlib import Path

import pytest

from brevanta import gapscope
from brevanta.pipeline.replay_citations import cited_blocks

REPLAY = Path(__file__).resolve().parents[2] / "examples" / "replay"
END = "\n<!-- end of document -->\n"


def direct_env(server):
    return {"ANTHROPIC_BASE_URL": server.base_url, "ANTHROPIC_API_KEY": "test-key"}


def saved_reply(kind):
    return (REPLAY / f"{kind}.md").read_text(encoding="utf-8")


def prompt_of(request):
    """The document's own instructions: the last block of its request (the shared material comes first)."""
    (message,) = request.body["messages"]
    content = message["content"]
    return content if isinstance(content, str) else content[-1]["text"]


def mostly_missing():
    """The saved PRD with six of its ten sections left out."""
    parts = saved_reply("prd").split("\n## ")
    return "\n## ".join(parts[:5]) + END


@pytest.mark.parametrize("prd_reply, message", [
    ("I'm sorry, but I can't help with writing this document." + END,
     "the PRD was not written: the reply has none of its 10 sections (a refusal?)"),
    (mostly_missing(), "the PRD was not written: the reply lacks 6 of its 10 sections: Conversation or call flows, "
     "Integrations, Success metrics, Risks, Open questions, Known gaps and assumptions"),
], ids=["refusal", "mostly missing"])
def test_a_refused_document_is_not_written_and_a_rerun_asks_for_it_only(brevanta, messages_server, example_reply,
                                                                         prd_reply, message):
    args = ("analyze", "examples/interview.md", "--yes", "--out", "docs")
    for reply in (example_reply, prd_reply, saved_reply("trd")):
        messages_server.reply_text(reply)
    done = brevanta.run(*args, **direct_env(messages_server))
    assert done.returncode == 1
    assert done.stderr == (f"brevanta: {message}\n"
                           "A new attempt asks for the PRD only. Run the command again: it resumes at the documents.\n")
    docs = brevanta.cwd / "docs"
    assert sorted(path.name for path in docs.iterdir()) == ["TRD.md"]
    (session,) = brevanta.sessions()
    assert (session["phase"], session["state"]["documents_written"]) == ("render", ["trd"])

    messages_server.reply_text(saved_reply("prd"))
    done = brevanta.run(*args, **direct_env(messages_server))
    assert (done.returncode, done.stderr) == (0, "")
    (rerun,) = messages_server.requests[3:]  # no analysis, no TRD
    assert prompt_of(rerun).startswith("You are a senior product manager.")
    assert (docs / "PRD.md").read_text(encoding="utf-8").startswith("# Product requirements: Tarang Living")
    (session,) = brevanta.sessions()
    assert session["phase"] == "complete"


def test_control_characters_and_lone_surrogates_never_reach_the_files(brevanta, messages_server, example_reply):
    analysis = json.loads(gapscope._extract_json(example_reply))
    analysis["gaps"][0]["title"] = "Bed\ud800 availability\x1b[2J"  # sent as JSON escapes, as a model may
    messages_server.reply_text(json.dumps(analysis))
    dirty = saved_reply("prd").replace("Tarang Living runs", "Tarang\x1b]0;owned\x07 Living\x00 runs")
    messages_server.reply_text(dirty)
    messages_server.reply_text(saved_reply("trd"))
    done = brevanta.run("analyze", "examples/interview.md", "--yes", "--out", "docs", "--format", "md,docx",
                        **direct_env(messages_server))
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    assert "! Removed 5 control or invalid characters from the PRD." in done.stdout.split("\n")
    prd = (brevanta.cwd / "docs" / "PRD.md").read_bytes()
    assert b"\x1b" not in prd and b"\x00" not in prd and b"\x07" not in prd
    text = prd.decode("utf-8")  # strict: no lone surrogate was written
    assert "- **Bed\ufffd availability[2J** [LIMITED DATA]" in text and "Tarang]0;owned Living runs" in text
    assert (brevanta.cwd / "docs" / "PRD.docx").stat().st_size > 0


def _body(path):
    """A document without its header line, which carries the day it was written."""
    return "\n".join(line for line in path.read_text(encoding="utf-8").splitlines() if "Written " not in line)


def test_render_writes_the_kept_documents_again_in_any_format_without_a_request(brevanta, messages_server):
    done = brevanta.run("render", "--org", "acme")
    assert done.returncode == 1
    assert done.stderr.startswith("brevanta: no session of acme has reached its documents\n")

    demo = brevanta.run("analyze", "examples/interview.md", "--replay", "examples/replay", "--org", "acme", "--yes")
    assert demo.returncode == 0, demo.stderr
    docs = brevanta.cwd / "acme"
    first = {kind: _body(docs / f"{kind}.md") for kind in ("PRD", "TRD")}
    (session,) = brevanta.sessions()
    assert set(session["state"]["replies"]) == {"prd", "trd"}  # each accepted reply, kept
    kept = session["state"]["replies"]["prd"]
    assert kept["text"] == "".join(block["text"] for block in cited_blocks(saved_reply("prd"), []))  # marks out
    assert kept["citations"] and all(entry["footnote"] for entry in kept["citations"])

    # Forgot Word: the same documents again, no model access needed and none asked.
    done = brevanta.run("render", "--org", "acme", "--format", "md,docx", **direct_env(messages_server))
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    assert messages_server.requests == [] and "Model usage" not in done.stdout
    assert "› The PRD written again from the model's kept reply (no request)." in done.stdout.split("\n")
    assert {kind: _body(docs / f"{kind}.md") for kind in ("PRD", "TRD")} == first
    assert (docs / "PRD.docx").stat().st_size > 0 and (docs / "TRD.docx").stat().st_size > 0

    # One document into another folder: the session keeps the record of both where they are.
    done = brevanta.run("render", "--org", "acme", "--only", "prd", "--out", "elsewhere")
    assert (done.returncode, done.stderr) == (0, ""), done.stderr
    assert _body(brevanta.cwd / "elsewhere" / "PRD.md") == first["PRD"]
    assert not (brevanta.cwd / "elsewhere" / "TRD.md").exists()
    (session,) = brevanta.sessions()
    assert session["phase"] == "complete" and session["state"]["documents_written"] == ["prd", "trd"]
    assert session["state"]["output_dir"] == str(docs)


def test_render_asks_the_model_only_when_told_or_when_no_reply_is_kept(brevanta, messages_server):
    demo = brevanta.run("analyze", "examples/interview.md", "--replay", "examples/replay", "--org", "acme", "--yes")
    assert demo.returncode == 0, demo.stderr
    docs = brevanta.cwd / "acme"
    prd = (docs / "PRD.md").read_bytes()
    path = brevanta.session_files()[0]
    saved = json.loads(path.read_text(encoding="utf-8"))
    del saved["state"]["replies"]  # as a session saved before replies were kept
    path.write_text(json.dumps(saved), encoding="utf-8")

    refused = brevanta.run("render", "--org", "acme", "--only", "trd", **direct_env(messages_server))
    assert refused.returncode == 1 and messages_server.requests == []
    assert refused.stderr == ("brevanta: the session keeps no reply of the TRD to write it again from (it was "
                              "written before replies were kept)\nPass --ask-model to have the model write it "
                              "again: a new request, paid for.\n")

    messages_server.reply_text(saved_reply("trd").replace("Redis", "Valkey"))
    done = brevanta.run("render", "examples/interview.md", "--org", "acme", "--only", "trd", "--format", "md,html",
                        "--ask-model", **direct_env(messages_server))
    assert (done.returncode, done.stderr) == (0, "")
    (request,) = messages_server.requests  # the TRD only: no analysis, no PRD
    assert prompt_of(request).startswith("You are a senior software architect.")
    assert "› Kept the earlier TRD.md as TRD.md.~1~." in done.stdout.split("\n")
    assert "Valkey" in (docs / "TRD.md").read_text(encoding="utf-8")
    assert "Redis" in (docs / "TRD.md.~1~").read_text(encoding="utf-8")
    assert "Valkey" in (docs / "TRD.html").read_text(encoding="utf-8")
    assert (docs / "PRD.md").read_bytes() == prd and not (docs / "PRD.md.~1~").exists()
    (session,) = brevanta.sessions()
    assert session["phase"] == "complete"


@pytest.mark.parametrize("command", [
    ("analyze", "examples/interview.md", "--replay", "examples/replay", "--yes", "--format", "md,docx"),
    ("render", "--org", "acme", "--format", "docx"),
])
def test_word_without_the_documents_extra_stops_before_any_request(brevanta, command):
    hidden = "import sys; sys.modules['docx'] = None; from brevanta.command import main; sys.exit(main(sys.argv[1:]))"
    done = subprocess.run([sys.executable, "-c", hidden, *command], capture_output=True, text=True,
                          env=brevanta.env, cwd=brevanta.cwd, timeout=60)
    assert done.returncode == 2
    assert done.stderr == "brevanta: --format docx needs the documents extra: pip install 'brevanta[documents]'\n"
    assert done.stdout == "" and not brevanta.session_files()
