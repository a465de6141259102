"""Usage errors: the message, the usage line, exit status 2, and nothing written."""

import os

import pytest


def _file(tmp_path, content: bytes, mode: int | None = None) -> str:
    path = tmp_path / "interview.md"
    path.write_bytes(content)
    if mode is not None:
        path.chmod(mode)
    return str(path)


CASES = {
    "missing file": (lambda tmp: ["analyze", "nowhere.md"], "interview file not found: nowhere.md"),
    "empty file": (lambda tmp: ["analyze", _file(tmp, b"")], "interview file is empty: {tmp}/interview.md"),
    "blank file": (lambda tmp: ["analyze", _file(tmp, b" \n\t\n")], "interview file is empty: {tmp}/interview.md"),
    "directory": (lambda tmp: ["analyze", str(tmp)], "interview file is a directory: {tmp}"),
    "not UTF-8": (lambda tmp: ["analyze", _file(tmp, b"Caf\xe9 owner\n")],
                  "interview file is not UTF-8 text: {tmp}/interview.md"),
    "no permission": (lambda tmp: ["analyze", _file(tmp, b"Q: Who?\n", mode=0)],
                      "cannot read interview file {tmp}/interview.md: Permission denied"),
    "missing reply": (lambda tmp: ["analyze", "examples/interview.md", "--replay", "gone.md"],
                      "reply file not found: gone.md"),
    "round zero": (lambda tmp: ["analyze", "examples/interview.md", "--round", "0"],
                   "argument --round: must be a positive whole number, got '0'"),
    "negative round": (lambda tmp: ["analyze", "examples/interview.md", "--round=-2"],
                       "argument --round: must be a positive whole number, got '-2'"),
    "round in words": (lambda tmp: ["analyze", "examples/interview.md", "--round", "two"],
                       "argument --round: must be a positive whole number, got 'two'"),
    "unknown option": (lambda tmp: ["analyze", "examples/interview.md", "--colour"],
                       "unrecognized arguments: --colour"),
    "org with a path": (lambda tmp: ["analyze", "examples/interview.md", "--org", "../elsewhere"],
                        "--org must start with a letter or digit"),
    "no command": (lambda tmp: [], "the following arguments are required: COMMAND"),
}


AS_ROOT = pytest.mark.skipif(os.geteuid() == 0, reason="root reads files without permission")


@pytest.mark.parametrize(
    ("make_args", "message"),
    [pytest.param(*case, id=name, marks=[AS_ROOT] if name == "no permission" else []) for name, case in CASES.items()],
)
def test_usage_error(brevanta, tmp_path, make_args, message):
    done = brevanta.run(*make_args(tmp_path))
    assert done.returncode == 2
    assert done.stdout == ""
    assert done.stderr.startswith("usage: brevanta")
    assert message.format(tmp=tmp_path) in done.stderr
    assert not brevanta.home.exists()  # no session store touched
