"""Requirements-gathering pipeline: interviews a company about the AI agent it wants and writes the PRD and TRD."""

import functools


@functools.cache  # a lookup on disk, the same for the whole process
def installed_version() -> str:
    """The installed package's version, as the documents' header and `brevanta --version` show it."""
    from importlib.metadata import PackageNotFoundError, version

    try:
        return version("brevanta")
    except PackageNotFoundError:
        return "(not installed)"
