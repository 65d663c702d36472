# make setup | build | check | test | demo | bench | wheel | fuzz
# PYTHON=/path/to/python3.12 picks the interpreter; by default the first CPython
# 3.12+ found (scripts/find_python.sh). Every 3.12+ interpreter found gets a
# virtual environment in .venvs/X.Y with the Python tools and the module
# installed by pip, and the tests run in each.
PYTHON ?= $(shell scripts/find_python.sh 2>/dev/null)
PYTHONS := $(PYTHON) $(filter-out $(PYTHON),$(shell scripts/find_python.sh --all 2>/dev/null))
PY_VERSION = $(shell "$(PYTHON)" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
VENV_PYTHON = $(CURDIR)/.venvs/$(PY_VERSION)/bin/python
BUILD ?= build
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc)

.PHONY: setup build check test demo bench wheel fuzz clean check-python

setup:
	@bash scripts/setup.sh

check-python:
	@test -n "$(PYTHON)" || { echo "error: no CPython 3.12 or later found; run make with PYTHON=/path/to/python3.12" >&2; exit 1; }

# The C++ libraries, their tests, quarnc and the benchmarks in $(BUILD); then
# the module, built by pip as a user's install would, into every environment.
build: setup check-python
	@PYTHON="$(PYTHON)" PYTHONS="$(PYTHONS)" BUILD="$(BUILD)" JOBS="$(JOBS)" bash scripts/build.sh

# The quick loop while working: C++ tests and the Python tests in the first
# environment only; no other interpreters, no sanitizer build, no fuzzing, no
# packaging (which builds the whole project again). `make test` runs them all.
check: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	@PYTHONDONTWRITEBYTECODE=1 "$(VENV_PYTHON)" -m pytest -q -p no:cacheprovider tests/python \
	  --ignore=tests/python/test_packaging.py

test: build
	@PYTHON="$(PYTHON)" PYTHONS="$(PYTHONS)" BUILD="$(BUILD)" JOBS="$(JOBS)" bash scripts/test.sh

demo: build
	@"$(VENV_PYTHON)" examples/demo.py
	@bash examples/quarnc_demo.sh "$(BUILD)"

bench: build
	@VENV_PYTHON="$(VENV_PYTHON)" BUILD="$(BUILD)" bash scripts/bench.sh

# A wheel for $(PYTHON), repaired by auditwheel to a manylinux tag, in dist/.
wheel: setup check-python
	@bash scripts/wheel.sh "$(PYTHON)" dist

fuzz: setup check-python
	@PYTHON="$(PYTHON)" FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS="$(JOBS)" bash scripts/fuzz.sh

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz dist
