"""The sessions: every organisation's listing, a new analysis, and an archived session restored or a
complete one reopened."""

from __future__ import annotations

from starlette.datastructures import FormData
from starlette.requests import Request
from starlette.responses import RedirectResponse, Response
from starlette.routing import BaseRoute, Route

from brevanta import config
from brevanta.errors import UsageError
from brevanta.pipeline import archive
from brevanta.pipeline.words import sentence
from brevanta.pipeline.inputs import check_org_id
from brevanta.web import runs
from brevanta.web.acting import acting
from brevanta.web.forms import read_form, text_field
from brevanta.web.intake import IntakeProblem, check_within_limit, read_intake
from brevanta.web.links import link
from brevanta.web.listing import SessionIndex
from brevanta.web.routes.tasks import start_task
from brevanta.web.sessionfiles import SESSION_PATH, SessionRef
from brevanta.web.tasks import Task
from brevanta.web.templating import page

async def sessions_page(request: Request) -> Response:
    index: SessionIndex = request.app.state.index
    return page(request, "sessions.html", organisations=index.organisations())


async def new_analysis_form(request: Request) -> Response:
    return page(request, "new.html", problem="", org="", interview="", limit_tokens=config.MAX_INTERVIEW_TOKENS)


async def new_analysis(request: Request) -> Response:
    form = await read_form(request)
    org = text_field(form, "org").strip()
    try:
        org_id = check_org_id(org)
        intake = await read_intake(form, paste="interview", upload="interview_file", what="interview",
                                   pasted_name="pasted interview")
        check_within_limit(intake.text, "the interview")
    except (UsageError, IntakeProblem) as exc:
        return page(request, "new.html", status=400, problem=str(exc), org=org,
                    interview=text_field(form, "interview"), limit_tokens=config.MAX_INTERVIEW_TOKENS)
    finally:
        await form.close()

    def work(task: Task) -> str:
        task.update(message="Analysing the interview (round 1).")
        name = runs.analyse_new(task, org_id, intake.text)
        task.next_url = link(request, "report", SessionRef("live", name))
        return "The analysis is saved."

    return start_task(request, f"new/{org_id}", "Analysing the interview", work, next_url=link(request, "sessions"))


@acting
async def restore(request: Request, ref: SessionRef, form: FormData) -> Response:
    if ref.place != "archive":
        raise runs.Refused(runs.STALE)
    try:
        archive.restore(ref.name)
    except archive.NoSuchSessionFile:
        raise runs.SessionGone(ref.name) from None
    except archive.NotRestored as refused:
        raise runs.Refused(sentence(str(refused))) from None
    return RedirectResponse(link(request, "report", SessionRef("live", ref.name)), status_code=303)


@acting
async def reopen(request: Request, ref: SessionRef, form: FormData) -> Response:
    if ref.place != "live":
        raise runs.Refused(runs.STALE)
    try:
        archive.reopen(ref.name)
    except archive.NoSuchSessionFile:
        raise runs.SessionGone(ref.name) from None
    except ValueError:
        raise runs.Refused(f"{ref.name} is not a completed session.") from None
    return RedirectResponse(link(request, "report", ref), status_code=303)


ROUTES: list[BaseRoute] = [
    Route("/", sessions_page, name="sessions"),
    Route("/new", new_analysis_form, name="new"),
    Route("/new", new_analysis, methods=["POST"], name="analyse_new"),
    Route(SESSION_PATH + "/restore", restore, methods=["POST"], name="restore"),
    Route(SESSION_PATH + "/reopen", reopen, methods=["POST"], name="reopen"),
]
