#!/usr/bin/env bash
# The C++ libraries, their tests, quarnc and the benchmarks in $BUILD (CMake +
# Ninja, Release); then the module, built by pip as a user's install is, into
# the environment of every interpreter in $PYTHONS (.venvs/X.Y).
set -euo pipefail
source "$(dirname "$0")/common.sh"
: "${PYTHON:?}" "${BUILD:=build}"
cd "$here"
cmake -S . -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=Release -DQUARN_PYTHON="$PYTHON" >/dev/null
cmake --build "$BUILD"
for py in ${PYTHONS:-$PYTHON}; do
  v=$(py_version "$py")
  install_module "$(venv_python "$py")" "$BUILD/pip-$v"
done
