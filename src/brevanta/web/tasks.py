"""Model calls off the request path: each runs on its own thread while the pages stay responsive,
one at a time per session, and each can be cancelled (as Ctrl-C cancels the command's).

A task reports what it is doing through its `Task`; the progress page reads snapshots of it over
server-sent events. Decisions are saved by the work itself as they are made, so a cancelled or
abandoned task loses nothing the user decided.
"""

from __future__ import annotations

import logging
import secrets
import threading
import time
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any

logger = logging.getLogger("brevanta.web")

RUNNING, DONE, FAILED, CANCELLED = "running", "done", "failed", "cancelled"
CANCELLED_MESSAGE = "Cancelled: every decision made until now is saved."
# A document's state once its task is over: what it was, unless it was still under way.
SETTLED = ("written", "failed")
NOT_WRITTEN = {CANCELLED: "cancelled: not written", FAILED: "not written"}


@dataclass
class DocumentProgress:
    state: str = "waiting"  # asked, waiting, writing, written, failed; once over, also cancelled or not written
    characters: int = 0
    note: str = ""


@dataclass
class Task:
    task_id: str
    session_key: str
    title: str
    state: str = RUNNING
    message: str = ""
    next_url: str = ""  # where the page goes once the task is over
    draft: dict[str, str] = field(default_factory=dict)  # what the form sent, to fill it again should the task fail
    documents: dict[str, DocumentProgress] = field(default_factory=dict)
    started: float = field(default_factory=time.monotonic)
    finished: float | None = None
    cancel_requested: threading.Event = field(default_factory=threading.Event)
    _lock: threading.Lock = field(default_factory=threading.Lock)

    @property
    def over(self) -> bool:
        return self.state != RUNNING

    def update(self, *, message: str | None = None, document: str | None = None, state: str | None = None,
               characters: int | None = None, note: str | None = None) -> None:
        """Progress from the working thread; once the task is over (cancelled), its documents stay as they ended."""
        with self._lock:
            if message is not None and self.state == RUNNING:
                self.message = message
            if document is not None and self.state == RUNNING:
                progress = self.documents.setdefault(document, DocumentProgress())
                if state is not None:
                    progress.state = state
                if characters is not None:
                    progress.characters = characters
                if note is not None:
                    progress.note = note

    def end(self, state: str, message: str) -> None:
        with self._lock:
            if self.state == RUNNING:
                self.state, self.message, self.finished = state, message, time.monotonic()
                for progress in self.documents.values():
                    if progress.state not in SETTLED and state in NOT_WRITTEN:
                        progress.state, progress.note = NOT_WRITTEN[state], ""

    def snapshot(self) -> dict[str, Any]:
        """What the progress page shows, as JSON-able values."""
        with self._lock:
            elapsed = (self.finished or time.monotonic()) - self.started
            return {
                "state": self.state,
                "message": self.message,
                "elapsed": round(elapsed, 1),
                "documents": {kind: {"state": progress.state, "characters": progress.characters, "note": progress.note}
                              for kind, progress in self.documents.items()},
                "next": self.next_url if self.over else "",
            }


class SessionBusy(Exception):
    """The session has a task running already."""

    def __init__(self, task: Task) -> None:
        super().__init__(task.title)
        self.task = task


# What a task's work is: it reports through the task and raises TaskFailed to end with a message.
Work = Callable[[Task], str]


class TaskFailed(Exception):
    """Ends a task with this message shown to the user (the work's own words for what went wrong)."""


class TaskRunner:
    def __init__(self) -> None:
        self._tasks: dict[str, Task] = {}
        self._lock = threading.Lock()
        self.stopping = threading.Event()

    def start(self, session_key: str, title: str, work: Work, next_url: str,
              draft: dict[str, str] | None = None) -> Task:
        """Runs `work` on a new thread; SessionBusy when the session has a task running."""
        with self._lock:
            running = self.running(session_key)
            if running is not None:
                raise SessionBusy(running)
            task = Task(secrets.token_urlsafe(12), session_key, title, next_url=next_url, draft=draft or {})
            self._tasks[task.task_id] = task
        threading.Thread(target=self._run, args=(task, work), name=f"task-{title}", daemon=True).start()
        return task

    def _run(self, task: Task, work: Work) -> None:
        try:
            message = work(task)
        except TaskFailed as failure:
            task.end(FAILED, str(failure))
        except Exception:  # a fault of ours: logged in full, shown as one line
            logger.exception("task %s failed", task.title)
            task.end(FAILED, "Something went wrong on the server; the details are in its log. "
                             "Every decision made until then is saved.")
        else:
            task.end(DONE, message)

    def get(self, task_id: str) -> Task | None:
        return self._tasks.get(task_id)

    def running(self, session_key: str) -> Task | None:
        return next((task for task in self._tasks.values()
                     if task.session_key == session_key and not task.over), None)

    def cancel(self, task: Task) -> None:
        """As Ctrl-C does at the terminal: the task is over at once; its model requests end as soon as
        they notice, and what it has saved stays saved."""
        task.cancel_requested.set()
        task.end(CANCELLED, CANCELLED_MESSAGE)

    def cancel_all(self) -> None:
        """At shutdown: every task is asked to stop; their threads do not hold up the exit."""
        self.stopping.set()
        for task in list(self._tasks.values()):
            task.cancel_requested.set()
