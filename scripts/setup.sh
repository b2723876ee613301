#!/usr/bin/env bash
# Installs what building and testing Lumaro needs on a Debian machine, skipping
# what is already there. "setup.sh native" leaves out the Windows cross-build and Wine.
set -euo pipefail

want_windows=1
[ "${1:-}" = "native" ] && want_windows=0

packages=(cmake ninja-build g++ make python3 libgtest-dev googletest libbenchmark-dev clang
          libclang-rt-dev)
if [ "$want_windows" = 1 ]; then
  packages+=(g++-mingw-w64-i686 wine wine32:i386)
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
