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
JOBS=$(( $(nproc) < 2 ? $(nproc) : 2 ))
export CTEST_OUTPUT_ON_FAILURE=1
export WINEDEBUG=-all

# Nothing of wine keeps running after the run: each prefix's server ends.
stop_wine() {
  set +e
  for prefix in "$OUT"/build-win64/wineprefix-* "$OUT"/build-win32/wineprefix-*; do
    [ -d "$prefix" ] && { WINEPREFIX=$prefix wineserver -k 2>/dev/null || true; }
  done
  true
}
trap stop_wine EXIT

configure() {  # dir, toolchain
  cmake -S . -B "$1" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/$2" -DRIG_WERROR=ON \
    -DRIG_BUILD_BENCH=OFF -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
}

echo "== Windows x86-64 build"
configure "$OUT/build-win64" toolchain-mingw64.cmake
cmake --build "$OUT/build-win64" -j "$JOBS"
echo "== Windows x86-64 tests under wine"
ctest --test-dir "$OUT/build-win64" -j "$JOBS" --output-on-failure

echo "== Windows window under wine and Xvfb"
# The X server's picture is taken by the Linux grab tool of the X11 tests,
# built here with the host's Qt.
g++ -std=c++20 -O1 -fPIC tests/app/x11/grab_screen.cpp $(pkg-config --cflags --libs Qt6Gui) \
  -o "$OUT/build-win64/rig-grab-screen"
# The picture lands in the build folder; docs/screenshot-windows.png is a
# copy of it.
bash tests/app/win32/win32_window_test.sh "$OUT/build-win64/app/win32/paddle-rig.exe" \
  "$OUT/build-win64/rig-grab-screen" "$OUT/build-win64/window-test" \
  "$OUT/build-win64/screenshot-windows.png"

echo "== Windows package"
ZIP=$(bash scripts/package-windows.sh "$OUT/build-win64")
python3 - "$ZIP" <<'PY'
import sys, zipfile
z = zipfile.ZipFile(sys.argv[1])
names = sorted(z.namelist())
want = ["paddle-rig/README.txt", "paddle-rig/paddle-rig.exe"]
assert names == want, f"the zip holds {names}"
assert z.read("paddle-rig/paddle-rig.exe")[:2] == b"MZ", "the program is no Windows executable"
assert b"Keyboard paddle" in z.read("paddle-rig/README.txt")
assert z.testzip() is None
print("package: ok,", ", ".join(names))
PY

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
