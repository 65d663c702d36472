#!/usr/bin/env bash
# The whole test suite, after `make build`: C++ unit tests, the Python tests in
# every interpreter's environment (the module installed there by pip), the
# packaging tests (pip install, pip wheel, sdist, the repaired manylinux wheel),
# the Python tests again against an ASan+UBSan build of the module, the core
# entry points from several threads under ThreadSanitizer, and every fuzz
# target for a short while. Runs every stage even when one fails; exits
# non-zero when any did.
set -u
source "$(dirname "$0")/common.sh"
cd "$here"
: "${PYTHON:?}" "${BUILD:=build}" "${JOBS:=2}"
export PYTHONDONTWRITEBYTECODE=1
failed=()
stage() { echo; echo "== $*"; }

run_pytest() {  # environment's python, pytest args...
  local py=$1; shift
  "$py" -m pytest -q -p no:cacheprovider "$@"
  local rc=$?
  [ $rc = 0 ] || [ $rc = 5 ]  # 5: nothing collected
}

stage "C++ unit tests"
ctest --test-dir "$BUILD" --output-on-failure -j "$JOBS" || failed+=("ctest")

for py in ${PYTHONS:-$PYTHON}; do
  stage "Python tests on $("$py" -V)"
  run_pytest "$(venv_python "$py")" tests/python --ignore=tests/python/test_packaging.py ||
    failed+=("pytest $(py_version "$py")")
done

# The packaging tests build the whole project several times over (pip install,
# pip wheel, sdist to wheel, the repaired wheel): once, on the first interpreter.
stage "Packaging on $("$PYTHON" -V)"
run_pytest "$(venv_python "$PYTHON")" tests/python/test_packaging.py || failed+=("packaging")

stage "Python tests against the ASan+UBSan module"
asan_venv="$here/.venvs/$(py_version "$PYTHON")-asan"
if bash scripts/venvs.sh "$PYTHON" "$asan_venv" &&
   install_module "$asan_venv/bin/python" "$here/build-asan" \
     -C cmake.build-type=RelWithDebInfo -C cmake.define.QUARN_SANITIZE=ON; then
  LD_PRELOAD="$(g++ -print-file-name=libasan.so)" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=0 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  QUARN_SANITIZED=1 run_pytest "$asan_venv/bin/python" tests/python \
    --ignore=tests/python/test_packaging.py || failed+=("pytest asan")
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
