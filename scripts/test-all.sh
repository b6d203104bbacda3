#!/usr/bin/env bash
# Sets up, builds the host tree, the sanitizer tree and the Windows tree, and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
jobs=$(nproc)

bash scripts/setup.sh

configure_windows() {  # DIR TOOLCHAIN
  cmake -S . -B "$1" -DCMAKE_BUILD_TYPE=Release -DCMAKE_TOOLCHAIN_FILE="$root/cmake/$2" >/dev/null
}

echo "== host build"
cmake -S . -B build/host -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build/host -j"$jobs"

echo "== sanitizer build (address, undefined)"
cmake -S . -B build/asan -DCMAKE_BUILD_TYPE=Debug -DCALVERA_SANITIZE=ON >/dev/null
cmake --build build/asan -j"$jobs"

echo "== Windows build (MinGW-w64 i686: the shipped programs)"
configure_windows build/win32 toolchain-mingw-i686.cmake
cmake --build build/win32 -j"$jobs"

# The Windows-side tests run from the i686 tree where this machine can start 32-bit programs.
# Some kernels cannot (no IA-32 emulation; Wine's 32-bit loader fails with "Exec format error"):
# there the same sources are built for x86_64 and run under 64-bit Wine.
windows_tests=build/win32
if ! { [ -x /usr/lib/wine/wine ] && /usr/lib/wine/wine --version >/dev/null 2>&1; }; then
  echo "== note: this machine cannot start 32-bit programs; Windows tests run from an x86_64 build"
  configure_windows build/win64 toolchain-mingw-x86_64.cmake
  cmake --build build/win64 -j"$jobs"
  windows_tests=build/win64
fi

status=0
echo "== host tests"
ctest --test-dir build/host --output-on-failure -j"$jobs" || status=1
echo "== sanitizer tests"
ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 \
  ctest --test-dir build/asan --output-on-failure -j"$jobs" || status=1
echo "== Windows tests under Wine ($windows_tests)"
(
  source scripts/wine-env.sh "$root/$windows_tests"
  ctest --test-dir "$windows_tests" --output-on-failure || exit 1
  wineserver -k || true
) || status=1
if [ "$windows_tests" != build/win32 ]; then
  echo "== Windows tests that need no Wine, in the i686 tree (the shipped packages)"
  ctest --test-dir build/win32 --output-on-failure -L no-wine || status=1
fi

echo "== fuzz targets (libFuzzer, clang, sanitizers; a fixed number of runs over each seed corpus)"
if CC=clang CXX=clang++ cmake -S . -B build/fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCALVERA_FUZZ=ON \
     -DCALVERA_TESTS=OFF >/dev/null &&
   cmake --build build/fuzz --target calvera_fuzzers -j"$jobs" >build/fuzz/build.log 2>&1; then
  bash fuzz/run.sh build/fuzz || status=1
else
  echo "fuzz build failed (build/fuzz/build.log)"
  status=1
fi

exit $status
