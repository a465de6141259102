"""`brevanta serve` as the user runs it: one address with its token, Ctrl-C stops it cleanly, a port
in use is one line and status 3, another address warns, and an upload past the limit is refused while
it streams in, and a large session read holds up no other request."""

from __future__ import annotations

import http.client
import json
import re
import signal
import socket
import threading
import time

import pytest
from serving import environment, start
from support.anthropic_stub import MessagesServer
from web_support import EXAMPLES, Store, example_analysis

from brevanta.pipeline.lock import holder

NAME = "acme_20261201_100000.json"


def test_serve_prints_one_address_with_a_token_and_stops_cleanly_on_ctrl_c(tmp_path):
    served = start(environment(tmp_path / "home"))
    assert served.url.startswith("http://127.0.0.1:") and len(served.url.split("token=")[1]) >= 40
    connection = http.client.HTTPConnection(served.origin.split("//")[1], timeout=30)
    connection.request("GET", "/" + served.url.split("/", 3)[3])
    assert connection.getresponse().status == 303

    status, out, err = served.stop(signal.SIGINT)

    assert status == 0 and "Traceback" not in err
    assert out.count("token=") == 1
    assert "stopped; every session is saved" in err


def test_a_port_in_use_is_one_line_and_status_3(tmp_path):
    with socket.socket() as taken:
        taken.bind(("127.0.0.1", 0))
        taken.listen()
        port = taken.getsockname()[1]
        served = start(environment(tmp_path / "home"), "--port", str(port))
        status, out, err = served.stop()
    assert status == 3
    assert err.splitlines()[0] == f"brevanta: port {port} on 127.0.0.1 is in use"
    assert "token" not in out and "Traceback" not in err


def _status(served, host_header):
    host, port = served.origin.split("//")[1].split(":")
    connection = http.client.HTTPConnection(host, int(port), timeout=30)
    connection.request("GET", "/" + served.url.split("/", 3)[3], headers={"Host": host_header})
    return connection.getresponse().status


def test_listening_on_another_address_warns_and_answers_other_machines(tmp_path):
    served = start(environment(tmp_path / "home"), "--host", "0.0.0.0", "--allow-host", "mybox.lan")
    port = served.origin.rsplit(":", 1)[1]
    try:
        assert _status(served, f"10.1.2.3:{port}") == 303  # another machine, by this one's address
        assert _status(served, f"mybox.lan:{port}") == 303  # or by the name allowed
        assert _status(served, f"attacker.example:{port}") == 403
    finally:
        status, out, err = served.stop()
    assert status == 0
    assert "warning: listening on 0.0.0.0: other machines can reach this server" in err
    assert "plain HTTP" in err and "one access token" in err and "(allowed: mybox.lan)" in err
    assert "http://127.0.0.1:" in out


def test_an_upload_past_the_limit_is_refused_while_it_streams_in(tmp_path):
    from brevanta.pipeline.readers import MAX_SOURCE_BYTES

    # The limit is the largest document file the readers take, with 64 KiB for the form around it.
    served = start(environment(tmp_path / "home", BREVANTA_MAX_INTERVIEW_TOKENS="1000"))
    try:
        host, port = served.origin.split("//")[1].split(":")
        connection = http.client.HTTPConnection(host, int(port), timeout=30)
        connection.request("GET", "/" + served.url.split("/", 3)[3])
        cookie = connection.getresponse().getheader("set-cookie", "").split(";")[0]
        with socket.create_connection((host, int(port)), timeout=30) as raw:
            raw.sendall((f"POST {served.prefix}/new HTTP/1.1\r\nHost: {host}:{port}\r\nCookie: {cookie}\r\n"
                         "Content-Type: application/x-www-form-urlencoded\r\nTransfer-Encoding: chunked\r\n\r\n")
                        .encode())
            chunk = b"x" * 65536
            try:
                for _ in range(MAX_SOURCE_BYTES // len(chunk) + 2):  # past the limit; the body never ends
                    raw.sendall(b"%x\r\n%s\r\n" % (len(chunk), chunk))
            except (BrokenPipeError, ConnectionResetError):
                pass  # the server answered and closed while the body was still coming
            answer = raw.recv(65536).decode(errors="replace")
        # Answered while the upload was still open: the server stopped reading at the limit.
        assert answer.startswith("HTTP/1.1 413")
    finally:
        status, _, err = served.stop()
    assert status == 0 and "Traceback" not in err


@pytest.mark.parametrize("argument", ["--port=70000", "--port=web"])
def test_a_bad_port_is_a_usage_error(tmp_path, argument):
    served = start(environment(tmp_path / "home"), argument)
    status, _, err = served.stop()
    assert status == 2 and "must be a port number" in err


def test_ctrl_c_while_documents_are_written_cancels_them_and_keeps_the_session(tmp_path):
    home = Store(tmp_path / "home" / "sessions", tmp_path / "home" / "sessions" / "archive")
    home.archive.mkdir(parents=True)
    analysis = example_analysis()
    path = home.write(NAME, analysis=analysis, interview_text="We want a bot.", bypassed_gaps=analysis["gaps"],
                      output_dir=str(tmp_path / "out"))
    with MessagesServer() as model:
        for kind in ("prd", "trd"):  # far longer than the test waits
            model.reply_text((EXAMPLES / "replay" / f"{kind}.md").read_text(encoding="utf-8"), chunks=400, every=0.1)
        served = start(environment(tmp_path / "home", ANTHROPIC_BASE_URL=model.base_url, ANTHROPIC_API_KEY="k"),
                       cwd=tmp_path)
        host, port = served.origin.split("//")[1].split(":")
        connection = http.client.HTTPConnection(host, int(port), timeout=30)
        connection.request("GET", "/" + served.url.split("/", 3)[3])
        exchanged = connection.getresponse()
        exchanged.read()
        cookie = exchanged.getheader("set-cookie", "").split(";")[0]
        connection.request("GET", f"{served.prefix}/session/live/{NAME}", headers={"Cookie": cookie})
        page = connection.getresponse().read().decode()
        csrf = re.search(r'name="csrf_token" value="([^"]+)"', page).group(1)
        connection.request("POST", f"{served.prefix}/session/live/{NAME}/forward", body=f"csrf_token={csrf}&action=write",
                           headers={"Cookie": cookie, "Content-Type": "application/x-www-form-urlencoded"})
        started = connection.getresponse()
        started.read()
        assert started.status == 303
        deadline = time.monotonic() + 60
        while len(model.requests) < 2:  # both documents under way
            assert time.monotonic() < deadline, "the documents were never asked for"
            time.sleep(0.1)

        status, _, err = served.stop(signal.SIGINT)

    assert status == 0 and "Traceback" not in err and "stopped; every session is saved" in err
    state = json.loads(path.read_text(encoding="utf-8"))["state"]
    assert [gap["id"] for gap in state["bypassed_gaps"]] == [gap["id"] for gap in analysis["gaps"]]
    assert state["documents_written"] == [] and not (tmp_path / "out" / "PRD.md").exists()
    assert not path.with_name(NAME + ".lock").exists() or holder(path) is None


def _timed_get(host: str, port: int, path: str, cookie: str) -> tuple[float, int]:
    started = time.perf_counter()
    connection = http.client.HTTPConnection(host, port, timeout=60)
    connection.request("GET", path, headers={"Cookie": cookie})
    response = connection.getresponse()
    response.read()
    connection.close()
    return time.perf_counter() - started, response.status


def test_a_static_file_is_answered_at_once_while_a_200_mb_session_is_read(tmp_path):
    """Pages read the store on worker threads, and a session too large to parse in a moment is parsed
    by a child process: the server answers everything else meanwhile."""
    home = tmp_path / "home"
    store = Store(home / "sessions", home / "sessions" / "archive")
    store.archive.mkdir(parents=True)
    served = start(environment(home))
    try:
        host, port = served.origin.split("//")[1].split(":")
        connection = http.client.HTTPConnection(host, int(port), timeout=30)
        connection.request("GET", "/" + served.url.split("/", 3)[3])
        cookie = connection.getresponse().getheader("set-cookie", "").split(";")[0]
        static = f"{served.prefix}/static/style.css"
        # The slowest of a few answers on this machine as it is now, before the large read.
        quiet = max(_timed_get(host, int(port), static, cookie)[0] for _ in range(30))
        # Written after the start: the listing's first pass has nothing large to read.
        store.write(NAME, analysis=example_analysis(), interview_text="x" * 200_000_000)
        report: list[tuple[float, int]] = []
        reader = threading.Thread(target=lambda: report.append(
            _timed_get(host, int(port), f"{served.prefix}/session/live/{NAME}", cookie)))
        reader.start()
        waits = []
        while reader.is_alive():
            waits.append(_timed_get(host, int(port), static, cookie))
            time.sleep(0.005)  # a page's pace, not a loop that takes a core from the server
        reader.join()
    finally:
        status, _, err = served.stop()
    assert status == 0 and "Traceback" not in err, err
    assert report[0][1] == 200 and report[0][0] > 10 * quiet  # the large session took its time
    slowest = max(wait for wait, _ in waits)
    assert slowest < max(0.05, 10 * quiet), (slowest, quiet)
    assert len(waits) >= 10 and {answer for _, answer in waits} == {200}
