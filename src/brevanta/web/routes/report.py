"""A session's report page with its gap walk, and the routes that change the session from it: a gap
decided, a decision changed, the way forward (continue anyway, close the round, analyse, write the
documents), a document attached. Each answers with the page to look at next."""

from __future__ import annotations

from collections.abc import Callable

from starlette.concurrency import run_in_threadpool
from starlette.datastructures import FormData
from starlette.requests import Request
from starlette.responses import RedirectResponse, Response
from starlette.routing import BaseRoute, Route

from brevanta.pipeline import decisions
from brevanta.pipeline.session import output_dir, state_of
from brevanta.web import decide, documents, runs
from brevanta.web.acting import acting
from brevanta.web.forms import text_field
from brevanta.web.intake import read_intake
from brevanta.web.links import link
from brevanta.web.listing import summarise
from brevanta.web.report import gap_view, report_of, stored_analysis
from brevanta.web.routes.tasks import start_task
from brevanta.web.sessionfiles import SESSION_PATH, SessionRef, session_data, session_ref
from brevanta.web.tasks import Task
from brevanta.web.templating import page
from brevanta.web.walk import walk_of


def report_page(request: Request) -> Response:  # on a worker thread: it reads the store
    ref = session_ref(request)
    data = session_data(ref)
    state = state_of(data)
    analysis = stored_analysis(state)
    report = report_of(analysis[1]) if analysis else None
    return page(request, "report.html", session=summarise(ref, data), report=report, walk=walk_of(ref, data),
                documents=documents.written_documents(output_dir(state)))


def _number(text: str) -> int:
    return int(text) if text.isdigit() else -1


def _model_task(request: Request, ref: SessionRef, title: str, work: Callable[[Task], str],
                then: str = "report") -> Response:
    """`work` on a task; once it is done the browser goes to the session's page `then`."""
    return start_task(request, ref.key, title, work, next_url=link(request, then, ref))


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
        await run_in_threadpool(decide.decide_gap, ref, number, text_field(form, "gap_id"),
                                text_field(form, "choice"), text_field(form, "answer"),
                                text_field(form, "confirmed") == "yes")
    except decide.NeedsConfirmation as question:
        return page(request, "confirm.html", ref=ref, gap=gap_view(number, question.gap),
                    gap_id=text_field(form, "gap_id"), question=decisions.CRITICAL_BYPASS_QUESTION)
    return RedirectResponse(link(request, "report", ref, anchor=f"gap-{number}"), status_code=303)


@acting
async def revisit(request: Request, ref: SessionRef, form: FormData) -> Response:
    await run_in_threadpool(decide.revisit, ref, _number(str(request.path_params["index"])),
                            text_field(form, "title"), text_field(form, "action"), text_field(form, "answer"))
    return RedirectResponse(link(request, "report", ref, anchor="decisions"), status_code=303)


@acting
async def way_forward(request: Request, ref: SessionRef, form: FormData) -> Response:
    action = text_field(form, "action")
    if action == "continue":
        await run_in_threadpool(decide.bypass_open_gaps, ref)
    elif action == "close":
        if await run_in_threadpool(decide.close_round, ref):
            return _model_task(request, ref, "Analysing the next round", _analysing(ref))
    elif action == "analyse":
        return _model_task(request, ref, "Analysing the round", _analysing(ref))
    elif action == "write":
        return _model_task(request, ref, "Writing the documents", runs.writing(ref), then="documents")
    else:
        raise runs.Refused(runs.STALE)
    return RedirectResponse(link(request, "report", ref), status_code=303)


@acting
async def attach(request: Request, ref: SessionRef, form: FormData) -> Response:
    intake = await read_intake(form, paste="document", upload="document_file", what="document",
                               pasted_name=text_field(form, "name").strip() or "pasted document")
    await run_in_threadpool(decide.attach, ref, intake.source)
    return _model_task(request, ref, f"Analysing with {intake.name}", _analysing(ref))


ROUTES: list[BaseRoute] = [
    Route(SESSION_PATH, report_page, name="report"),
    Route(SESSION_PATH + "/gap/{number}", decide_gap, methods=["POST"], name="gap"),
    Route(SESSION_PATH + "/decision/{index}", revisit, methods=["POST"], name="decision"),
    Route(SESSION_PATH + "/forward", way_forward, methods=["POST"], name="forward"),
    Route(SESSION_PATH + "/attach", attach, methods=["POST"], name="attach"),
]
