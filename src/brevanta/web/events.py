"""Server-sent events: a task's progress as it happens, until it is over or the server stops."""

from __future__ import annotations

import asyncio
import json
from collections.abc import AsyncIterator

from starlette.responses import StreamingResponse

from brevanta.web.tasks import Task, TaskRunner

POLL_SECONDS = 0.2  # how often a snapshot is taken; the page's elapsed time ticks on its own


def _event(name: str, data: object) -> str:
    return f"event: {name}\ndata: {json.dumps(data)}\n\n"


async def _progress(task: Task, runner: TaskRunner) -> AsyncIterator[str]:
    last: dict[str, object] | None = None
    while True:
        snapshot = task.snapshot()
        if snapshot != last:
            yield _event("progress", snapshot)
            last = snapshot
        if task.over:
            yield _event("over", snapshot)
            return
        if runner.stopping.is_set():
            yield _event("stopped", {"message": "The server is stopping."})
            return
        await asyncio.sleep(POLL_SECONDS)


def progress_stream(task: Task, runner: TaskRunner) -> StreamingResponse:
    return StreamingResponse(_progress(task, runner), media_type="text/event-stream",
                             headers={"cache-control": "no-store", "x-accel-buffering": "no"})
