#!/usr/bin/env bash
# Builds Lumaro and passes every test: native, under AddressSanitizer and
# UndefinedBehaviorSanitizer, the Windows build under Wine, and a short run of
# every fuzz target. Build folders go under build/.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
scripts/setup.sh

jobs=$(nproc)
export WINEDEBUG=-all
fuzz_seconds=${LUMARO_FUZZ_SECONDS:-10}

step() { printf '\n=== %s ===\n' "$*"; }

step "native build and tests"
cmake -S . -B build/native -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/native -j "$jobs"
(cd build/native && ctest -j "$jobs" --output-on-failure)

step "AddressSanitizer + UndefinedBehaviorSanitizer"
cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DLUMARO_SANITIZE=ON >/dev/null
cmake --build build/asan -j "$jobs"
(cd build/asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest -j "$jobs" --output-on-failure -E '^fuzz_')

step "Windows build (i686 MinGW-w64) under Wine"
cmake -S . -B build/win -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-i686.cmake" >/dev/null
cmake --build build/win -j "$jobs"
wineboot --init >/dev/null 2>&1 || true
# Parallel first starts of Wine race on its prefix: one test at a time.
(cd build/win && ctest -j 1 --output-on-failure)

step "fuzz targets, ${fuzz_seconds} s each"
CC=clang CXX=clang++ cmake -S . -B build/fuzz -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DLUMARO_FUZZ=ON -DLUMARO_SANITIZE=ON -DLUMARO_FUZZ_SECONDS="$fuzz_seconds" >/dev/null
fuzz_targets=$(cmake --build build/fuzz --target help | sed -n 's/^\(fuzz_[A-Za-z0-9_]*\):.*/\1/p' | sort -u)
if [ -n "$fuzz_targets" ]; then
  cmake --build build/fuzz -j "$jobs" --target $fuzz_targets
  (cd build/fuzz && ctest -j "$jobs" --output-on-failure -R '^fuzz_')
fi

step "all tests passed"
