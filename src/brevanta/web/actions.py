"""The pages that change something: a new analysis, and the progress of the model calls they start."""

from __future__ import annotations

from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import RedirectResponse, Response

from brevanta import config
from brevanta.pipeline.inputs import check_org_id
from brevanta.errors import UsageError
from brevanta.web import runs
from brevanta.web.events import progress_stream
from brevanta.web.forms import read_form, text_field
from brevanta.web.intake import IntakeProblem, check_within_limit, read_intake
from brevanta.web.tasks import SessionBusy, Task, TaskRunner
from brevanta.web.templating import page

NO_SUCH_TASK = "There is no such task: the server may have been restarted since. Every decision is saved."


def runner_of(request: Request) -> TaskRunner:
    runner: TaskRunner = request.app.state.runner
    return runner


def started(task: Task) -> Response:
    return RedirectResponse(f"/tasks/{task.task_id}", status_code=303)


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
        name = runs.analyse_new(task, org_id, intake.source)
        task.next_url = f"/session/live/{name}"
        return "The analysis is saved."

    try:
        task = runner_of(request).start(f"new/{org_id}", "Analysing the interview", work, next_url="/")
    except SessionBusy as busy:
        return started(busy.task)
    return started(task)


def _task(request: Request) -> Task:
    task = runner_of(request).get(str(request.path_params["task_id"]))
    if task is None:
        raise HTTPException(404, NO_SUCH_TASK)
    return task


async def task_page(request: Request) -> Response:
    task = _task(request)
    return page(request, "task.html", task=task, snapshot=task.snapshot())


async def task_events(request: Request) -> Response:
    return progress_stream(_task(request), runner_of(request))


async def cancel_task(request: Request) -> Response:
    form = await read_form(request)
    await form.close()
    task = _task(request)
    runner_of(request).cancel(task)
    return RedirectResponse(f"/tasks/{task.task_id}", status_code=303)
