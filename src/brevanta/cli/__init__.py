"""The `brevanta` command: the command line's front end, from an interview file to the analysis,
the user's decisions and the documents.

    brevanta analyze INTERVIEW_FILE [--org ORG_ID] [--round N] [--out DIR] [--replay DIR] [--yes] [--new] [-v]
    brevanta sessions [INTERVIEW_FILE] [--org ORG_ID] [--restore FILE]
    brevanta render [INTERVIEW_FILE | --org ORG_ID] [--only prd|trd] [--format md,html,docx] [--out DIR]
    brevanta batch analyze PATH... | wait [BATCH_ID] | documents | list | retry BATCH_ID | cancel BATCH_ID

One file per concern: `args` (the command line), `run` (the run and its phases as the terminal takes
them), `session` (choosing the session to resume), `document_lines` (what is shown while the documents
are written), `sessions` (the sessions command), `render` (a session's documents written again), `batch` (many
interviews at once on the service's batch engine),
`review` (revisiting decisions), `injection` (a run in-process with its streams and environment
injected), `terminal` (questions, answers, spinner). `brevanta.command` starts the command and hands
`serve` to the browser's front end, `brevanta.web`.
"""
