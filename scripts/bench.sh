#!/usr/bin/env bash
# Every benchmark: the Google Benchmark binaries, then the Python-level ones
# that compare the module, as pip installed it into the environment, with its
# peers in the same run.
set -u
cd "$(dirname "$0")/.."
: "${VENV_PYTHON:?}" "${BUILD:=build}"
for b in "$BUILD"/bench/bench_*; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.2 || exit 1
done
for b in bench/bench_*.py; do
  [ -f "$b" ] || continue
  echo "== $(basename "$b")"
  "$VENV_PYTHON" "$b" || exit 1
done
