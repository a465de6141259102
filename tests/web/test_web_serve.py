"""`brevanta serve` as the user runs it: one address with its token, Ctrl-C stops it cleanly, a port
in use is one line and status 3, another address warns, and an upload past the limit is refused while
it streams in."""

from __future__ import annotations

import http.client
import signal
import socket

import pytest
from serving import environment, start


def test_serve_prints_one_address_with_a_token_and_stops_cleanly_on_ctrl_c(tmp_path):
    served = start(environment(tmp_path / "home"))
    assert served.url.startswith("http://127.0.0.1:") and len(served.url.split("token=")[1]) >= 40
    connection = http.client.HTTPConnection(served.base.split("//")[1], timeout=30)
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


def test_listening_on_another_address_warns(tmp_path):
    served = start(environment(tmp_path / "home"), "--host", "0.0.0.0")
    status, out, err = served.stop()
    assert status == 0
    assert "warning: listening on 0.0.0.0: other machines can reach this server" in err
    assert "http://127.0.0.1:" in out


def test_an_upload_past_the_limit_is_refused_while_it_streams_in(tmp_path):
    # A limit of 1,000 tokens: 16,000 bytes of text, with 64 KiB for the form around it.
    served = start(environment(tmp_path / "home", BREVANTA_MAX_INTERVIEW_TOKENS="1000"))
    try:
        host, port = served.base.split("//")[1].split(":")
        connection = http.client.HTTPConnection(host, int(port), timeout=30)
        connection.request("GET", "/" + served.url.split("/", 3)[3])
        cookie = connection.getresponse().getheader("set-cookie", "").split(";")[0]
        with socket.create_connection((host, int(port)), timeout=30) as raw:
            raw.sendall((f"POST /new HTTP/1.1\r\nHost: {host}:{port}\r\nCookie: {cookie}\r\n"
                         "Content-Type: application/x-www-form-urlencoded\r\nTransfer-Encoding: chunked\r\n\r\n")
                        .encode())
            chunk = b"x" * 8192
            for _ in range(12):  # 96 KiB, past the 80 KiB limit; the body never ends
                raw.sendall(b"%x\r\n%s\r\n" % (len(chunk), chunk))
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
