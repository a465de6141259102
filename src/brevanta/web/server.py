"""`brevanta serve`: binds the address, prints the one address with its access token, serves until
Ctrl-C (or SIGTERM), then stops: model requests in flight are cancelled, sessions stay as saved."""

from __future__ import annotations

import argparse
import errno
import importlib.util
import socket
import sys
import threading
import webbrowser
from types import FrameType

from brevanta import signals
from brevanta.pipeline.home import check_session_home
from brevanta.errors import EXIT_OK, EnvironmentProblem, os_reason
from brevanta.web.access import Access, is_loopback, is_wildcard

MISSING_EXTRA = "`brevanta serve` needs the web packages of its extra"
INSTALL_EXTRA = "Install them with: pip install 'brevanta[serve]'"


# The import names of the `serve` extra's packages.
EXTRA_MODULES = ("starlette", "uvicorn", "jinja2", "multipart", "markdown_it")


def _check_extra() -> None:
    missing = [name for name in EXTRA_MODULES if importlib.util.find_spec(name) is None]
    if missing:
        raise EnvironmentProblem(f"{MISSING_EXTRA} ({', '.join(missing)} not installed)", hint=INSTALL_EXTRA)


def bind(host: str, port: int) -> socket.socket:
    """A listening socket on host:port (port 0: a free one); EnvironmentProblem when it cannot be had."""
    try:
        infos = socket.getaddrinfo(host, port, type=socket.SOCK_STREAM, flags=socket.AI_PASSIVE)
    except socket.gaierror as exc:
        raise EnvironmentProblem(f"cannot listen on {host}: {exc.strerror}",
                                 hint="Pass --host with an address of this machine.") from None
    family, kind, proto, _, address = infos[0]
    listener = socket.socket(family, kind, proto)
    try:
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(address)
        listener.listen(128)
    except OSError as exc:
        listener.close()
        if exc.errno == errno.EADDRINUSE:
            raise EnvironmentProblem(f"port {port} on {host} is in use",
                                     hint="Pass another --port, or leave --port out for a free one.") from None
        raise EnvironmentProblem(f"cannot listen on {host} port {port}: {os_reason(exc)}",
                                 hint="Pass --host with an address of this machine, or another --port.") from None
    listener.set_inheritable(True)
    return listener


def _announce(access: Access) -> None:
    host = access.host
    if not is_loopback(host):
        print(f"brevanta: warning: listening on {host}: other machines can reach this server. It speaks plain "
              "HTTP: the pages, your sessions and the one access token cross the network unencrypted, and "
              "anyone who has the address below can use your sessions. Use it only on a network you trust.",
              file=sys.stderr)
        names = ", ".join(sorted(access.allowed_names)) or "none"
        reached = "any address of this machine" if is_wildcard(host) else host
        print(f"brevanta: other machines reach it at {reached} on port {access.port}, or by a name given with "
              f"--allow-host (allowed: {names}).", file=sys.stderr)
    print("brevanta serves your sessions at this address (it carries the access token):")
    print(f"    {access.url}")
    print("Press Ctrl-C to stop.", flush=True)


def _run(listener: socket.socket, host: str, allowed_names: tuple[str, ...], open_browser: bool) -> None:
    import uvicorn

    from brevanta.web.app import create_app
    from brevanta.web.tasks import TaskRunner

    access = Access.new(host, listener.getsockname()[1], allowed_names)
    runner = TaskRunner()
    app = create_app(access, runner)

    class Server(uvicorn.Server):
        def handle_exit(self, sig: int, frame: FrameType | None) -> None:
            runner.cancel_all()  # progress streams end, so the graceful stop does not wait on them
            super().handle_exit(sig, frame)

    server = Server(uvicorn.Config(app, log_level="warning", access_log=False, lifespan="on",
                                   timeout_graceful_shutdown=5))
    _announce(access)
    if open_browser:
        threading.Timer(0.5, webbrowser.open, args=(access.url,)).start()
    try:
        server.run(sockets=[listener])
    finally:
        runner.cancel_all()


def serve(args: argparse.Namespace) -> int:
    _check_extra()
    check_session_home()
    listener = bind(args.host, args.port)  # before the web stack loads: a port in use answers at once
    signals.install()  # SIGTERM and SIGHUP stop the server the way Ctrl-C does
    try:
        _run(listener, args.host, tuple(args.allow_host), args.open)
    except KeyboardInterrupt:  # while starting, or the signal uvicorn passes on once it has stopped
        pass
    finally:
        listener.close()
    print("brevanta: stopped; every session is saved.", file=sys.stderr)
    return EXIT_OK
