# The two commands of the README: `make test` and `make demo`.
PYTHON312 ?= $(firstword $(wildcard /root/.pyenv/versions/3.12.*/bin/python3.12) $(shell command -v python3.12 2>/dev/null))
VENV := .venv
PY := $(VENV)/bin/python
NATIVE_TESTS := tests/boundary tests/gapscope tests/waymark

.PHONY: test demo install bench sanitize clean

$(PY):
	@test -n "$(PYTHON312)" || { echo "Python 3.12 not found (looked in pyenv and PATH)"; exit 1; }
	$(PYTHON312) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

# Installed again only when something it is built from changed (the stamp is older);
# the persistent build tree keeps a reinstall incremental.
STAMP := $(VENV)/.installed
SOURCES := pyproject.toml CMakeLists.txt README.md $(shell find src -name __pycache__ -prune -o -type f -print)

$(STAMP): $(SOURCES) | $(PY)
	$(PY) -m pip install --quiet ".[test]"
	@touch $@

install: $(STAMP)

test: install
	$(PY) -m pytest -q

# The demo's sessions stay for a look afterwards; each demo starts from an empty home.
DEMO_HOME := $(CURDIR)/build/demo-home

demo: install
	@rm -rf "$(DEMO_HOME)" && mkdir -p "$(DEMO_HOME)"
	@CORVANE_HOME="$(DEMO_HOME)" $(VENV)/bin/brevanta analyze examples/interview.md \
	    --replay examples/replay --org acme-demo --out "$(DEMO_HOME)/documents" --yes; \
	status=$$?; echo "The demo's session home: $(DEMO_HOME)"; exit $$status

bench: install
	@status=0; for b in bench/bench_*.py; do echo "== $$b"; $(PY) $$b || status=1; done; exit $$status

# The native modules built with AddressSanitizer and UndefinedBehaviorSanitizer,
# and the native tests run against them.
sanitize: $(PY)
	$(PY) -m pip install --quiet ".[test]"
	tools/devbuild asan -DBREVANTA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	tools/run-sanitized build/asan $(NATIVE_TESTS)

clean:
	rm -rf build $(VENV)
