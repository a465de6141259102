"""What a form brings in: an interview or a document, pasted or uploaded, decoded and checked with
the pipeline's own rules (UTF-8, not empty, within the token limit)."""

from __future__ import annotations

from dataclasses import dataclass

from starlette.datastructures import FormData

from brevanta.errors import InputProblem, UsageError
from brevanta.pipeline.inputs import check_size, decoded_text
from brevanta.web.forms import text_field, upload_field
from brevanta.web.runs import phase_failure


class IntakeProblem(Exception):
    """What is wrong with the text the user gave, in words for the page."""


@dataclass(frozen=True)
class Intake:
    text: str
    name: str  # the uploaded file's name, or what stands for a paste
    uploaded: bool


def _sentence(text: str) -> str:
    return f"{text[:1].upper()}{text[1:]}."


async def read_intake(form: FormData, *, paste: str, upload: str, what: str, pasted_name: str) -> Intake:
    """The text of the upload `upload` or of the field `paste`; IntakeProblem when there is none, or
    when both were given (which one was meant is not guessed)."""
    file = upload_field(form, upload)
    pasted = text_field(form, paste).replace("\r\n", "\n")  # a text box sends Windows line ends
    if file is not None and pasted.strip():
        raise IntakeProblem(f"The {what} was given twice: pasted in the box and as the file {file.filename}. "
                            "Keep one of them (empty the box, or choose no file) and send it again.")
    if file is None:
        if not pasted.strip():
            raise IntakeProblem(f"The {what} is empty: paste it or choose a file.")
        return Intake(pasted, pasted_name, uploaded=False)
    name = file.filename or "upload"
    try:
        return Intake(decoded_text(await file.read(), f"the {what} file", name), name, uploaded=True)
    except UsageError as exc:
        raise IntakeProblem(_sentence(str(exc))) from None


def check_within_limit(text: str, what: str) -> None:
    try:
        check_size(text, what)
    except InputProblem as exc:
        raise IntakeProblem(str(phase_failure(exc))) from None
