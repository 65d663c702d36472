#!/usr/bin/env bash
# One virtual environment per CPython 3.12+ found, in .venvs/X.Y, holding the
# tools that pyproject.toml lists (the build backend and the test and bench
# groups) at the versions in constraints.txt. `venvs.sh PYTHON DIR` makes one
# such environment for PYTHON in DIR. A stamp of the pins keeps a second run
# quiet; a changed pin reinstalls.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
export PIP_CONSTRAINT="$here/constraints.txt" PIP_DISABLE_PIP_VERSION_CHECK=1

make_venv() {  # base interpreter, environment folder
  local base=$1 dir=$2
  local tools stamp
  tools=$("$base" - "$here/pyproject.toml" <<'PY'
import sys, tomllib
project = tomllib.load(open(sys.argv[1], "rb"))
extras = project["project"]["optional-dependencies"]
print(" ".join(["pip"] + project["build-system"]["requires"] + extras["test"] + extras["bench"]))
PY
)
  stamp=$( { echo "$tools"; cat "$here/constraints.txt"; "$base" -VV; } | sha256sum | cut -c1-16)
  [ -x "$dir/bin/python" ] && [ "$(cat "$dir/.tools-stamp" 2>/dev/null)" = "$stamp" ] && return 0
  echo "setup: Python tools for $("$base" -V) in ${dir#$here/}"
  [ -x "$dir/bin/python" ] || "$base" -m venv "$dir"
  # shellcheck disable=SC2086  # one word a requirement
  "$dir/bin/python" -m pip install -q $tools
  echo "$stamp" > "$dir/.tools-stamp"
}

if [ $# = 2 ]; then
  make_venv "$1" "$2"
  exit 0
fi
for base in $(bash "$here/scripts/find_python.sh" --all); do
  v=$("$base" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  make_venv "$base" "$here/.venvs/$v"
done
