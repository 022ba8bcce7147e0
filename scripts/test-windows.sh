#!/usr/bin/env bash
# Cross-builds the rig for Windows with mingw-w64 and runs every test that
# builds there as Windows executables under wine, in a wine prefix inside
# the build folder. The 64-bit build is tested; the 32-bit build is
# compiled, and tested too where 32-bit wine is installed.
# Usage: scripts/test-windows.sh [build-root]   (default: the repository)
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
OUT=${1:-$ROOT}
JOBS=$(nproc)
export CTEST_OUTPUT_ON_FAILURE=1
export WINEDEBUG=-all

configure() {  # dir, toolchain
  cmake -S . -B "$1" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$2" -DRIG_WERROR=ON \
    -DRIG_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
}

echo "== Windows x86-64 build"
configure "$OUT/build-win64" toolchain-mingw64.cmake
cmake --build "$OUT/build-win64" -j "$JOBS"
echo "== Windows x86-64 tests under wine"
ctest --test-dir "$OUT/build-win64" -j "$JOBS" --output-on-failure

echo "== Windows i686 build"
configure "$OUT/build-win32" toolchain-mingw32.cmake
cmake --build "$OUT/build-win32" -j "$JOBS"
# 32-bit programs need wine32 (the i386 architecture); without it the
# build is only compiled.
if dpkg-query -W -f='${Status}' wine32:i386 2>/dev/null | grep -q "install ok installed"; then
  echo "== Windows i686 tests under wine"
  ctest --test-dir "$OUT/build-win32" -j "$JOBS" --output-on-failure
else
  echo "== Windows i686 tests skipped: wine32 is not installed"
fi
