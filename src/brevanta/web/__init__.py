"""`brevanta serve`: the run in a browser, over the same sessions and pipeline as the command.

One file per concern: `server` (the command: bind, print the address, stop on Ctrl-C), `app` (the
application and its routes), `access` (the token, the cookie, the hosts allowed), `security` (the guard
every request passes and the headers every response carries), `forms` (reading a posted form with its
CSRF token), `listing` (the sessions of the store), `sessionfiles` (one session file, read safely),
`report` (an analysis as the report page shows it), `documents` (the written documents, rendered and
downloaded), `tasks` (model calls off the request path, cancellable), `events` (server-sent progress),
`runs`, `intake`, `walk`, `walkactions`, `decide` and `actions` (a run's phases on the pipeline),
`views` (the routes' pages), `templates/` and `static/` (HTML, CSS and a little JavaScript).
"""
