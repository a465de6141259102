"""What the command shows while the documents are written: a line when each request goes out and when
each document is written, and on the spinner how much of each reply has come and any wait."""

from __future__ import annotations

from brevanta import display
from brevanta.pipeline import documents
from brevanta.cli.terminal import Spinner, count
from brevanta.pipeline import rendering
from brevanta.pipeline.rendering import DocumentEvent
from brevanta.pipeline.traceability import REQUIREMENTS_HEADING, summary
from brevanta.pipeline.usage import request_tokens, usage_record
from brevanta.untrusted import for_terminal


class DocumentLines:
    """Shows DocumentEvents; called on the thread of each document's request."""

    def __init__(self, source: str, spinner: Spinner) -> None:
        self._source = source
        self._spinner = spinner
        self._states: dict[str, str] = {}  # document name -> what the spinner says of it

    def show(self, event: DocumentEvent) -> None:
        name = documents.short_name(event.kind)
        if event.stage == rendering.STARTED:
            self._spinner.above(lambda: display.info(f"Writing the {name} ({for_terminal(self._source)})."))
            self._state(name, "asked")
        elif event.stage == rendering.RECEIVED:
            self._state(name, f"{event.characters:,} characters")
        elif event.stage == rendering.WAITING:
            self._state(name, event.note)
        elif event.stage == rendering.WRITTEN:
            self._state(name, "written")
            self._spinner.above(lambda: self._written(name, event))

    def _state(self, name: str, state: str) -> None:
        self._states[name] = state
        self._spinner.note("; ".join(f"{name} {state}" for name, state in self._states.items()))

    @staticmethod
    def _written(name: str, event: DocumentEvent) -> None:
        finished, completion = event.written, event.completion
        if finished is None or completion is None:
            return
        print(display.dim(f"  Tokens: {request_tokens(usage_record(event.kind, completion.model, completion))}"))
        say_finished(finished)


def say_finished(finished: documents.Finished) -> None:
    """What was done to one document on its way to disk, and where each of its files went."""
    name, done = documents.short_name(finished.kind), finished.assembled
    if done.missing_sections:
        display.warning(f"The {name} reply left out {count(len(done.missing_sections), 'section')}; each is added "
                        f"with a note that the model did not write it: {for_terminal(', '.join(done.missing_sections))}")
    if done.gaps_added:
        display.warning(f"The {name} left out {count(len(done.gaps_added), 'bypassed gap')}; "
                        f"added under \"{documents.KNOWN_GAPS_HEADING}\": {for_terminal(', '.join(done.gaps_added))}")
    if done.characters_removed:
        display.warning(f"Removed {count(done.characters_removed, 'control or invalid character')} "
                        f"from the {name}.")
    display.info(f"{count(len(done.unsourced), 'figure')} to verify in the {name} "
                 f"(not found in the interview, the answers or the attachments).")
    if done.trace is not None and done.trace.no_citations:
        display.warning(f"The {name} reply carried no citations (an older model, or a relay that strips them): "
                        f"every requirement is listed under \"{REQUIREMENTS_HEADING}\".")
    elif finished.checked.dropped:
        display.warning(f"Dropped {count(finished.checked.dropped, 'citation')} of the {name} reply: the cited "
                        f"words are not what the documents sent hold at those places.")
    for path, backup in finished.files:
        if backup is not None:
            display.info(f"Kept the earlier {for_terminal(path.name)} as {for_terminal(backup.name)}.")
        display.success(f"Wrote {for_terminal(path)}")


def say_traced(run_replies: dict[str, dict[str, object]], kinds: list[str]) -> None:
    """The closing lines of a run: for each document it wrote, what its checks counted."""
    for kind in kinds:
        counts = run_replies.get(kind, {}).get("traceability")
        if isinstance(counts, dict):
            display.info(f"Traceability of the {summary(documents.short_name(kind), counts)}.")
