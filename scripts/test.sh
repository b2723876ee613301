#!/usr/bin/env bash
# Builds Lumaro and passes every test: native (with the Debian package), under
# AddressSanitizer and UndefinedBehaviorSanitizer, the Windows build and its zip
# under Wine, a short run of every fuzz target, and lumaro-milter through a real
# Postfix when asked (CI=true or LUMARO_TEST_MTA=1: installing Postfix replaces any
# other MTA on the machine). Build folders go under build/.
#
# The Windows tests take one of two paths. Where this machine runs 32-bit
# programs, the i686 build (the released lumaro.dll) runs its tests under 32-bit
# Wine. Where it does not, the i686 build is still made and its export and import
# tables are checked from the files, and the x86_64 build runs the same Windows
# tests under 64-bit Wine. LUMARO_TEST_WINDOWS=i686 or x64 forces a path; unset
# (or auto) lets a probe decide.
#
# A failing step does not stop the run: every step runs, a summary says which
# passed, failed or were skipped, and the exit status is 1 when any failed.
set -uo pipefail
cd "$(dirname "$0")/.."
root=$PWD
mkdir -p build

jobs=$(nproc)
export WINEDEBUG=-all
fuzz_seconds=${LUMARO_FUZZ_SECONDS:-10}
wine32=/usr/lib/wine/wine
wine64=/usr/lib/wine/wine64

windows=${LUMARO_TEST_WINDOWS:-auto}
forced=1
case "$windows" in
  auto)
    forced=0
    # The probe runs a real 32-bit program; it lies in build/, which may be
    # executable where the temporary folder is not.
    if TMPDIR="$root/build" scripts/can-run-32bit.sh; then windows=i686; else windows=x64; fi ;;
  i686|x64) ;;
  *) echo "LUMARO_TEST_WINDOWS is '$windows': it must be auto, i686 or x64" >&2; exit 2 ;;
esac

if ! scripts/setup.sh "$windows"; then
  echo "scripts/setup.sh $windows failed: nothing was built or tested" >&2
  exit 1
fi

# The 32-bit path needs the 32-bit Wine loader to start, not only the kernel.
windows_note=""
if [ "$windows" = i686 ] && ! "$wine32" --version >/dev/null 2>&1; then
  if [ "$forced" = 1 ]; then
    windows_note="LUMARO_TEST_WINDOWS=i686, but the 32-bit Wine loader does not start on this machine ($("$wine32" --version 2>&1 | tail -n 1)): the i686 tests cannot run here"
  else
    windows=x64
    scripts/setup.sh x64 || { echo "scripts/setup.sh x64 failed" >&2; exit 1; }
  fi
fi
if [ "$windows" = x64 ]; then
  if [ "$forced" = 1 ]; then
    windows_note="LUMARO_TEST_WINDOWS=x64: the i686 tests were skipped; the x86_64 Windows build was tested under wine64 instead"
  else
    windows_note="32-bit programs cannot run on this machine: the i686 tests were skipped; the x86_64 Windows build was tested under wine64 instead"
  fi
fi

results=()
failures=0
started_all=$SECONDS

# run_step NAME FUNCTION: runs the function in a subshell that stops at its first
# failing command, and records the outcome.
run_step() {
  local name=$1 started=$SECONDS rc
  shift
  printf '\n=== %s ===\n' "$name"
  ( set -e; "$@" )
  rc=$?
  if [ "$rc" -eq 0 ]; then
    results+=("passed   $name ($((SECONDS - started)) s)")
  else
    results+=("FAILED   $name (exit status $rc, $((SECONDS - started)) s)")
    failures=$((failures + 1))
  fi
}

skip_step() {
  printf '\n=== %s: skipped ===\n%s\n' "$1" "$2"
  results+=("skipped  $1: $2")
}

fail_step() {
  printf '\n=== %s: FAILED ===\n%s\n' "$1" "$2"
  results+=("FAILED   $1: $2")
  failures=$((failures + 1))
}

native_tests() {
  cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMARO_TESTS=ON >/dev/null
  cmake --build build/native -j "$jobs"
  (cd build/native && ctest -j "$jobs" --no-tests=error --output-on-failure -LE '^mta$')
}

postfix_tests() {
  (cd build/native && ctest --no-tests=error --output-on-failure -L '^mta$')
}

sanitizer_tests() {
  cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLUMARO_SANITIZE=ON -DLUMARO_TESTS=ON >/dev/null
  cmake --build build/asan -j "$jobs"
  (cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
    ctest -j "$jobs" --no-tests=error --output-on-failure -E '^fuzz_' -LE '^mta$')
}

# The module's tests, jobs on many threads among them, under ThreadSanitizer: only
# what they need is built. The milter is left out: libmilter is not instrumented.
thread_sanitizer_tests() {
  cmake -S . -B build/tsan -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMARO_TSAN=ON -DLUMARO_TESTS=ON \
    -DLUMARO_MILTER=OFF >/dev/null
  cmake --build build/tsan -j "$jobs" --target test_lumaro lumaro
  (cd build/tsan && TSAN_OPTIONS=halt_on_error=1 \
    ctest -j "$jobs" --no-tests=error --output-on-failure -R '^lumaro(_own_code|_module_concurrent)?$')
}

# configure_windows FOLDER TOOLCHAIN
configure_windows() {
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=Release -DLUMARO_TESTS=ON \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$2" >/dev/null
}

# wine_tests FOLDER LOADER ARCH: the build's tests under Wine, in a prefix of the
# build's own that is made once before them, so that nothing depends on ~/.wine
# and the 32-bit and 64-bit prefixes never meet.
wine_tests() {
  export WINEPREFIX="$root/$1/wineprefix" WINEARCH=$3
  echo "Wine: $("$2" --version), prefix $WINEPREFIX ($WINEARCH)"
  # Debian's wineserver quits as soon as its last client has gone, and a program
  # that starts at that moment fails ("recvmsg: Connection reset by peer"): one
  # server, started before anything else of this prefix, stays up for the run.
  mkdir -p "$WINEPREFIX"
  /usr/lib/wine/wineserver -k >/dev/null 2>&1 || true
  /usr/lib/wine/wineserver -w
  /usr/lib/wine/wineserver -p
  "$2" wineboot --init >/dev/null 2>&1
  local rc=0
  # Parallel first starts of Wine race on its prefix: one test at a time.
  (cd "$1" && ctest -j 1 --no-tests=error --output-on-failure) || rc=$?
  /usr/lib/wine/wineserver -k || true
  return "$rc"
}

windows_i686_tests() {
  configure_windows build/win mingw-i686.cmake
  cmake --build build/win -j "$jobs"
  wine_tests build/win "$wine32" win32
}

# Where 32-bit programs cannot run: the released DLL and its zip are still built,
# and what can be checked without running them is checked.
windows_i686_static_checks() {
  configure_windows build/win mingw-i686.cmake
  cmake --build build/win -j "$jobs" --target lumaro lumaro-host
  (cd build/win && ctest --no-tests=error --output-on-failure -L '^static$')
  echo "The programs of the i686 zip cannot run on this machine: its files, checksums and" \
       "version resources were checked from the files, and a second build gave the same bytes."
}

windows_x64_tests() {
  configure_windows build/win64 mingw-x86_64.cmake
  cmake --build build/win64 -j "$jobs"
  wine_tests build/win64 "$wine64" win64
}

fuzz_tests() {
  CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DLUMARO_FUZZ=ON -DLUMARO_SANITIZE=ON -DLUMARO_TESTS=ON -DLUMARO_FUZZ_SECONDS="$fuzz_seconds" >/dev/null
  local targets
  targets=$(cmake --build build/fuzz --target help | sed -n 's/^\(fuzz_[A-Za-z0-9_]*\):.*/\1/p' | sort -u)
  [ -n "$targets" ] || { echo "no fuzz targets found"; return 1; }
  # shellcheck disable=SC2086
  cmake --build build/fuzz -j "$jobs" --target $targets
  (cd build/fuzz && ctest -j "$jobs" --no-tests=error --output-on-failure -R '^fuzz_')
}

[ -n "$windows_note" ] && printf '\n*** %s ***\n' "$windows_note"

run_step "native build and tests" native_tests
run_step "AddressSanitizer + UndefinedBehaviorSanitizer" sanitizer_tests
run_step "ThreadSanitizer: jobs side by side" thread_sanitizer_tests
if [ "$windows" = i686 ]; then
  if [ -n "$windows_note" ]; then
    fail_step "Windows i686 build under 32-bit Wine" "$windows_note"
  else
    run_step "Windows i686 build under 32-bit Wine" windows_i686_tests
  fi
  skip_step "Windows x86_64 build under wine64" "the i686 build was tested under 32-bit Wine"
else
  skip_step "Windows i686 build under 32-bit Wine" "$windows_note"
  run_step "Windows i686 build and zip: checked from the files" windows_i686_static_checks
  run_step "Windows x86_64 build under wine64" windows_x64_tests
fi
run_step "fuzz targets, ${fuzz_seconds} s each" fuzz_tests
if [ "${CI:-}" = "true" ] || [ "${LUMARO_TEST_MTA:-}" = "1" ]; then
  run_step "lumaro-milter end to end through a real Postfix" postfix_tests
else
  skip_step "lumaro-milter end to end through a real Postfix" \
    "it installs postfix, which replaces another MTA: run with LUMARO_TEST_MTA=1 (CI sets CI=true)"
fi

printf '\n=== summary (%d s in all) ===\n' "$((SECONDS - started_all))"
printf '%s\n' "${results[@]}"
if [ "$windows" = i686 ] && [ -z "$windows_note" ]; then
  echo "Windows path: i686, the released DLL's tests ran under 32-bit Wine."
else
  echo "Windows path: $windows_note"
fi
if [ "$failures" -gt 0 ]; then
  echo "$failures step(s) failed."
  exit 1
fi
echo "All steps passed."
