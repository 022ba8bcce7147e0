#!/usr/bin/env bash
# Packs the 64-bit Windows program and a short readme into
# paddle-rig-win64.zip in the build folder.
# Usage: scripts/package-windows.sh BUILD-DIR   (a configured mingw64 build)
set -euo pipefail
cd "$(dirname "$0")/.."
BUILD=$1
cmake --build "$BUILD" --target paddle-rig-win >/dev/null
STAGE="$BUILD/package-win64/paddle-rig"
rm -rf "$BUILD/package-win64" "$BUILD/paddle-rig-win64.zip"
mkdir -p "$STAGE"
# Without its debug sections the program is a tenth of the size.
x86_64-w64-mingw32-strip -o "$STAGE/paddle-rig.exe" "$BUILD/app/win32/paddle-rig.exe"
VERSION=$(sed -n 's/^project(PaddleKeyerRig VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
# Windows line ends, so Notepad shows the lines.
sed 's/$/\r/' >"$STAGE/README.txt" <<TEXT
Paddle keyer test rig $VERSION for Windows (64-bit)

paddle-rig.exe needs no installation and no DLLs beside it: start it.

A paddle on a serial port keys CTS (dah) and DSR (dit); choose the port in
"COM port". Without a paddle choose "Keyboard paddle": [ and Left Ctrl are
the dit contact, ] and Right Ctrl the dah contact, while the window has the
focus.

"ASIO driver" lists the ASIO drivers installed on this computer (as their
makers' installers registered them), then the built-in "Self-clocked
(discard)" driver, which keeps time but plays nothing.

Problems are reported on the status line at the bottom of the window.
Options: paddle-rig --help (from a command prompt).
TEXT
(cd "$BUILD/package-win64" && zip -qrD ../paddle-rig-win64.zip paddle-rig)
echo "$BUILD/paddle-rig-win64.zip"
