"""`brevanta serve`: the run in a browser, over the same sessions and pipeline as the command.

The routes, one module per resource in `routes/`: `sessions` (the listing, a new analysis, restore,
reopen), `report` (the report page and its gap walk), `documents` (the written documents, their
downloads) and `tasks` (a model call's progress, its events, its Cancel); each route is named, and
every link is built from the name (`links`).

Beside them, one file per concern: `server` (the command: bind, print the address, stop on Ctrl-C),
`app` (the application: the route tables, the guard, the error page), `access` (the token, the
cookie, the hosts allowed), `security` (the guard every request passes and the headers every response
carries), `forms` (reading a posted form with its CSRF token), `limits` (the upload limit), `acting`
(a POST on a session and its refusals), `intake` (an interview or document pasted or uploaded),
`listing` (the sessions of the store), `sessionfiles` (one session file, read safely), `report` and
`walk` (an analysis and its decisions as the report page shows them), `documents` (the written
documents, rendered and downloaded), `runs` and `decide` (a run's phases on the pipeline), `tasks`
(model calls off the request path, cancellable), `events` (server-sent progress), `templating`,
`templates/` and `static/` (HTML, CSS and a little JavaScript).
"""
