"""A task's pages: its progress, its server-sent events, its Cancel; and how the other routes start one."""

from __future__ import annotations

from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import RedirectResponse, Response
from starlette.routing import BaseRoute, Route

from brevanta.web.events import progress_stream
from brevanta.web.forms import read_form
from brevanta.web.links import link
from brevanta.web.tasks import SessionBusy, Task, TaskRunner, Work
from brevanta.web.templating import page

NO_SUCH_TASK = "There is no such task: the server may have been restarted since. Every decision is saved."


def runner_of(request: Request) -> TaskRunner:
    runner: TaskRunner = request.app.state.runner
    return runner


def shown(request: Request, task: Task) -> Response:
    return RedirectResponse(link(request, "task", task_id=task.task_id), status_code=303)


def start_task(request: Request, session_key: str, title: str, work: Work, next_url: str) -> Response:
    """`work` on a task of its own, and the task's page; the task already running on the session, if any."""
    try:
        task = runner_of(request).start(session_key, title, work, next_url=next_url)
    except SessionBusy as busy:
        task = busy.task
    return shown(request, task)


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
    return shown(request, task)


ROUTES: list[BaseRoute] = [
    Route("/tasks/{task_id}", task_page, name="task"),
    Route("/tasks/{task_id}/events", task_events, name="task_events"),
    Route("/tasks/{task_id}/cancel", cancel_task, methods=["POST"], name="task_cancel"),
]
