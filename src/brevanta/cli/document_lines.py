"""What the command shows while the documents are written: a line when each request goes out and when
each document is written, and on the spinner how much of each reply has come and any wait."""

from __future__ import annotations

from brevanta import display
from brevanta.cli import documents
from brevanta.cli.terminal import Spinner, count
from brevanta.pipeline import rendering
from brevanta.pipeline.rendering import DocumentEvent
from brevanta.pipeline.usage import request_tokens, usage_record


class DocumentLines:
    """Shows DocumentEvents; called on the thread of each document's request."""

    def __init__(self, source: str, spinner: Spinner) -> None:
        self._source = source
        self._spinner = spinner
        self._states: dict[str, str] = {}  # document name -> what the spinner says of it

    def show(self, event: DocumentEvent) -> None:
        name = documents.short_name(event.kind)
        if event.stage == rendering.STARTED:
            self._spinner.above(lambda: display.info(f"Writing the {name} ({self._source})."))
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
        written, completion = event.written, event.completion
        if written is None or completion is None:
            return
        print(display.dim(f"  Tokens: {request_tokens(usage_record(event.kind, completion.model, completion))}"))
        if written.added:
            display.warning(f"The {name} left out {count(len(written.added), 'bypassed gap')}; "
                            f"added under \"{documents.KNOWN_GAPS_HEADING}\": {', '.join(written.added)}")
        if written.backup is not None:
            display.info(f"Kept the earlier {written.path.name} as {written.backup.name}.")
        display.success(f"Wrote {written.path}")
