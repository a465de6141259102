"""What the command tells the user to do after a failure: the pipeline's hint, then its action in the
command's own words (a flag to pass, the command to run again)."""

from __future__ import annotations

from brevanta.errors import MODEL_ACCESS, OTHER_OUTPUT, RESUME_DOCUMENTS, RETRY, CommandError

ADVICE = {
    RETRY: "Fix the cause and run the command again: it goes on from the last saved step.",
    RESUME_DOCUMENTS: "Run the command again: it resumes at the documents.",
    OTHER_OUTPUT: "Pass --out DIR with a directory you can write to, or free the path, then run the command again.",
    MODEL_ACCESS: "Set ANTHROPIC_API_KEY, set BREVANTA_RELAY_URL, or pass --replay DIR.",
}


def what_to_do(error: CommandError) -> str | None:
    """The line after `brevanta: ...`: the hint and the action, or None when there is neither."""
    words = [part for part in (error.hint, ADVICE.get(error.action or "")) if part]
    return " ".join(words) or None
