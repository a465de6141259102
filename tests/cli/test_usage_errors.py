"""Usage errors: the message, the usage line, exit status 2, nothing written, and no SDK loaded to say so;
--version, and the interview from standard input or too large to send."""

import os
from importlib.metadata import version

import pytest

from brevanta import gapscope


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
    # read by its content, whatever its name says: a password-protected Word file, a damaged one
    "encrypted Word": (lambda tmp: ["analyze", _file(tmp, b"\xd0\xcf\x11\xe0\xa1\xb1\x1a\xe1" + bytes(504)
                                                 + "EncryptedPackage".encode("utf-16-le"))],
                       "interview file is a password-protected (encrypted) Office file, so its text cannot be read: "
                       "{tmp}/interview.md"),
    "damaged Word": (lambda tmp: ["analyze", _file(tmp, b"PK\x03\x04 not really a zip")],
                     "interview file is damaged and cannot be read as a Word document ("),
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


def modules_loaded(stderr: str) -> set[str]:
    """The modules named by PYTHONPROFILEIMPORTTIME's lines on stderr."""
    return {line.rsplit("|", 1)[1].strip() for line in stderr.splitlines() if line.startswith("import time:")}


SDK_AND_RUN = {"anthropic", "brevanta.gapscope", "brevanta.cli.run"}


@pytest.mark.parametrize(
    "args, unloaded",
    [(["--help"], SDK_AND_RUN), (["--version"], SDK_AND_RUN), (["analyze", "--help"], SDK_AND_RUN),
     (["analyze", "nowhere.md"], SDK_AND_RUN), (["analyze", "examples/interview.md", "--round", "0"], SDK_AND_RUN),
     (["analyze", "examples/interview.md", "--replay", "gone.md"], SDK_AND_RUN),
     (["analyze", "examples/interview.md", "--org", "../elsewhere"], SDK_AND_RUN),
     (["sessions", "--org", "acme"], SDK_AND_RUN),
     (["analyze", "examples/interview.md", "--replay", "examples/replay", "--yes"], {"anthropic"})],
    ids=["help", "version", "command help", "missing file", "bad round", "missing reply", "bad org", "sessions",
         "replayed run"],
)
def test_answers_without_loading_the_sdk(brevanta, args, unloaded):
    done = brevanta.run_process(*args, PYTHONPROFILEIMPORTTIME="1")
    loaded = modules_loaded(done.stderr)
    assert "brevanta.cli.args" in loaded
    assert not unloaded & loaded
    assert SDK_AND_RUN - unloaded <= loaded  # the replayed run imported gapscope, and with it the stand-in
    assert "Traceback" not in done.stderr


def test_version_is_the_installed_one(brevanta):
    done = brevanta.run("--version")
    assert (done.returncode, done.stdout, done.stderr) == (0, f"brevanta {version('brevanta')}\n", "")


def test_interview_from_standard_input(brevanta, example_interview):
    done = brevanta.run("analyze", "-", "--replay", "examples/replay", "--yes", stdin=example_interview)
    assert (done.returncode, done.stderr) == (0, "")
    prompt = gapscope.ANALYSIS_PROMPT.replace("{interview_data}", example_interview)
    assert f"  Tokens: {(len(prompt) + 3) // 4} in," in done.stdout  # the interview read is the one sent


def test_oversized_interview_is_refused_before_anything(brevanta, messages_server, tmp_path):
    (tmp_path / "big.md").write_text("word " * 200_000, encoding="utf-8")  # a million characters
    done = brevanta.run("analyze", str(tmp_path / "big.md"), "--yes", ANTHROPIC_API_KEY="test-key",
                        ANTHROPIC_BASE_URL=messages_server.base_url)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == ("brevanta: the interview is too large: about 250,000 tokens estimated, the limit is "
                           "150,000\nShorten it, or raise BREVANTA_MAX_INTERVIEW_TOKENS if your model takes more.\n")
    assert messages_server.requests == [] and not brevanta.home.exists()
