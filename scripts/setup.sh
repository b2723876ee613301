#!/usr/bin/env bash
# Installs what building and testing Lumaro needs on a Debian machine, skipping
# what is already there. "setup.sh native" leaves out the Windows cross-build and
# Wine; "setup.sh mta" installs only what the Postfix tests of lumaro-milter need.
# Postfix itself is installed only when CI=true or LUMARO_TEST_MTA=1: it replaces
# any other MTA on the machine.
set -euo pipefail

want_windows=1
[ "${1:-}" = "native" ] && want_windows=0

packages=(cmake ninja-build g++ make python3 libgtest-dev googletest libbenchmark-dev clang
          libclang-rt-dev libmilter-dev)
if [ "${1:-}" = "mta" ]; then
  packages=(libmilter-dev)
  want_windows=0
fi
if [ "$want_windows" = 1 ]; then
  packages+=(g++-mingw-w64-i686 wine wine32:i386)
fi
want_postfix=0
if [ "${CI:-}" = "true" ] || [ "${LUMARO_TEST_MTA:-}" = "1" ]; then
  want_postfix=1
  packages+=(postfix)
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
if [ "$want_postfix" = 1 ]; then
  # Without this answer the package configures and starts a system Postfix.
  echo "postfix postfix/main_mailer_type select No configuration" | $sudo debconf-set-selections
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
