#!/usr/bin/env bash
# Installs what building and testing Lumaro needs on a Debian machine, skipping
# what is already there. "setup.sh native" leaves out the Windows cross-build and Wine;
# "setup.sh bench" adds GMime 3, the peer that the job benchmark measures beside us
# (the tests never need it).
set -euo pipefail

want_windows=1
want_bench=0
[ "${1:-}" = "native" ] && want_windows=0
[ "${1:-}" = "bench" ] && want_bench=1

packages=(cmake ninja-build g++ make python3 libgtest-dev googletest libbenchmark-dev clang
          libclang-rt-dev)
if [ "$want_windows" = 1 ]; then
  packages+=(g++-mingw-w64-i686 wine wine32:i386)
fi
if [ "$want_bench" = 1 ]; then
  packages+=(pkg-config libgmime-3.0-dev)
fi

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
if [ "$want_windows" = 1 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
