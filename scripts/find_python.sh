#!/usr/bin/env bash
# Prints the path of a CPython 3.12+ interpreter: $PYTHON when given, else the
# first 3.12+ found among pyenv's builds and the PATH. `--all` prints every
# distinct minor version found (one path a line), for testing on each.
set -u
want_all=0; [ "${1:-}" = "--all" ] && want_all=1
ok() { "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' >/dev/null 2>&1; }
candidates=()
if [ -n "${PYTHON:-}" ]; then
  if ! ok "$PYTHON"; then
    echo "error: PYTHON=$PYTHON is not a CPython 3.12 or later interpreter" >&2
    exit 1
  fi
  candidates+=("$PYTHON")
fi
root=$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")
for d in $(ls -d "$root"/versions/3.1[2-9]* 2>/dev/null | sort -V); do candidates+=("$d/bin/python3"); done
for n in python3.12 python3.13 python3.14 python3; do p=$(command -v $n 2>/dev/null) && candidates+=("$p"); done
seen=""
for c in "${candidates[@]}"; do
  ok "$c" || continue
  v=$("$c" -c 'import sys; print("%d.%d" % sys.version_info[:2])')
  case " $seen " in *" $v "*) continue;; esac
  seen="$seen $v"
  if [ $want_all = 0 ]; then echo "$c"; exit 0; fi
  echo "$c"
done
[ -n "$seen" ] && exit 0
echo "error: no CPython 3.12 or later found; pass one with PYTHON=/path/to/python3.12" >&2
exit 1
