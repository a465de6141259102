"""What a form brings in: an interview or a document, pasted or uploaded, read with the pipeline's
readers (text, Markdown, Word, PDF, transcripts) and checked with the command's own rules (readable,
not empty, within the token limit)."""

from __future__ import annotations

from dataclasses import dataclass
from pathlib import PurePath

from starlette.concurrency import run_in_threadpool
from starlette.datastructures import FormData

from brevanta.errors import InputProblem
from brevanta.pipeline.inputs import check_size
from brevanta.pipeline.readers import SourceProblem, SourceText, read_source
from brevanta.pipeline.readers.text import kind_of
from brevanta.web.forms import text_field, upload_field
from brevanta.web.runs import phase_failure


class IntakeProblem(Exception):
    """What is wrong with the text the user gave, in words for the page."""


@dataclass(frozen=True)
class Intake:
    source: SourceText  # the upload as its reader read it, or the paste as text

    @property
    def text(self) -> str:
        return self.source.text

    @property
    def name(self) -> str:  # the uploaded file's name, or what stands for a paste
        return self.source.name


def _upload_name(filename: str | None) -> str:
    """The file's base name: some browsers send the whole path the file was chosen from."""
    return PurePath((filename or "").replace("\\", "/")).name or "upload"


async def read_intake(form: FormData, *, paste: str, upload: str, what: str, pasted_name: str) -> Intake:
    """The upload `upload` as its reader reads it, else the text of the field `paste`; IntakeProblem
    when there is none or the file cannot be read."""
    file = upload_field(form, upload)
    if file is not None:
        name, data = _upload_name(file.filename), await file.read()
        try:
            # A long PDF takes a good part of a second: off the event loop, so other pages still answer.
            return Intake(await run_in_threadpool(read_source, data, name))
        except SourceProblem as problem:
            raise IntakeProblem(f"{problem}.") from None
    text = text_field(form, paste).replace("\r\n", "\n")
    if not text.strip():
        raise IntakeProblem(f"The {what} is empty: paste it or choose a file.")
    return Intake(SourceText(name=pasted_name, kind=kind_of(pasted_name), text=text, size=len(text.encode())))


def check_within_limit(text: str, what: str) -> None:
    try:
        check_size(text, what)
    except InputProblem as exc:
        raise too_large(exc) from None


def too_large(exc: InputProblem) -> IntakeProblem:
    return IntakeProblem(str(phase_failure(exc)))
