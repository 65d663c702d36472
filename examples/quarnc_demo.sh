#!/usr/bin/env bash
# quarnc on the sample program and on one with an error: check, build, verify,
# dis, and check --json. Run by `make demo` after examples/demo.py, from the
# repository root; the build folder is the first argument (default build).
set -u
quarnc=$(cd "${1:-build}" && pwd)/quarnc || exit 2
examples=$(dirname "$0")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cp "$examples/triage.quarn" "$examples/broken.quarn" "$work"/
cd "$work"

show() {  # the command as typed, its output, its exit status
  echo "\$ quarnc $*"
  "$quarnc" "$@"
  echo "[exit status $?]"
  echo
}

echo
echo "quarnc"
echo "------"
show --version
show check triage.quarn
show build triage.quarn
echo "\$ ls -l triage.qbc"; ls -l triage.qbc | awk '{print $1, $5, $NF}'; echo
show verify triage.qbc
show dis triage.qbc
show check broken.quarn
show check --json broken.quarn triage.quarn
show build broken.quarn
