#!/usr/bin/env bash
# Installs what building and testing Lumaro needs on a Debian machine, skipping
# what is already there.
#   setup.sh native   the native build (with lumaro-milter), its tests and Debian
#                     package, the sanitizers and the fuzz targets
#   setup.sh i686     and the 32-bit Windows build and archive with 32-bit Wine to
#                     test them
#   setup.sh x64      and the 32-bit Windows build (checked without running it) with
#                     the 64-bit Windows build and 64-bit Wine to test that one
#   setup.sh mta      only what the Postfix tests of lumaro-milter need (with
#                     Postfix, OpenDKIM and python3-dkim for the DKIM recipe)
#   setup.sh bench    the native build and GMime 3, the peer that the job benchmark
#                     measures beside us (the tests never need it)
#   setup.sh          i686 where this machine runs 32-bit programs, x64 where it does not
# Postfix itself, with OpenDKIM beside it, is installed only when CI=true or
# LUMARO_TEST_MTA=1: it replaces any other MTA on the machine.
set -euo pipefail
cd "$(dirname "$0")/.."

mode=${1:-auto}
if [ "$mode" = auto ]; then
  if scripts/can-run-32bit.sh; then mode=i686; else mode=x64; fi
fi

packages=(cmake ninja-build g++ make python3 libgtest-dev googletest libbenchmark-dev clang
          libclang-rt-dev libmilter-dev)
# The Debian package: its dependencies (dpkg-shlibdeps, which CPack finds with
# file), its checks (lintian), its manual pages (man), and systemd, whose
# systemd-sysusers the postinst runs to make the milter's user and whose
# systemd-analyze checks the milter's unit.
packages+=(dpkg-dev file lintian man-db systemd)
# The Windows archive: strip-nondeterminism gives it the same bytes every time.
windows_packages=(g++-mingw-w64-i686 strip-nondeterminism)
case "$mode" in
  native) ;;
  i686) packages+=("${windows_packages[@]}" wine wine32:i386) ;;
  x64) packages+=("${windows_packages[@]}" g++-mingw-w64-x86-64 wine wine64) ;;
  mta) packages=(libmilter-dev) ;;
  bench) packages+=(pkg-config libgmime-3.0-dev) ;;
  *) echo "setup.sh: unknown mode '$mode' (native, i686, x64, mta or bench)" >&2; exit 2 ;;
esac
want_postfix=0
if [ "${CI:-}" = "true" ] || [ "${LUMARO_TEST_MTA:-}" = "1" ]; then
  want_postfix=1
  # The DKIM recipe is checked with Debian's OpenDKIM (a verifier and a signer
  # beside the milter); python3-dkim signs a message offline, as a sender's
  # server would have.
  packages+=(postfix opendkim opendkim-tools python3-dkim)
fi

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
if [ "$want_postfix" = 1 ]; then
  # Without this answer the package configures and starts a system Postfix.
  echo "postfix postfix/main_mailer_type select No configuration" | $sudo debconf-set-selections
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
