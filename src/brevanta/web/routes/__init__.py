"""The application's routes, one module per resource, each with its route table (`ROUTES`): `sessions`
(the listing, a new analysis, restore, reopen), `report` (the report page with the gap walk: decisions,
revisits, the way forward, attachments), `documents` (the written documents and their downloads) and
`tasks` (a model call's progress page, its events and its Cancel). Every route has a name, and every
link is built from it (`brevanta.web.links`)."""
