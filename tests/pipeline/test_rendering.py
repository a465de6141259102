"""The two documents' requests: side by side, a reply that is no document does not keep the other from
being asked for and written; a request the service never answered, or any failure when they are asked
for one after the other, ends the run before the next one."""

import pytest

from brevanta.pipeline.assembly import DocumentRefused
from brevanta.pipeline.models import Completion
from brevanta.pipeline.rendering import Rendering


class RecordingAccess:
    """Answers each request at once, without streaming (as a replayed run does); `fail` raises instead."""

    def __init__(self, fail: dict[str, BaseException]) -> None:
        self.fail = fail
        self.asked: list[str] = []

    def request(self, content, *, operation, **_):
        self.asked.append(operation)
        if operation in self.fail:
            raise self.fail[operation]
        return Completion(text=f"the {operation}", stop_reason="end_turn", input_tokens=1, output_tokens=1)


def refuse_prd(kind, completion):
    if kind == "prd":
        raise DocumentRefused(["Goals"], 10)
    return kind


@pytest.mark.parametrize("parallel, fail, finish, asked, saved, raised", [
    (True, {}, refuse_prd, ["prd", "trd"], ["trd"], DocumentRefused),
    (False, {}, refuse_prd, ["prd"], [], DocumentRefused),
    (True, {"prd": ConnectionError("refused")}, lambda kind, completion: kind, ["prd"], [], ConnectionError),
], ids=["refused reply", "refused reply, one after the other", "no answer"])
def test_the_second_document_is_asked_for_once_the_first_was_answered(parallel, fail, finish, asked, saved, raised):
    access = RecordingAccess(fail)
    recorded: list[str] = []
    writing = Rendering(access, content=lambda kind: [], finish=finish, saved=recorded.append,
                        progress=lambda event: None)
    with pytest.raises(raised):
        writing.run(["prd", "trd"], parallel=parallel)
    assert (access.asked, recorded) == (asked, saved)
