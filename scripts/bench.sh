#!/usr/bin/env bash
# Every benchmark: the Google Benchmark binaries, then the Python-level ones
# that compare the module with its peers in the same run.
set -u
cd "$(dirname "$0")/.."
: "${PYTHON:?}" "${BUILD:=build}"
for b in "$BUILD"/bench/bench_*; do
  [ -x "$b" ] || continue
  echo "== $(basename "$b")"
  "$b" --benchmark_min_time=0.2 || exit 1
done
for b in bench/bench_*.py; do
  [ -f "$b" ] || continue
  echo "== $(basename "$b")"
  PYTHONPATH="$BUILD" "$PYTHON" "$b" || exit 1
done
