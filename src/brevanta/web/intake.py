"""What a form brings in: an interview or a document, pasted or uploaded, decoded and checked with
the command's own rules (UTF-8, not empty, within the token limit)."""

from __future__ import annotations

from dataclasses import dataclass

from starlette.datastructures import FormData

from brevanta.pipeline.inputs import check_size
from brevanta.errors import InputProblem
from brevanta.web.forms import text_field, upload_field
from brevanta.web.runs import phase_failure


class IntakeProblem(Exception):
    """What is wrong with the text the user gave, in words for the page."""


@dataclass(frozen=True)
class Intake:
    text: str
    name: str  # the uploaded file's name, or what stands for a paste


def _decoded(data: bytes, shown: str) -> str:
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError:
        raise IntakeProblem(f"{shown} is not UTF-8 text.") from None


async def read_intake(form: FormData, *, paste: str, upload: str, what: str, pasted_name: str) -> Intake:
    """The text of the upload `upload`, else of the field `paste`; IntakeProblem when there is none."""
    file = upload_field(form, upload)
    if file is not None:
        name = file.filename or "upload"
        text = _decoded(await file.read(), name)
    else:
        name, text = pasted_name, text_field(form, paste).replace("\r\n", "\n")
    if not text.strip():
        raise IntakeProblem(f"The {what} is empty: paste it or choose a file.")
    return Intake(text, name)


def check_within_limit(text: str, what: str) -> None:
    try:
        check_size(text, what)
    except InputProblem as exc:
        raise IntakeProblem(str(phase_failure(exc))) from None
