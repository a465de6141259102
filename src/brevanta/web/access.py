"""Who may use the server: the holder of the printed address's token, then of the cookie it is
exchanged for, through a Host that names this server.

The Host check turns away pages of other sites whose names were made to point at this machine (DNS
rebinding). It accepts the bound address and localhost; on a wildcard address (0.0.0.0, ::) any IP
address, since no other site can be reached by the browser under a bare address; and the names the
user allowed (`--allow-host`), for a server reached by its name from other machines.

Cookies do not tell the ports of one host apart: a cookie set by this server would go to any other
server on 127.0.0.1 too, and its value alone opens this one. So every page lives under a random path
of this server's own (`/PREFIX/...`) and the cookie's Path is that prefix: the browser sends it
nowhere else."""

from __future__ import annotations

import hmac
import ipaddress
import secrets
from dataclasses import dataclass


def is_wildcard(host: str) -> bool:
    try:
        return ipaddress.ip_address(host).is_unspecified
    except ValueError:
        return False


def _is_address(host: str) -> bool:
    try:
        ipaddress.ip_address(host)
    except ValueError:
        return False
    return True


def is_loopback(host: str) -> bool:
    if host == "localhost":
        return True
    try:
        return ipaddress.ip_address(host).is_loopback
    except ValueError:
        return False


def _host_of(header: str) -> tuple[str, str | None]:
    """(host, port) of a Host header: "127.0.0.1:8000", "[::1]:8000", "localhost"."""
    if header.startswith("["):
        host, _, rest = header[1:].partition("]")
        return host, rest[1:] if rest.startswith(":") else None
    host, colon, port = header.rpartition(":")
    return (host, port) if colon else (header, None)


def _same(given: str | None, expected: str) -> bool:
    return given is not None and hmac.compare_digest(given.encode(), expected.encode())


@dataclass(frozen=True)
class Access:
    """The secrets of one server process; nothing of them is ever written to disk."""

    host: str
    port: int
    token: str  # in the printed address only
    cookie_value: str  # what the browser shows from the first visit on
    csrf_token: str  # in every form
    prefix: str  # the path every page lives under, "/" and a random name; the cookie's Path
    allowed_names: frozenset[str] = frozenset()  # --allow-host, lowercased

    @classmethod
    def new(cls, host: str, port: int, allowed_names: tuple[str, ...] = ()) -> Access:
        return cls(host, port, secrets.token_urlsafe(32), secrets.token_urlsafe(32), secrets.token_urlsafe(32),
                   f"/{secrets.token_urlsafe(9)}", frozenset(name.lower().rstrip(".").strip("[]") for name in allowed_names))

    def within(self, path: str) -> bool:
        """Whether `path` is one of this server's pages: under its prefix."""
        return path == self.prefix or path.startswith(f"{self.prefix}/")

    @property
    def cookie_name(self) -> str:
        # Cookies do not tell ports apart: two servers on one machine each keep their own.
        return f"brevanta-{self.port}"

    @property
    def allowed_hosts(self) -> frozenset[str]:
        hosts = {self.host, "localhost", *self.allowed_names}
        if is_wildcard(self.host):
            hosts.add("127.0.0.1")
        return frozenset(hosts)

    @property
    def url(self) -> str:
        shown = "127.0.0.1" if is_wildcard(self.host) else self.host
        if ":" in shown:
            shown = f"[{shown}]"
        return f"http://{shown}:{self.port}{self.prefix}/?token={self.token}"

    def host_allowed(self, header: str) -> bool:
        """True for a Host header naming this server on our port: the bound address, localhost, an allowed
        name, or on a wildcard address any IP address. Anything else is another name resolving to us (DNS
        rebinding) or a forged request."""
        host, port = _host_of(header.strip().lower())
        if port not in (None, str(self.port)):
            return False
        return host in self.allowed_hosts or (is_wildcard(self.host) and _is_address(host))

    def token_matches(self, given: str | None) -> bool:
        return _same(given, self.token)

    def cookie_matches(self, given: str | None) -> bool:
        return _same(given, self.cookie_value)

    def csrf_matches(self, given: str | None) -> bool:
        return _same(given, self.csrf_token)
