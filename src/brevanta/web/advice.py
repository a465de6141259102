"""What a page tells the user to do after a failure: the pipeline's message and hint, then its action
in the browser's own words (a button to press again, what to change before starting the server)."""

from __future__ import annotations

from brevanta.errors import MODEL_ACCESS, OTHER_OUTPUT, RESUME_DOCUMENTS, RETRY, CommandError

ADVICE = {
    RETRY: "Fix the cause and try again: nothing saved was lost.",
    RESUME_DOCUMENTS: "Press \u201cWrite the PRD and TRD\u201d again: only the documents still missing are asked for.",
    OTHER_OUTPUT: "Free the path or make the folder writable, then write the documents again.",
    MODEL_ACCESS: "Stop the server, set ANTHROPIC_API_KEY or BREVANTA_RELAY_URL, and start `brevanta serve` again.",
}


def sentence(error: CommandError) -> str:
    """The failure as the page says it: the message as a sentence, the hint, the action."""
    message = f"{error.message[:1].upper()}{error.message[1:]}."
    return " ".join(part for part in (message, error.hint, ADVICE.get(error.action or "")) if part)
