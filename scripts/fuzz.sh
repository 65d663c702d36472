#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan+UBSan) and runs each for
# FUZZ_SECONDS, starting from its seed corpus in fuzz/corpus/<target>/.
set -u
cd "$(dirname "$0")/.."
: "${PYTHON:?}" "${FUZZ_SECONDS:=60}" "${JOBS:=2}"
cmake -S . -B build-fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ -DQUARN_FUZZ=ON \
  -DQUARN_TESTS=OFF -DQUARN_BENCH=OFF -DQUARN_PYTHON="$PYTHON" >/dev/null || exit 1
targets=$(ls fuzz/fuzz_*.cpp 2>/dev/null | xargs -r -n1 basename | sed 's/\.cpp$//')
[ -n "$targets" ] || { echo "no fuzz targets yet"; exit 0; }
cmake --build build-fuzz -j "$JOBS" --target $targets || exit 1
status=0
for t in $targets; do
  work=build-fuzz/corpus-$t
  mkdir -p "$work"
  seeds=fuzz/corpus/$t
  [ -d "$seeds" ] || seeds=""
  echo "fuzzing $t for ${FUZZ_SECONDS}s"
  if ! ./build-fuzz/fuzz/$t -max_total_time="$FUZZ_SECONDS" -print_final_stats=0 \
        -timeout=20 -rss_limit_mb=4096 "$work" $seeds >build-fuzz/$t.log 2>&1; then
    echo "fuzz target $t FAILED:"; tail -60 build-fuzz/$t.log; status=1
  else
    grep -E '^#[0-9]+.*(DONE|pulse)' build-fuzz/$t.log | tail -1
  fi
done
exit $status
