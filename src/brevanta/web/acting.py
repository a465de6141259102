"""How a POST on a session is answered: its form read with the CSRF check, the action taken, and a
refusal (the session in use, changed meanwhile, gone, or not saved) turned into a page that says why
and changes nothing."""

from __future__ import annotations

from collections.abc import Awaitable, Callable

from starlette.datastructures import FormData
from starlette.exceptions import HTTPException
from starlette.requests import Request
from starlette.responses import Response

from brevanta.errors import CommandError, EnvironmentProblem, InputProblem
from brevanta.pipeline import archive
from brevanta.pipeline.lock import SessionLocked
from brevanta.web import runs
from brevanta.web.advice import sentence
from brevanta.web.forms import read_form
from brevanta.web.intake import IntakeProblem
from brevanta.web.links import link
from brevanta.web.sessionfiles import NO_SUCH_SESSION, SessionRef, session_ref
from brevanta.web.templating import page


def refusal(request: Request, ref: SessionRef, message: str, status: int = 409) -> Response:
    return page(request, "error.html", status=status, status_code=status, detail=message,
                back=link(request, "report", ref))


Act = Callable[[Request, SessionRef, FormData], Awaitable[Response]]


def acting(act: Act) -> Callable[[Request], Awaitable[Response]]:
    """A POST on a session: its form read with the CSRF check, the refusals turned into pages."""

    async def route(request: Request) -> Response:
        ref = session_ref(request)
        form = await read_form(request)
        try:
            return await act(request, ref, form)
        except SessionLocked as locked:
            return refusal(request, ref, str(runs.phase_failure(locked)))
        except (runs.Refused, IntakeProblem) as refused:
            return refusal(request, ref, str(refused))
        except (runs.SessionGone, archive.NoSuchSessionFile):  # not there, or nothing a session can be
            raise HTTPException(404, NO_SUCH_SESSION)
        except CommandError as failed:  # the pipeline's own refusal: the input, or the machine
            status = 400 if isinstance(failed, InputProblem) else 500 if isinstance(failed, EnvironmentProblem) else 409
            return refusal(request, ref, sentence(failed), status=status)
        finally:
            await form.close()

    return route
