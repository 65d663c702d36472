#!/usr/bin/env bash
# Installs everything the build, the tests and the benchmarks need, on Debian 12
# or Debian 13, as root: Debian's packages for the C++ side, and one virtual
# environment per CPython 3.12+ found (.venvs/X.Y) holding the Python tools at
# the versions pinned in constraints.txt. Idempotent: quiet when all is there.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
export DEBIAN_FRONTEND=noninteractive

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }
available() { apt-cache show "$1" >/dev/null 2>&1; }

# Names valid on both releases. The sanitizer and libFuzzer runtime belongs to
# the clang that `clang` is, so it is chosen once clang is in.
debian_packages=(
  cmake ninja-build g++ clang pkg-config ccache
  libicu-dev nlohmann-json3-dev libgtest-dev libgmock-dev libbenchmark-dev
  b3sum lua5.4 iproute2
)

updated=0
apt_install() {
  local missing=()
  for p in "$@"; do installed "$p" || missing+=("$p"); done
  [ ${#missing[@]} -gt 0 ] || return 0
  echo "setup: installing ${missing[*]}"
  if [ $updated = 0 ]; then apt-get update -qq; updated=1; fi
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}

apt_install "${debian_packages[@]}"

clang_major=$(clang -dumpversion | cut -d. -f1)
apt_install "libclang-rt-${clang_major}-dev"

# BLAKE3: Debian 13 packages the C library itself; Debian 12 only the
# reference C sources (with the SIMD kernels), inside the Rust crate's source
# package. cmake/dependencies.cmake takes whichever is installed.
if ! installed libblake3-dev && ! installed librust-blake3-dev; then
  if [ $updated = 0 ]; then apt-get update -qq; updated=1; fi
  if available libblake3-dev; then apt_install libblake3-dev; else apt_install librust-blake3-dev; fi
fi

bash "$here/scripts/venvs.sh"
