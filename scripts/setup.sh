#!/usr/bin/env bash
# Installs what building and testing Lumaro needs on a Debian machine, skipping
# what is already there.
#   setup.sh native   the native build, its tests and Debian package, the sanitizers
#                     and the fuzz targets
#   setup.sh i686     and the 32-bit Windows build and archive with 32-bit Wine to
#                     test them
#   setup.sh x64      and the 32-bit Windows build (checked without running it) with
#                     the 64-bit Windows build and 64-bit Wine to test that one
#   setup.sh          i686 where this machine runs 32-bit programs, x64 where it does not
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-auto}
if [ "$mode" = auto ]; then
  if scripts/can-run-32bit.sh; then mode=i686; else mode=x64; fi
fi

packages=(cmake ninja-build g++ make python3 libgtest-dev googletest libbenchmark-dev clang
          libclang-rt-dev)
# The Debian package: its dependencies (dpkg-shlibdeps, which CPack finds with
# file), its checks (lintian) and its manual page (man).
packages+=(dpkg-dev file lintian man-db)
# The Windows archive: strip-nondeterminism gives it the same bytes every time.
windows_packages=(g++-mingw-w64-i686 strip-nondeterminism)
case "$mode" in
  native) ;;
  i686) packages+=("${windows_packages[@]}" wine wine32:i386) ;;
  x64) packages+=("${windows_packages[@]}" g++-mingw-w64-x86-64 wine wine64) ;;
  *) echo "setup.sh: unknown mode '$mode' (native, i686 or x64)" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo=""
[ "$(id -u)" -ne 0 ] && sudo="sudo"
echo "Installing: ${missing[*]}"
if [ "$mode" = i686 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
