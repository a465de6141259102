"""What a form brings in: an interview or a document, pasted or uploaded, read with the pipeline's
readers (text, Markdown, Word, PDF, transcripts) and checked with the pipeline's own rules (readable,
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
    uploaded: bool

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
    """The upload `upload` as its reader reads it, or the text of the field `paste`; IntakeProblem when
    there is none, when the file cannot be read, or when both were given (which one was meant is not guessed)."""
    file = upload_field(form, upload)
    pasted = text_field(form, paste).replace("\r\n", "\n")  # a text box sends Windows line ends
    if file is not None and pasted.strip():
        raise IntakeProblem(f"The {what} was given twice: pasted in the box and as the file "
                            f"{_upload_name(file.filename)}. Keep one of them (empty the box, or choose no file) "
                            "and send it again.")
    if file is None:
        if not pasted.strip():
            raise IntakeProblem(f"The {what} is empty: paste it or choose a file.")
        return Intake(SourceText(name=pasted_name, kind=kind_of(pasted_name), text=pasted,
                                 size=len(pasted.encode("utf-8", "surrogatepass"))), uploaded=False)
    name, data = _upload_name(file.filename), await file.read()
    try:
        # A long PDF takes a good part of a second: off the event loop, so other pages still answer.
        return Intake(await run_in_threadpool(read_source, data, name), uploaded=True)
    except SourceProblem as problem:
        raise IntakeProblem(f"{problem}.") from None


def check_within_limit(text: str, what: str) -> None:
    try:
        check_size(text, what)
    except InputProblem as exc:
        raise IntakeProblem(str(phase_failure(exc))) from None
