"""Waiting for a model that never answers: the spinner counts the seconds, one Ctrl-C ends the wait at once,
and the request timeout ends it by itself. For the analysis and for a plain completion, on both transports;
SIGTERM during a resumed round's analysis leaves its session file as it was, and the abandoned request makes
no further attempt; an interrupt that lands in a finalizer is not lost, and one before the command has started
ends it as the command does."""

import contextlib
import importlib.abc
import json
import signal
import sys
import threading
import time

import pytest

import brevanta.command
from brevanta import config
from brevanta.__main__ import run
from brevanta import signals
from brevanta.pipeline.models import ModelAccess

TRANSPORTS = {
    "direct": ({"ANTHROPIC_API_KEY": "test-key"}, "ANTHROPIC_BASE_URL", "the Anthropic API"),
    "relay": ({"BREVANTA_RELAY_TOKEN": "relay-token"}, "BREVANTA_RELAY_URL", "the relay"),
}

# A completion as the document phase asks for one, reported the way the command reports its errors.
COMPLETION = """\
import sys
from brevanta.errors import ModelFailure
from brevanta.cli.terminal import Spinner
from brevanta.pipeline.models import open_access
try:
    open_access(None, None, activity=lambda label: Spinner(label, sys.stderr)).complete("Write the PRD.", operation="prd", max_tokens=100, label="Writing the PRD...")
except ModelFailure as failure:
    print(f"brevanta: {failure.message}", file=sys.stderr)
    sys.exit(failure.status)
except KeyboardInterrupt:
    print("Interrupted.", file=sys.stderr)
    sys.exit(130)
"""


def start(brevanta, request, transport, server, **env):
    settings, url_variable, _ = TRANSPORTS[transport]
    env = {**settings, url_variable: server.base_url, **env}
    if request == "analysis":
        return brevanta.terminal("analyze", "examples/interview.md", **env)
    return brevanta.script(COMPLETION, **env)


LABELS = {"analysis": "Analysing the interview (round 1)...", "completion": "Writing the PRD..."}
# The stalled server holds each request for 30 s: ending well before that shows the signal ended the wait.
# How fast it ends is measured by bench/bench_interrupt.py, not asserted on a machine that may be busy.
ENDS_THE_WAIT = 20


@pytest.mark.parametrize("request_kind", ["analysis", "completion"])
@pytest.mark.parametrize("transport", TRANSPORTS)
def test_one_ctrl_c_ends_a_stalled_request(brevanta, messages_server, transport, request_kind):
    messages_server.never_answer()
    terminal = start(brevanta, request_kind, transport, messages_server)
    terminal.expect(f"{LABELS[request_kind]} 1s")  # the spinner counts the seconds waited
    signalled = time.monotonic()
    terminal.process.send_signal(signal.SIGINT)
    status = terminal.wait()
    assert time.monotonic() - signalled < ENDS_THE_WAIT
    assert status == 130 and "Interrupted." in terminal.screen, terminal.screen
    assert "Traceback" not in terminal.screen
    assert brevanta.session_files() == []  # nothing was decided, so nothing was saved
    assert len(messages_server.requests) == 1


@pytest.mark.parametrize("request_kind", ["analysis", "completion"])
@pytest.mark.parametrize("transport", TRANSPORTS)
def test_a_request_never_answered_times_out(brevanta, messages_server, transport, request_kind):
    messages_server.never_answer()
    terminal = start(brevanta, request_kind, transport, messages_server, BREVANTA_REQUEST_TIMEOUT="1",
                     BREVANTA_REQUEST_RETRIES="1")
    terminal.expect("s, attempt 2 of 2 in 0.")  # the spinner shows the wait before the retry
    terminal.expect("s, attempt 2 of 2\r")  # and then the attempt
    assert terminal.wait() == 1
    failed = "no analysis" if request_kind == "analysis" else "prd request failed"
    server = TRANSPORTS[transport][2]
    assert (f"brevanta: {failed}: the request timed out: no answer from {server} within 1 s (2 attempts); "
            "try again later, or raise BREVANTA_REQUEST_TIMEOUT\n") in terminal.screen
    assert "Traceback" not in terminal.screen and "WARNING" not in terminal.screen
    assert len(messages_server.requests) == 2


def test_sigterm_during_the_next_rounds_analysis_keeps_the_session(brevanta, messages_server):
    env = {"ANTHROPIC_API_KEY": "test-key", "ANTHROPIC_BASE_URL": messages_server.base_url}
    # Round 1 replayed; round 2 asks the service, which never answers.
    first = brevanta.terminal("analyze", "examples/interview.md", "--org", "tarang", "--replay",
                              "examples/replay/analysis.md")
    first.expect("Your choice [1/2/3]: ")
    first.send("2")  # answer follow-up questions
    first.expect("[a]nswer, [b]ypass, or [l]eave open for later? ")
    first.send("a")
    first.expect("an empty line ends it):")
    first.send("Beds can be held for four hours.\n")  # the empty line ends the answer
    for _ in range(6):
        first.expect("[a]nswer, [b]ypass, or [l]eave open for later? ")
        first.send("l")
    assert first.wait() == 0, first.screen
    (session_file,) = brevanta.session_files()
    saved = session_file.read_bytes()
    assert json.loads(saved)["state"]["round"] == 2

    messages_server.never_answer()
    second = brevanta.terminal("analyze", "examples/interview.md", "--org", "tarang", "--yes", **env)
    second.expect("Analysing the interview (round 2)... 1s")
    signalled = time.monotonic()
    second.process.send_signal(signal.SIGTERM)
    assert second.wait() == 143
    assert time.monotonic() - signalled < ENDS_THE_WAIT
    assert brevanta.session_files() == [session_file] and session_file.read_bytes() == saved


def test_a_request_abandoned_by_ctrl_c_makes_no_further_attempt(direct_sdk_env, monkeypatch):
    direct_sdk_env.reply_error(500, retryable=True)
    monkeypatch.setattr(config, "ANTHROPIC_API_KEY", "test-key")
    monkeypatch.setattr(config, "REQUEST_RETRIES", 1)
    pressed = []

    class CtrlCDuringTheRetryWait:
        def note(self, text):
            if not pressed:
                pressed.append(text)
                signal.pthread_kill(threading.main_thread().ident, signal.SIGINT)

    access = ModelAccess(None, "Anthropic API", lambda label: contextlib.nullcontext(CtrlCDuringTheRetryWait()))
    previous = signal.signal(signal.SIGINT, signal.default_int_handler)
    try:
        with pytest.raises(KeyboardInterrupt):
            access.complete("Write the PRD.", operation="prd", max_tokens=100, label="Writing the PRD...")
    finally:
        signal.signal(signal.SIGINT, previous)
    for worker in [thread for thread in threading.enumerate() if thread.name == "model-request"]:
        worker.join(timeout=60)
    assert pressed[0].startswith("attempt 2 of 2 in ")
    assert len(direct_sdk_env.requests) == 1


@pytest.mark.parametrize(("interrupt", "signum"), [
    (KeyboardInterrupt(), signal.SIGINT),
    (signals.Terminated(signal.SIGTERM), signal.SIGTERM),
])
def test_an_interrupt_raised_inside_a_finalizer_is_sent_again(interrupt, signum):
    """The interpreter only reports an exception raised in a finalizer (a weakref callback run by a garbage
    collection): a Ctrl-C handled there would be lost, and the run would go on waiting. Sent again at once,
    it would be handled inside the unraisable hook, and lost there."""
    class Finalized:
        def __del__(self):
            raise interrupt  # as the signal's handler raises it where the main thread is

    def handler(number, frame):
        received.append(number)
        raise interrupt

    saved = {number: signal.getsignal(number) for number in (signal.SIGINT, *signals.HANDLED)}, sys.unraisablehook
    received, reported = [], []
    try:
        sys.unraisablehook = reported.append  # how the process reported them before
        signals.install()
        signal.signal(signum, handler)
        Finalized()
        with pytest.raises(type(interrupt)):
            for _ in range(1000):  # the signal comes again a moment later, and interrupts the sleep
                time.sleep(0.01)
        Finalized.__del__ = lambda self: 1 / 0  # anything else is reported as before
        Finalized()
    finally:
        handlers, sys.unraisablehook = saved
        for number, handler in handlers.items():
            signal.signal(number, handler)
    assert received == [signum]
    assert [type(entry.exc_value) for entry in reported] == [ZeroDivisionError]


class _InterruptedImport(importlib.abc.MetaPathFinder):
    def find_spec(self, name, path, target=None):
        if name == "brevanta.command":
            raise KeyboardInterrupt
        return None


def _interrupted(*args):
    raise KeyboardInterrupt


@pytest.mark.parametrize("moment", ["while its modules load", "while it reads its arguments"])
def test_ctrl_c_before_the_command_takes_it_ends_it_without_a_traceback(moment, monkeypatch, capsys):
    if moment == "while its modules load":
        monkeypatch.delitem(sys.modules, "brevanta.command")
        monkeypatch.setattr(sys, "meta_path", [_InterruptedImport(), *sys.meta_path])
    else:
        monkeypatch.setattr(brevanta.command, "main", _interrupted)
    assert run() == 130
    assert capsys.readouterr().err == "\nInterrupted.\n"
