"""The wheel tests need the wheels that `make wheel` builds: `make wheel-test` runs them."""

import os

collect_ignore = [] if os.environ.get("BREVANTA_WHEELHOUSE") else ["test_wheel.py"]
