"""Durable writes: concurrent writers of one document keep every version as a numbered backup; a move
takes only a regular file."""

import errno
import multiprocessing
import os
from pathlib import Path

import pytest

from brevanta import durable

WRITERS, WRITES_EACH = 4, 40


def _write_versions(path, writer, start):
    start.wait()
    for number in range(WRITES_EACH):
        durable.write_file(Path(path), f"version {writer}-{number}\n".encode())


def test_concurrent_writes_of_one_document_keep_every_version(tmp_path):
    path = tmp_path / "PRD.md"
    path.write_bytes(b"the original\n")
    context = multiprocessing.get_context("spawn")  # the test runner may have threads: no fork
    start = context.Event()
    writers = [context.Process(target=_write_versions, args=(str(path), writer, start)) for writer in range(WRITERS)]
    for process in writers:
        process.start()
    start.set()
    for process in writers:
        process.join(timeout=120)
        assert process.exitcode == 0
    kept = sorted(entry.read_bytes() for entry in tmp_path.iterdir())
    written = [f"version {writer}-{number}\n".encode() for writer in range(WRITERS) for number in range(WRITES_EACH)]
    assert kept == sorted([b"the original\n", *written])  # every version once, no temporary file left
    assert sorted(os.listdir(tmp_path)) == sorted(["PRD.md", *(f"PRD.md.~{n}~" for n in range(1, len(written) + 1))])


def test_move_without_replacing_refuses_a_taken_name(tmp_path):
    source, target = tmp_path / "a.json", tmp_path / "b.json"
    source.write_bytes(b"a")
    target.write_bytes(b"b")
    try:
        durable.move_without_replacing(source, target)
    except FileExistsError:
        pass
    else:
        raise AssertionError("the taken name was replaced")
    assert (source.read_bytes(), target.read_bytes()) == (b"a", b"b")


@pytest.mark.parametrize("kind", ["link", "fifo", "directory"])
@pytest.mark.parametrize("hard_links", [True, False])
def test_only_a_regular_file_is_moved_and_a_refusal_leaves_nothing(tmp_path, monkeypatch, kind, hard_links):
    source, target = tmp_path / "a.json", tmp_path / "sessions" / "a.json"
    target.parent.mkdir()
    {"link": lambda: source.symlink_to("/etc/passwd"), "fifo": lambda: os.mkfifo(source),
     "directory": source.mkdir}[kind]()
    if not hard_links:  # a file system without them: the move copies
        monkeypatch.setattr(os, "link", lambda *args, **kwargs: (_ for _ in ()).throw(OSError(errno.EPERM, "no")))
    with pytest.raises(OSError) as refused:
        durable.move_without_replacing(source, target)
    assert not isinstance(refused.value, FileExistsError)
    assert os.listdir(target.parent) == [] and os.path.lexists(source)
