"""The sessions: every organisation's listing, a new analysis, and an archived session restored or a
complete one reopened."""

from __future__ import annotations

from collections.abc import Callable
from pathlib import Path
from typing import Any

from starlette.concurrency import run_in_threadpool
from starlette.datastructures import FormData
from starlette.requests import Request
from starlette.responses import RedirectResponse, Response
from starlette.routing import BaseRoute, Route

from brevanta import config
from brevanta.errors import UsageError
from brevanta.pipeline import archive, session
from brevanta.pipeline import organisation as organisations
from brevanta.pipeline.inputs import check_org_id
from brevanta.pipeline.interview import PASTED_NAME, STDIN, Interview
from brevanta.pipeline.session import describe, state_of, when
from brevanta.pipeline.words import sentence
from brevanta.web import runs
from brevanta.web.acting import acting
from brevanta.web.batches import BatchProgress
from brevanta.web.forms import read_form, text_field
from brevanta.web.intake import Intake, IntakeProblem, check_within_limit, read_intake
from brevanta.web.links import link
from brevanta.web.listing import SessionIndex, summarise
from brevanta.web.routes.tasks import runner_of, start_task
from brevanta.web.sessionfiles import SESSION_PATH, SessionRef, session_data
from brevanta.web.tasks import Task
from brevanta.web.templating import page

def sessions_page(request: Request) -> Response:  # on a worker thread: it reads the store
    index: SessionIndex = request.app.state.index
    progress: BatchProgress = request.app.state.batches
    return page(request, "sessions.html", organisations=index.organisations(), batches=progress.summaries())


def _new_form(request: Request, status: int = 200, problem: str = "", org: str = "", interview: str = "") -> Response:
    return page(request, "new.html", status=status, problem=problem, org=org, interview=interview,
                limit_tokens=config.MAX_INTERVIEW_TOKENS)


async def new_analysis_form(request: Request) -> Response:
    """The form; after a new analysis failed (`?draft=TASK`), filled in again with what was sent and why
    it failed, since no session keeps an interview whose first analysis never came."""
    failed = runner_of(request).get(request.query_params.get("draft", ""))
    if failed is None or not failed.draft or not failed.over:
        return _new_form(request)
    return _new_form(request, problem=failed.message, org=failed.draft.get("org", ""),
                     interview=failed.draft.get("interview", ""))


def _organisation(org: str, intake: Intake) -> str:
    """The organisation typed in, else one named after the interview (an upload's file name, or the title)."""
    if org:
        return check_org_id(org, "the organisation")
    interview = Interview(STDIN, intake.text)
    return organisations.for_interview(interview, intake.name if intake.uploaded else None).org_id


async def new_analysis(request: Request) -> Response:
    form = await read_form(request)
    org = text_field(form, "org").strip()
    try:
        intake = await read_intake(form, paste="interview", upload="interview_file", what="interview",
                                   pasted_name=PASTED_NAME)
        check_within_limit(intake.text, "the interview")
        org_id = _organisation(org, intake)
    except (UsageError, IntakeProblem) as exc:
        return _new_form(request, 400, str(exc), org, text_field(form, "interview"))
    finally:
        await form.close()

    then = text_field(form, "then")  # after the page below: "wait" for the other analysis, or a "new" session
    interview = Interview(STDIN, intake.text)
    listed = await run_in_threadpool(session.unfinished_sessions, org_id)
    taken = await run_in_threadpool(_taken, request, org_id, interview, listed, then)
    if taken is not None:
        return taken
    known = {record["path"] for record in listed}

    def work(task: Task) -> str:
        task.next_url = f"{link(request, 'new')}?draft={task.task_id}"  # should the analysis fail
        name = runs.analyse_new(task, org_id, intake.source, known)
        task.next_url = link(request, "report", SessionRef("live", name))
        return "The analysis is saved."

    # One task per interview text: a second interview of the organisation is a session of its own.
    return start_task(request, f"new/{interview.sha256}", "Analysing the interview", work,
                      next_url=link(request, "sessions"), draft={"org": org, "interview": intake.text})


def _taken(request: Request, org_id: str, interview: Interview, listed: list[dict[str, Any]],
           then: str) -> Response | None:
    """The page that says this interview is taken already, or None: an unfinished session of the
    organisation holds its very text (open it, or start a new one anyway), or another run is analysing
    it for a new session (open it when it is this server's, or wait for it)."""
    same = session.of_interview(listed, interview)[0] if then != "new" else []
    context: dict[str, Any] = {"org": org_id, "interview": interview.text, "title": "This interview is taken"}
    if same:
        record = same[0]
        ref = SessionRef.parse("live", Path(record["path"]).name)
        message = (f"This interview has an unfinished session of {org_id}, saved {when(record['saved_at'])} "
                   f"({describe(state_of(record))}).")
        return page(request, "interview_taken.html", message=message, then="new", then_label="Start a new session",
                    open_url=link(request, "report", ref) if ref is not None else "", **context)
    busy = session.analysing(interview.sha256) if then != "wait" else None
    if busy is None:
        return None
    ours = runner_of(request).running(f"new/{interview.sha256}")
    return page(request, "interview_taken.html", message=sentence(str(busy)),
                open_url=link(request, "task", task_id=ours.task_id) if ours is not None else "",
                then="" if busy.problem else "wait", then_label="Wait for it, then open its session", **context)


async def _moved(request: Request, ref: SessionRef, place: str, move: Callable[[str], object],
                 refusal: type[Exception], to: SessionRef) -> Response:
    """The session of `ref` (in `place`) moved by the pipeline's `move`, then its page; `refusal` says why not."""
    if ref.place != place:
        raise runs.Refused(runs.STALE)
    try:
        await run_in_threadpool(move, ref.name)
    except refusal as refused:
        raise runs.Refused(sentence(str(refused))) from None
    return RedirectResponse(link(request, "report", to), status_code=303)


@acting
async def restore(request: Request, ref: SessionRef, form: FormData) -> Response:
    return await _moved(request, ref, "archive", archive.restore, archive.NotRestored, SessionRef("live", ref.name))


@acting
async def reopen(request: Request, ref: SessionRef, form: FormData) -> Response:
    return await _moved(request, ref, "live", archive.reopen, archive.NotReopened, ref)


@acting
async def discard(request: Request, ref: SessionRef, form: FormData) -> Response:
    """An unfinished session moved to the archive, once the user confirmed it; restorable from there."""
    data = await run_in_threadpool(session_data, ref)  # off the event loop: the file may be large
    if ref.place != "live" or data.get("phase") == session.COMPLETE_PHASE:
        raise runs.Refused(runs.STALE)
    if text_field(form, "confirmed") != "yes":
        return page(request, "discard.html", session=summarise(ref, data))
    session.refuse_if_held(session.session_record(ref.path, data))
    if not await run_in_threadpool(session.archive, str(ref.path)):
        raise runs.Refused(runs.STALE)  # taken by another run between the check and the move
    return RedirectResponse(link(request, "sessions"), status_code=303)


ROUTES: list[BaseRoute] = [
    Route("/", sessions_page, name="sessions"),
    Route("/new", new_analysis_form, name="new"),
    Route("/new", new_analysis, methods=["POST"], name="analyse_new"),
    Route(SESSION_PATH + "/restore", restore, methods=["POST"], name="restore"),
    Route(SESSION_PATH + "/reopen", reopen, methods=["POST"], name="reopen"),
    Route(SESSION_PATH + "/discard", discard, methods=["POST"], name="discard"),
]
