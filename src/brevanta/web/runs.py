"""The run's phases as the browser starts them, each on a task's thread: every phase, check and
message is the pipeline's; this file only connects them to a task's progress."""

from __future__ import annotations

from brevanta.cli.errors import CommandError
from brevanta.web.tasks import Task, TaskFailed


def analyse_new(task: Task, org_id: str, interview: str, interview_name: str) -> str:
    """A new session of `org_id` with the analysis of `interview`; returns the session file's path."""
    from brevanta.cli import models
    from brevanta.cli.session import Run, keep_analysis, save_session

    task.update(message="Analysing the interview (round 1).")
    run = Run(interview_name, org_id, 1)
    try:
        access = models.open_access(None, None)
        result = access.analyze(interview, run.round)
        if task.cancel_requested.is_set():
            raise TaskFailed("Cancelled: the analysis was not saved.")
        keep_analysis(run, result)
        save_session(run, result)
    except CommandError as exc:
        raise TaskFailed(f"{exc.message[:1].upper()}{exc.message[1:]}.") from None
    return str(run.session_file)
