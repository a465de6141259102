"""Fixtures shared by every test folder."""
from support.anthropic_stub import direct_sdk_env, messages_server  # noqa: F401

# The files whose single tests take longest (a browser, terminals, child processes, paced model replies):
# run first, so that the workers end together instead of one finishing a long test alone.
LONGEST_FIRST = [
    "web/test_web_run.py", "cli/test_document_costs.py", "cli/test_model_waits.py", "cli/test_sessions.py",
    "cli/test_session_trust.py", "waymark/test_leaks.py", "gapscope/test_result.py", "host/test_typing.py",
    "web/test_web_serve.py", "web/test_web_browser.py", "cli/test_documents.py", "cli/test_transports.py",
]


def pytest_collection_modifyitems(items):
    def rank(item):
        path = item.nodeid.split("::", 1)[0].removeprefix("tests/")
        return LONGEST_FIRST.index(path) if path in LONGEST_FIRST else len(LONGEST_FIRST)

    items.sort(key=rank)  # stable: each file's own order is kept
