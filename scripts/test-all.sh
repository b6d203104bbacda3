#!/usr/bin/env bash
# Sets up, builds the host tree, the sanitizer tree and the Windows tree, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

bash scripts/setup.sh

echo "== host build"
cmake -S . -B build/host -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/host -j"$jobs"

echo "== sanitizer build (address, undefined)"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DCALVERA_SANITIZE=ON >/dev/null
cmake --build build/asan -j"$jobs"

echo "== Windows build (MinGW-w64 i686)"
cmake -S . -B build/win32 -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-mingw-i686.cmake" >/dev/null
cmake --build build/win32 -j"$jobs"

status=0
echo "== host tests"
ctest --test-dir build/host --output-on-failure -j"$jobs" || status=1
echo "== sanitizer tests"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j"$jobs" || status=1
echo "== Windows tests under Wine"
(
  source scripts/wine-env.sh "$root/build/win32"
  ctest --test-dir build/win32 --output-on-failure || exit 1
  wineserver -k || true
) || status=1

exit $status
