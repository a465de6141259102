"""The routes that change a session: a gap decided, a decision changed, every open gap bypassed, a
document attached, the round closed or analysed again, the documents written, a session restored
or reopened. Each answers with the page to look at next; a refusal says why and changes nothing."""

from __future__ import annotations

from collections.abc import Awaitable, Callable

from starlette.datastructures import FormData
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import RedirectResponse, Response

from brevanta import durable, waymark
from brevanta.errors import os_reason
from brevanta.pipeline import session
from brevanta.pipeline.lock import SessionLocked
from brevanta.pipeline.session import when
from brevanta.web import decide, runs
from brevanta.web.actions import runner_of, started
from brevanta.web.forms import read_form, text_field
from brevanta.web.intake import IntakeProblem, read_intake
from brevanta.web.report import gap_view
from brevanta.web.sessionfiles import SessionRef
from brevanta.web.tasks import SessionBusy, Task
from brevanta.web.templating import page
from brevanta.web.views import session_ref


def session_url(ref: SessionRef, anchor: str = "") -> str:
    return f"/session/{ref.place}/{ref.name}" + (f"#{anchor}" if anchor else "")


def _in_use(locked: SessionLocked) -> str:
    holder = "this server (a task is running on it)" if runs.held_here((locked.pid, None)) else \
        f"process {locked.pid}" if locked.pid else "another process"
    since = when(locked.since) if locked.since else "an unknown time"
    return f"This session is in use by {holder} since {since}; nothing was changed. Wait for it to end, then retry."


def refusal(request: Request, ref: SessionRef, message: str, status: int = 409) -> Response:
    return page(request, "error.html", status=status, status_code=status, detail=message, back=session_url(ref))


Act = Callable[[Request, SessionRef, FormData], Awaitable[Response]]


def acting(act: Act) -> Callable[[Request], Awaitable[Response]]:
    """A POST on a session: its form read with the CSRF check, the refusals turned into pages."""

    async def route(request: Request) -> Response:
        ref = session_ref(request)
        form = await read_form(request)
        try:
            return await act(request, ref, form)
        except SessionLocked as locked:
            return refusal(request, ref, _in_use(locked))
        except (runs.Refused, IntakeProblem) as refused:
            return refusal(request, ref, str(refused))
        except runs.SessionGone:
            raise HTTPException(404, "There is no such session (it may have been archived or restored since).")
        except session.SessionNotSaved as failed:
            return refusal(request, ref, str(runs.phase_failure(failed)), status=500)
        finally:
            await form.close()

    return route


def _number(text: str) -> int:
    return int(text) if text.isdigit() else -1


def _model_task(request: Request, ref: SessionRef, title: str, work: Callable[[Task], str]) -> Response:
    try:
        task = runner_of(request).start(ref.key, title, work, next_url=session_url(ref))
    except SessionBusy as busy:
        task = busy.task
    return started(task)


def _analysing(ref: SessionRef) -> Callable[[Task], str]:
    def work(task: Task) -> str:
        task.update(message="Analysing the interview with its answers and documents.")
        runs.analyse_again(task, ref)
        return "The analysis is saved."

    return work


@acting
async def decide_gap(request: Request, ref: SessionRef, form: FormData) -> Response:
    number = _number(str(request.path_params["number"]))
    try:
        decide.decide_gap(ref, number, text_field(form, "gap_id"), text_field(form, "choice"),
                          text_field(form, "answer"), text_field(form, "confirmed") == "yes")
    except decide.NeedsConfirmation as question:
        return page(request, "confirm.html", ref=ref, gap=gap_view(number, question.gap),
                    gap_id=text_field(form, "gap_id"))
    return RedirectResponse(session_url(ref, f"gap-{number}"), status_code=303)


@acting
async def revisit(request: Request, ref: SessionRef, form: FormData) -> Response:
    decide.revisit(ref, _number(str(request.path_params["index"])), text_field(form, "title"),
                   text_field(form, "action"), text_field(form, "answer"))
    return RedirectResponse(session_url(ref, "decisions"), status_code=303)


@acting
async def way_forward(request: Request, ref: SessionRef, form: FormData) -> Response:
    action = text_field(form, "action")
    if action == "continue":
        decide.bypass_open_gaps(ref)
    elif action == "close":
        if decide.close_round(ref):
            return _model_task(request, ref, "Analysing the next round", _analysing(ref))
    elif action == "analyse":
        return _model_task(request, ref, "Analysing the round", _analysing(ref))
    elif action == "write":
        return _model_task(request, ref, "Writing the documents", runs.writing(ref))
    else:
        raise runs.Refused(runs.STALE)
    return RedirectResponse(session_url(ref), status_code=303)


@acting
async def attach(request: Request, ref: SessionRef, form: FormData) -> Response:
    intake = await read_intake(form, paste="document", upload="document_file", what="document",
                               pasted_name=text_field(form, "name").strip() or "pasted document")
    decide.attach(ref, intake.source)
    return _model_task(request, ref, f"Analysing with {intake.name}", _analysing(ref))


@acting
async def restore(request: Request, ref: SessionRef, form: FormData) -> Response:
    if ref.place != "archive":
        raise runs.Refused(runs.STALE)
    target = waymark.SESSIONS_DIR / ref.name
    try:
        durable.move_without_replacing(ref.path, target)
    except FileExistsError:
        raise runs.Refused(f"Cannot restore {ref.name}: {target} already exists; nothing was moved.") from None
    except FileNotFoundError:
        raise runs.SessionGone(ref.name) from None
    except OSError as exc:
        raise runs.Refused(f"Cannot restore {ref.name}: {os_reason(exc)}.") from None
    return RedirectResponse(session_url(SessionRef("live", ref.name)), status_code=303)


@acting
async def reopen(request: Request, ref: SessionRef, form: FormData) -> Response:
    if ref.place != "live":
        raise runs.Refused(runs.STALE)
    try:
        session.reopen_file(ref.path)
    except ValueError:
        raise runs.Refused(f"{ref.name} is not a completed session.") from None
    return RedirectResponse(session_url(ref), status_code=303)
