"""Who gets in: the printed token once, then the cookie; the Host must name this server; every
form carries the CSRF token; an upload past the limit is refused while it streams in."""

from __future__ import annotations

import pytest
from web_support import BASE, PORT


def test_the_token_is_exchanged_for_a_strict_http_only_cookie_and_leaves_the_address(anonymous, access):
    response = anonymous.get(f"/session/live/x.json?token={access.token}&tab=1")
    assert response.status_code == 303
    assert response.headers["location"] == f"{access.prefix}/session/live/x.json?tab=1"
    cookie = response.headers["set-cookie"]
    assert cookie.startswith(f"brevanta-{PORT}={access.cookie_value};")
    assert "HttpOnly" in cookie and "SameSite=strict" in cookie and f"Path={access.prefix};" in cookie
    assert access.token not in cookie
    assert anonymous.get("/").status_code == 200  # the cookie now opens every page


@pytest.mark.parametrize("case", ["no token", "wrong token", "wrong cookie", "token in a POST",
                                  "rebound host", "another port", "no host"])
def test_requests_without_access_are_refused(anonymous, access, case):
    host = {"rebound host": "attacker.example:8123", "another port": f"127.0.0.1:{PORT + 1}",
            "no host": ""}.get(case, f"127.0.0.1:{PORT}")
    if case == "wrong cookie":
        anonymous.cookies.set(access.cookie_name, "guessed")
    if case in ("rebound host", "another port", "no host"):
        anonymous.cookies.set(access.cookie_name, access.cookie_value)  # even with the cookie
    if case == "token in a POST":
        response = anonymous.post(f"/?token={access.token}", headers={"host": host})
    else:
        token = "" if case == "no token" else f"?token={access.token}x" if case == "wrong token" else ""
        response = anonymous.get(f"/{token}", headers={"host": host})
    assert response.status_code == 403
    assert "set-cookie" not in response.headers
    assert "Sessions" not in response.text  # nothing of the store shows
    assert response.headers["content-security-policy"].startswith("default-src 'none'")


def test_localhost_is_this_server_too(anonymous, access):
    response = anonymous.get(f"/?token={access.token}", headers={"host": f"localhost:{PORT}"})
    assert response.status_code == 303


def test_every_response_forbids_inline_scripts_and_other_origins(browser):
    policy = browser.get("/").headers["content-security-policy"]
    directives = dict(part.strip().split(" ", 1) for part in policy.split(";"))
    assert directives["default-src"] == "'none'"
    assert directives["script-src"] == "'self'"  # no 'unsafe-inline', no host
    assert directives["style-src"] == "'self'"
    assert directives["form-action"] == "'self'" and directives["frame-ancestors"] == "'none'"
    assert browser.get("/static/app.js").headers["content-security-policy"] == policy


def test_a_refusal_is_a_page_styled_like_the_others(anonymous, access):
    refused = anonymous.get("/")
    assert refused.status_code == 403 and "<h1>Refused</h1>" in refused.text
    assert f'<link rel="stylesheet" href="{access.prefix}/static/style.css">' in refused.text
    assert f'href="{access.prefix}/new"' not in refused.text  # no links into what it may not see
    styles = anonymous.get("/static/style.css")  # the package's own files need no cookie
    assert styles.status_code == 200 and "set-cookie" not in styles.headers
    assert anonymous.post("/static/style.css").status_code == 403


@pytest.mark.parametrize("bound, names, host, admitted", [
    ("0.0.0.0", (), f"192.168.1.20:{PORT}", True),  # a wildcard address: any address of the machine
    ("::", (), f"[fe80::1]:{PORT}", True),
    ("0.0.0.0", (), f"mybox.lan:{PORT}", False),  # a name only when allowed
    ("0.0.0.0", ("MyBox.lan",), f"mybox.LAN:{PORT}", True),
    ("0.0.0.0", ("mybox.lan",), f"mybox.lan:{PORT + 1}", False),
    ("0.0.0.0", (), f"192.168.1.20.attacker.example:{PORT}", False),
    ("192.168.1.20", (), f"192.168.1.20:{PORT}", True),  # a given address: that one
    ("192.168.1.20", (), f"192.168.1.21:{PORT}", False),
    ("127.0.0.1", ("brevanta.test",), f"brevanta.test:{PORT}", True),
])
def test_the_host_check_admits_the_bound_address_and_the_allowed_names(bound, names, host, admitted):
    from brevanta.web.access import Access

    assert Access.new(bound, PORT, names).host_allowed(host) is admitted


@pytest.mark.parametrize("path", ["/", "/session/live/x.json", "/static/app.js", "/favicon.ico"])
def test_nothing_is_served_outside_the_servers_own_path(browser, path):
    response = browser.get(BASE + path)  # the whole address: not under the prefix, even with the cookie
    assert response.status_code == 404 and "Open the address that" in response.text
