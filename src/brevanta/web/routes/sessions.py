"""The sessions: every organisation's listing, a new analysis, and an archived session restored or a
complete one reopened."""

from __future__ import annotations

from starlette.datastructures import FormData
from starlette.requests import Request
from starlette.responses import RedirectResponse, Response
from starlette.routing import BaseRoute, Route

from brevanta import config, durable, waymark
from brevanta.errors import UsageError, os_reason
from brevanta.pipeline import session
from brevanta.pipeline import organisation as organisations
from brevanta.pipeline.inputs import check_org_id
from brevanta.pipeline.interview import STDIN, Interview
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

async def sessions_page(request: Request) -> Response:
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
                                   pasted_name="pasted interview")
        check_within_limit(intake.text, "the interview")
        org_id = _organisation(org, intake)
    except (UsageError, IntakeProblem) as exc:
        return _new_form(request, 400, str(exc), org, text_field(form, "interview"))
    finally:
        await form.close()

    def work(task: Task) -> str:
        task.next_url = f"{link(request, 'new')}?draft={task.task_id}"  # should the analysis fail
        task.update(message="Analysing the interview (round 1).")
        name = runs.analyse_new(task, org_id, intake.source)
        task.next_url = link(request, "report", SessionRef("live", name))
        return "The analysis is saved."

    return start_task(request, f"new/{org_id}", "Analysing the interview", work, next_url=link(request, "sessions"),
                      draft={"org": org, "interview": intake.text})


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
    return RedirectResponse(link(request, "report", SessionRef("live", ref.name)), status_code=303)


@acting
async def reopen(request: Request, ref: SessionRef, form: FormData) -> Response:
    if ref.place != "live":
        raise runs.Refused(runs.STALE)
    try:
        session.reopen_file(ref.path)
    except ValueError:
        raise runs.Refused(f"{ref.name} is not a completed session.") from None
    return RedirectResponse(link(request, "report", ref), status_code=303)


@acting
async def discard(request: Request, ref: SessionRef, form: FormData) -> Response:
    """An unfinished session moved to the archive, once the user confirmed it; restorable from there."""
    data = session_data(ref)
    if ref.place != "live" or data.get("phase") == session.COMPLETE_PHASE:
        raise runs.Refused(runs.STALE)
    if text_field(form, "confirmed") != "yes":
        return page(request, "discard.html", session=summarise(ref, data))
    session.refuse_if_held(session.session_record(ref.path, data))
    if not session.archive(str(ref.path)):
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
