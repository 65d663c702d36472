#!/usr/bin/env bash
# The whole test suite, after `make build`: C++ unit tests, the Python tests on
# every interpreter built for, the Python tests again against an ASan+UBSan
# build of the module, the core entry points from several threads under
# ThreadSanitizer, and every fuzz target for a short while. Runs every
# stage even when one fails; exits non-zero when any did.
set -u
cd "$(dirname "$0")/.."
: "${PYTHON:?}" "${BUILD:=build}" "${JOBS:=2}"
export PYTHONDONTWRITEBYTECODE=1
failed=()
stage() { echo; echo "== $*"; }

stage "C++ unit tests"
ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS" || failed+=("ctest")

run_pytest() {  # interpreter, module folder, extra pytest args...
  local py=$1 dir=$2; shift 2
  PYTHONPATH="$dir:$PWD/.deps/python" "$py" -m pytest -q -p no:cacheprovider tests/python "$@"
  local rc=$?
  [ $rc = 0 ] || [ $rc = 5 ]  # 5: nothing collected
}

stage "Python tests on $("$PYTHON" -V)"
run_pytest "$PYTHON" "$BUILD" || failed+=("pytest $PYTHON")
for extra in ${EXTRA_PYTHONS:-}; do
  v=$("$extra" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  stage "Python tests on Python $v"
  run_pytest "$extra" "$BUILD/python$v" || failed+=("pytest $extra")
done

stage "Python tests against the ASan+UBSan module"
if cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARN_SANITIZE=ON \
     -DQUARN_TESTS=OFF -DQUARN_BENCH=OFF -DQUARN_PYTHON="$PYTHON" >/dev/null &&
   cmake --build build-asan -j "$JOBS" --target quarn_py_module; then
  LD_PRELOAD="$(g++ -print-file-name=libasan.so)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  QUARN_SANITIZED=1 run_pytest "$PYTHON" build-asan || failed+=("pytest asan")
else
  failed+=("asan build")
fi

stage "Entry points from 4 threads at once under ThreadSanitizer"
# Only the stress program is built with TSan: the libraries it links and
# nothing else.
if cmake -S . -B build-tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUARN_TSAN=ON \
     -DQUARN_TESTS=OFF -DQUARN_BENCH=OFF -DQUARN_PYTHON="$PYTHON" >/dev/null &&
   cmake --build build-tsan -j "$JOBS" --target entry_points_stress; then
  TSAN_OPTIONS=halt_on_error=1:exitcode=66 build-tsan/tests/stress/entry_points_stress 4 2 ||
    failed+=("tsan stress")
else
  failed+=("tsan build")
fi

stage "Fuzz targets, ${FUZZ_SECONDS:=30} s each"
FUZZ_SECONDS=$FUZZ_SECONDS bash scripts/fuzz.sh || failed+=("fuzz")

echo
if [ ${#failed[@]} -gt 0 ]; then
  echo "FAILED: ${failed[*]}"
  exit 1
fi
echo "all test stages passed"
