#!/usr/bin/env bash
# Installs everything the build, the tests and the benchmarks need on a Debian
# bookworm machine. Idempotent: quiet when everything is already present.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
deps="$here/.deps"

debian_packages=(
  cmake ninja-build g++ clang libclang-rt-14-dev pkg-config
  libicu-dev nlohmann-json3-dev libgtest-dev libgmock-dev libbenchmark-dev
  b3sum lua5.4 python3-mypy
)
# Pure-Python test packages, unpacked privately so they serve any interpreter.
python_debs=(
  python3-pytest python3-hypothesis python3-attr python3-pluggy python3-iniconfig
  python3-packaging python3-py python3-sortedcontainers python3-more-itertools
  python3-dask python3-fsspec python3-toolz python3-click python3-cloudpickle
  python3-partd python3-locket python3-yaml
)

missing=()
for p in "${debian_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi

need_download=0
[ -f "$deps/blake3/c/blake3.h" ] || need_download=1
[ -d "$deps/python/_pytest" ] || need_download=1
[ -d "$deps/python/dask" ] || need_download=1
if [ $need_download = 1 ]; then
  echo "setup: fetching BLAKE3 sources and Python test packages"
  tmp=$(mktemp -d)
  trap 'rm -rf "$tmp"' EXIT
  (cd "$tmp" && { apt-get download -qq librust-blake3-dev "${python_debs[@]}" 2>/dev/null \
       || { apt-get update -qq && apt-get download -qq librust-blake3-dev "${python_debs[@]}"; }; })
  mkdir -p "$tmp/x"
  for d in "$tmp"/*.deb; do dpkg -x "$d" "$tmp/x"; done
  rm -rf "$deps/blake3" "$deps/python"
  mkdir -p "$deps/blake3" "$deps/python"
  cp -r "$tmp"/x/usr/share/cargo/registry/blake3-*/c "$deps/blake3/"
  cp -r "$tmp"/x/usr/lib/python3/dist-packages/. "$deps/python/"
  # The compiled accelerators belong to Debian's own interpreter; the pure-Python
  # fallbacks serve every other one.
  find "$deps/python" -name '*.so' -delete
fi
