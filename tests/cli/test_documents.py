"""The run's documents: the report's three options on a pseudo-terminal, a reply cut off at the
token limit, a run killed between the PRD and the TRD, numbered backups, and `brevanta sessions`."""

import json
import subprocess
import threading
import time
from pathlib import Path

import pytest
from support.anthropic_stub import MessagesServer
from support.source_files import docx_bytes

from brevanta import gapscope
from brevanta.pipeline.replay_citations import MARK

REPLAY = Path(__file__).resolve().parents[2] / "examples" / "replay"
MENU = "Your choice [1/2/3]: "
DECISION = "[a]nswer, [b]ypass, or [l]eave open for later? "
ANSWER = "The Django service is updated within the hour; a bed can be held for 4 hours."
NOTES = "Consent: WhatsApp opt-in is recorded by Gupshup at the first message; transcripts are kept 12 months.\n"


def direct_env(server):
    return {"ANTHROPIC_BASE_URL": server.base_url, "ANTHROPIC_API_KEY": "test-key"}


def queue_documents(server):
    """The saved replies as a service answers that carries no citations."""
    for kind in ("prd", "trd"):
        server.reply_text(MARK.sub("", (REPLAY / f"{kind}.md").read_text(encoding="utf-8")))


def prompt_of(request):
    (message,) = request.body["messages"]
    content = message["content"]
    return content if isinstance(content, str) else "".join(block.get("text", "") for block in content)


def documents_of(request):
    """The documents a request sent, as (title, text)."""
    (message,) = request.body["messages"]
    return [(block["title"], block["source"]["data"]) for block in message["content"] if block["type"] == "document"]


def known_gaps(document):
    return document.split("## Known gaps and assumptions\n", 1)[1]


@pytest.mark.parametrize("option", ["1", "2", "3"])
def test_the_reports_three_options(brevanta, messages_server, example_reply, tmp_path, option):
    first = json.loads(gapscope._extract_json(example_reply))
    messages_server.reply_text(example_reply)
    if option == "3":  # the analysis with the attached document: two critical gaps left
        messages_server.reply_text(json.dumps({**first, "gaps": first["gaps"][1:3]}))
    queue_documents(messages_server)
    (tmp_path / "notes.docx").write_bytes(docx_bytes([("p", NOTES.strip())]))

    terminal = brevanta.terminal("analyze", "examples/interview.md", "--out", "docs", HOME=str(tmp_path),
                                 **direct_env(messages_server))
    terminal.expect(MENU)
    terminal.send(option)
    if option == "2":
        terminal.expect(DECISION)
        terminal.send("a")
        terminal.expect("an empty line ends it):")
        terminal.send(ANSWER + "\n")  # the empty line ends the answer
        for gap_number in range(2, 8):
            terminal.expect(DECISION)
            terminal.send("b")
            if gap_number <= 3:  # critical: asked to confirm
                terminal.expect("bypass it anyway? [y/N] ")
                terminal.send("y")
    if option == "3":
        terminal.expect("Document to attach")
        terminal.send(str(tmp_path / "missing.md"))
        terminal.expect(f"document not found: {tmp_path}/missing.md")
        terminal.expect("Document to attach")
        terminal.send("~/notes.docx")  # read as Word, from the user's home
        terminal.expect("› Attached notes.docx (Word, ")
        terminal.expect("analysing round 1 again.")
        terminal.expect(MENU)
        terminal.send("1")
    # The decisions are offered for review before the documents.
    terminal.expect("Change a decision? Type its number, or press Enter to go on: ")
    terminal.send("")
    assert terminal.wait() == 0, terminal.screen
    assert "Traceback" not in terminal.screen

    *analyses, prd, trd = messages_server.requests
    assert len(analyses) == (2 if option == "3" else 1)
    attached = f"## Attached document: notes.docx\n\n{NOTES.strip()}"
    assert (attached in prompt_of(analyses[-1])) == (option == "3")
    assert attached not in prompt_of(analyses[0])
    # The documents' requests send the interview, each attachment and each answer as a document to cite.
    interview = (brevanta.cwd / "examples" / "interview.md").read_text(encoding="utf-8")
    assert documents_of(prd) == documents_of(trd) == [("Interview", interview), *{
        "1": [], "2": [(f"Follow-up answer: {first['gaps'][0]['title']}", ANSWER)],
        "3": [("Attached document: notes.docx", NOTES.strip())]}[option]]

    (session,) = brevanta.sessions()
    assert session["phase"] == "complete"
    bypassed = [gap["title"] for gap in session["state"]["bypassed_gaps"]]
    kept = [{key: value for key, value in item.items() if key != "size"} for item in session["state"]["attachments"]]
    assert kept == ([{"name": "notes.docx", "kind": "word", "text": NOTES.strip(), "round": 1,
                      "marks": {"rows": [[0, "paragraph 1"]]}}] if option == "3" else [])
    titles = [gap["title"] for gap in first["gaps"]]
    assert bypassed == {"1": titles, "2": titles[1:], "3": titles[1:3]}[option]
    for kind, request in (("PRD", prd), ("TRD", trd)):
        document = (brevanta.cwd / "docs" / f"{kind}.md").read_text(encoding="utf-8")
        assert all(f"**{title}**" in known_gaps(document) for title in bypassed)
        assert "KNOWN GAPS (user chose to proceed without this info):\n- " + bypassed[0] in prompt_of(request)
        # the user's own answers and attachments, whatever the model made of them
        appendix = document.split("## Follow-up answers and attachments\n", 1)[1]
        assert (f"**Q: {first['gaps'][0]['question']}**\n\n> {ANSWER}\n" in appendix) == (option == "2")
        assert ("Attached documents:\n\n- notes.docx\n" in appendix) == (option == "3")


CUT_OFF = ("the PRD reply was cut off at the token limit (400 tokens); PRD.md was not written\n"
           "Raise BREVANTA_MAX_TOKENS_DOCUMENT and run the command again: it resumes at the documents.")
RESUMES = "\nRun the command again: it resumes at the documents."
STALLED = ("prd request failed: the request timed out in the middle of the reply: nothing came from {server} for "
           "1 s; try again later, or raise BREVANTA_REQUEST_TIMEOUT" + RESUMES)
# A whole event stream but for its message_start.
HEADLESS_STREAM = "".join(f"event: {event['type']}\ndata: {json.dumps(event)}\n\n" for event in [
    {"type": "content_block_start", "index": 0, "content_block": {"type": "text", "text": ""}},
    {"type": "content_block_delta", "index": 0, "delta": {"type": "text_delta", "text": "# PRD"}},
    {"type": "content_block_stop", "index": 0}, {"type": "message_stop"}])
SERVERS = {"direct": "the Anthropic API", "relay": "the relay"}


def transport_env(transport, server):
    return direct_env(server) if transport == "direct" else {"BREVANTA_RELAY_URL": server.base_url}


@pytest.mark.parametrize(
    ("transport", "reply", "message"),
    [
        *[pytest.param(transport, {"stop_reason": "max_tokens"}, CUT_OFF, id=f"cut off, {transport}")
          for transport in ("direct", "relay", "replay")],
        *[pytest.param(transport, {"break_off": "stall"}, STALLED, id=f"stalled, {transport}")
          for transport in SERVERS],
        pytest.param("relay", {"break_off": "error"},
                     "prd request failed: the relay broke off the reply: Overloaded (overloaded_error); try again later"
                     + RESUMES, id="error event, relay"),
        pytest.param("direct", {"break_off": "drop"}, "prd request failed: the connection to the Anthropic API "
                     "ended in the middle of the reply; try again later" + RESUMES, id="dropped, direct"),
        pytest.param("direct", lambda server: server.reply_error(500),
                     "prd request failed: the Anthropic API answered HTTP 500: stub error 500" + RESUMES,
                     id="HTTP 500, direct"),
        *[pytest.param(transport, lambda server: server.reply_raw(HEADLESS_STREAM, content_type="text/event-stream"),
                       "prd request failed: the model's reply could not be read: {server} sent a malformed reply; "
                       "try again later" + RESUMES, id=f"no message_start, {transport}") for transport in SERVERS],
    ],
)
def test_a_prd_reply_that_breaks_off_is_not_written(brevanta, messages_server, example_reply, tmp_path, transport,
                                                    reply, message):
    partial = (REPLAY / "prd.md").read_text(encoding="utf-8")[:1500]
    args = []
    if transport == "replay":  # a saved reply reports no stop reason: the missing end line tells
        (tmp_path / "replay").mkdir()
        (tmp_path / "replay" / "analysis.md").write_text(example_reply, encoding="utf-8")
        (tmp_path / "replay" / "prd.md").write_text(partial, encoding="utf-8")
        args, env = ["--replay", str(tmp_path / "replay")], {}
    else:
        messages_server.reply_text(example_reply)
        if callable(reply):
            reply(messages_server)
        else:
            messages_server.reply_text(partial, chunks=8, **reply)
        env = transport_env(transport, messages_server)
    # One document at a time: the PRD is the only document request, and the TRD is not asked for after it failed.
    done = brevanta.run("analyze", "examples/interview.md", "--yes", "--out", "docs", *args,
                        BREVANTA_MAX_TOKENS_DOCUMENT="400", BREVANTA_REQUEST_TIMEOUT="1",
                        BREVANTA_PARALLEL_DOCUMENTS="0", **env)
    assert done.returncode == 1
    assert done.stderr == f"brevanta: {message.format(server=SERVERS.get(transport))}\n"
    if transport != "replay":
        assert messages_server.requests[1].body["max_tokens"] == 400
        assert messages_server.requests[1].body["stream"] is True
        assert len(messages_server.requests) == 2  # no TRD after a failed PRD, no retry of a reply begun
    assert not (brevanta.cwd / "docs").exists()
    (session,) = brevanta.sessions()
    assert (session["phase"], session["state"]["documents_written"]) == ("render", [])


@pytest.mark.parametrize("transport", SERVERS)
def test_a_document_streamed_for_longer_than_the_request_timeout_is_written(brevanta, messages_server,
                                                                            example_reply, transport):
    messages_server.reply_text(example_reply)
    for kind in ("prd", "trd"):  # 4 s each, an event every 0.5 s, against a 1 s timeout
        messages_server.reply_text((REPLAY / f"{kind}.md").read_text(encoding="utf-8"), chunks=4, every=0.5,
                                   input_tokens=1234, output_tokens=5678)
    done = brevanta.run("analyze", "examples/interview.md", "--yes", "--out", "docs", BREVANTA_REQUEST_TIMEOUT="1",
                        BREVANTA_REQUEST_RETRIES="0", **transport_env(transport, messages_server))
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout.count("  Tokens: 1234 in, 5678 out\n") == 2
    for kind in ("PRD", "TRD"):
        written = (brevanta.cwd / "docs" / f"{kind}.md").read_text(encoding="utf-8")
        assert written.startswith((REPLAY / f"{kind.lower()}.md").read_text(encoding="utf-8").split("\n", 1)[0])
    assert len(messages_server.requests) == 3


class HoldingServer(MessagesServer):
    """Keeps the third request, the TRD's, waiting until the test lets it go."""

    def __post_init__(self):
        super().__post_init__()
        self.released = threading.Event()

    def _answer(self, request):
        if len(self.requests) == 3:
            self.released.wait(30)
        return super()._answer(request)


def test_killed_between_the_prd_and_the_trd_resumes_at_the_trd(brevanta, example_reply):
    args = ("analyze", "examples/interview.md", "--yes", "--out", "docs")
    with HoldingServer() as server:
        server.reply_text(example_reply)
        queue_documents(server)
        env = {**brevanta.env, **direct_env(server), "BREVANTA_PARALLEL_DOCUMENTS": "0"}
        first = subprocess.Popen(brevanta.argv(*args), env=env, cwd=brevanta.cwd, stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL)
        deadline = time.monotonic() + 30
        while len(server.requests) < 3 and time.monotonic() < deadline:
            time.sleep(0.05)
        first.kill()
        first.wait()
        server.released.set()

        docs = brevanta.cwd / "docs"
        prd = (docs / "PRD.md").read_bytes()
        assert not (docs / "TRD.md").exists()
        (session,) = brevanta.sessions()
        assert (session["phase"], session["state"]["documents_written"]) == ("render", ["prd"])

        server.reply_text((REPLAY / "trd.md").read_text(encoding="utf-8"))
        done = brevanta.run(*args, **direct_env(server))
        assert (done.returncode, done.stderr) == (0, "")
        (trd_request,) = server.requests[3:]  # no analysis, no PRD
        assert "\nYou are a senior software architect." in prompt_of(trd_request)
    assert "› Resuming at the documents, with the analysis of round 1 from an earlier run." in done.stdout
    assert f"› The PRD was written in an earlier run: {docs / 'PRD.md'}" in done.stdout
    assert sorted(path.name for path in docs.iterdir()) == ["PRD.md", "TRD.md"]
    assert (docs / "PRD.md").read_bytes() == prd
    (session,) = brevanta.sessions()
    assert session["phase"] == "complete"


def test_existing_documents_are_kept_as_numbered_backups(brevanta):
    docs = brevanta.cwd / "acme"
    docs.mkdir()
    (docs / "PRD.md").write_text("Our own notes.\n", encoding="utf-8")
    args = ("analyze", "examples/interview.md", "--replay", "examples/replay", "--org", "acme", "--new", "--yes")

    done = brevanta.run(*args)
    assert (done.returncode, done.stderr) == (0, "")
    assert "› Kept the earlier PRD.md as PRD.md.~1~.\n" in done.stdout and "TRD.md.~" not in done.stdout
    assert (docs / "PRD.md.~1~").read_text(encoding="utf-8") == "Our own notes.\n"
    written = (docs / "PRD.md").read_text(encoding="utf-8")

    done = brevanta.run(*args)
    assert (done.returncode, done.stderr) == (0, "")
    assert "› Kept the earlier PRD.md as PRD.md.~2~.\n" in done.stdout
    assert "› Kept the earlier TRD.md as TRD.md.~1~.\n" in done.stdout
    assert (docs / "PRD.md.~2~").read_text(encoding="utf-8") == written
    # No temporary file stays behind.
    assert sorted(path.name for path in docs.iterdir()) == ["PRD.md", "PRD.md.~1~", "PRD.md.~2~", "TRD.md",
                                                            "TRD.md.~1~"]


def stop_at_menu(brevanta, answer_resume=None):
    terminal = brevanta.terminal("analyze", "examples/interview.md", "--replay", "examples/replay", "--org", "acme")
    if answer_resume is not None:
        terminal.expect("[Y/n] ")
        terminal.send(answer_resume)
    terminal.expect(MENU)
    terminal.kill()
    return terminal


def test_sessions_lists_and_restores_without_replacing(brevanta):
    stop_at_menu(brevanta)
    (declined,) = brevanta.session_files()
    stop_at_menu(brevanta, answer_resume="n")
    (unfinished,) = brevanta.session_files()
    (archived,) = brevanta.archived()
    assert archived.name == declined.name

    done = brevanta.run("sessions", "--org", "acme")
    assert (done.returncode, done.stderr) == (0, "")
    listed = done.stdout.split("› Archived sessions, newest first:\n")
    assert listed[0].startswith("› Unfinished sessions, newest first:\n")
    assert (f"  analysis, round 1, 0 answers, 0 bypassed, 7 open gaps; 1,837 tokens in (0 from cache), 2,814 tokens "
            f"out, about $0.05 at list prices (estimated)\n        {unfinished}\n") in listed[0]  # the analysis's usage
    assert f"\n        {archived}\n" in listed[1]
    assert brevanta.run("sessions", "--org", "other").stdout == (
        "› Unfinished sessions: none.\n› Completed sessions: none.\n› Archived sessions: none.\n")

    (brevanta.home / "sessions" / archived.name).write_text("{}", encoding="utf-8")
    refused = brevanta.run("sessions", "--restore", archived.name)
    assert refused.returncode == 1 and refused.stdout == ""
    assert refused.stderr.startswith(f"brevanta: cannot restore {archived.name}: "
                                     f"{brevanta.home / 'sessions' / archived.name} already exists; nothing was moved\n")
    assert archived.exists() and (brevanta.home / "sessions" / archived.name).read_text(encoding="utf-8") == "{}"

    (brevanta.home / "sessions" / archived.name).unlink()
    content = archived.read_bytes()
    done = brevanta.run("sessions", "--restore", str(archived))
    assert (done.returncode, done.stderr) == (0, "")
    assert brevanta.archived() == [] and (brevanta.home / "sessions" / archived.name).read_bytes() == content
