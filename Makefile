# make setup | build | check | test | demo | bench | fuzz
# PYTHON=/path/to/python3.12 picks the interpreter; by default the first CPython
# 3.12+ found (scripts/find_python.sh). The module is built for every other
# 3.12+ interpreter found as well, and the tests run on each.
PYTHON ?= $(shell scripts/find_python.sh 2>/dev/null)
EXTRA_PYTHONS := $(filter-out $(PYTHON),$(shell scripts/find_python.sh --all 2>/dev/null))
BUILD ?= build
FUZZ_SECONDS ?= 60
JOBS ?= $(shell nproc)

.PHONY: setup build check test demo bench fuzz clean check-python

setup:
	@bash scripts/setup.sh

check-python:
	@test -n "$(PYTHON)" || { echo "error: no CPython 3.12 or later found; run make with PYTHON=/path/to/python3.12" >&2; exit 1; }

build: setup check-python
	@cmake -S . -B $(BUILD) -G Ninja -DCMAKE_BUILD_TYPE=Release \
	  -DQUARN_PYTHON="$(PYTHON)" -DQUARN_EXTRA_PYTHONS="$(EXTRA_PYTHONS)" >/dev/null
	@cmake --build $(BUILD) -j $(JOBS)

# The quick loop while working: C++ tests and the Python tests on $(PYTHON)
# only; no other interpreters, no sanitizer build, no fuzzing, no pip builds
# (test_packaging builds the whole project again). `make test` runs them all.
check: build
	@ctest --test-dir $(BUILD) --output-on-failure -j $(JOBS)
	@PYTHONDONTWRITEBYTECODE=1 PYTHONPATH=$(BUILD):$(CURDIR)/.deps/python "$(PYTHON)" -m pytest -q \
	  -p no:cacheprovider tests/python --ignore=tests/python/test_packaging.py

test: build
	@PYTHON="$(PYTHON)" EXTRA_PYTHONS="$(EXTRA_PYTHONS)" BUILD="$(BUILD)" JOBS="$(JOBS)" bash scripts/test.sh

demo: build
	@PYTHONPATH=$(BUILD) "$(PYTHON)" examples/demo.py
	@bash examples/quarnc_demo.sh "$(BUILD)"

bench: build
	@PYTHON="$(PYTHON)" BUILD="$(BUILD)" bash scripts/bench.sh

fuzz: setup check-python
	@PYTHON="$(PYTHON)" FUZZ_SECONDS=$(FUZZ_SECONDS) JOBS="$(JOBS)" bash scripts/fuzz.sh

clean:
	rm -rf $(BUILD) build-asan build-tsan build-fuzz
