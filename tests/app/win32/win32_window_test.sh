#!/usr/bin/env bash
# The Windows program under wine in a private X server: it starts with the
# keyboard paddle as its port and the built-in discard driver, the keys
# [, ], Left and Right Ctrl pressed through the X server reach the paddle lines, the
# window is photographed, and the state it shows at the end is checked.
# A pty pair stands in as COM1, so no real serial device is opened.
# Usage: win32_window_test.sh PROGRAM.exe GRAB-TOOL WORK-DIR SCREENSHOT.png
set -euo pipefail
EXE=$1 GRAB=$2 WORK=$3 SHOT=$4
mkdir -p "$WORK"
export WINEDEBUG=-all WINEPREFIX="$WORK/wineprefix-window"
XVFB_PID="" SOCAT_PID="" APP_PID=""
cleanup() {
  set +e  # every step runs, whatever the one before answered
  [ -n "$APP_PID" ] && kill "$APP_PID" 2>/dev/null
  wineserver -k 2>/dev/null
  [ -n "$SOCAT_PID" ] && kill "$SOCAT_PID" 2>/dev/null
  [ -n "$XVFB_PID" ] && kill "$XVFB_PID" 2>/dev/null
  true
}
trap cleanup EXIT
fail() { echo "FAIL: $*"; [ -f "$WORK/state.txt" ] && cat "$WORK/state.txt"; exit 1; }
# Polls a condition for up to $1 tenths of a second.
await() {
  local n=$1; shift
  for ((i = 0; i < n; i++)); do "$@" && return 0; sleep 0.1; done
  return 1
}

# The server picks a free display number itself and writes it out.
rm -f "$WORK/display"
Xvfb -displayfd 3 -screen 0 1024x600x24 -nolisten tcp 3>"$WORK/display" >"$WORK/xvfb.log" 2>&1 &
XVFB_PID=$!
await 100 test -s "$WORK/display" || fail "Xvfb did not start"
export DISPLAY=":$(head -1 "$WORK/display")"
await 100 xdotool getmouselocation >/dev/null 2>&1 || fail "Xvfb does not answer"

[ -f "$WINEPREFIX/system.reg" ] || wineboot -i >/dev/null 2>&1
rm -f "$WORK/ttyA" "$WORK/ttyB"
socat pty,raw,echo=0,link="$WORK/ttyA" pty,raw,echo=0,link="$WORK/ttyB" </dev/null >/dev/null 2>&1 &
SOCAT_PID=$!
await 100 test -e "$WORK/ttyB" || fail "socat made no ptys"
# COM1 is the pty; COM2..COM12 lead nowhere. The map is read when wine
# starts, so wine is restarted after it.
wine reg add 'HKLM\Software\Wine\Ports' /v COM1 /d "$WORK/ttyA" /f >/dev/null 2>&1
for n in $(seq 2 12); do
  wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /d "$WORK/no-port-$n" /f >/dev/null 2>&1
done
wineserver -k 2>/dev/null || true
wineserver -w 2>/dev/null || true

STATE="$WORK/state.txt"
rm -f "$STATE"
wine "$EXE" --quit-after 15000 --port "Keyboard paddle" --state "$STATE" >"$WORK/app.log" 2>&1 &
APP_PID=$!
have() { grep -qx -- "$1" "$STATE" 2>/dev/null; }
await 300 have "KeyingLoop=1" || fail "the keying loop did not start"
WIN=$(xdotool search --name "Orlim paddle keyer test rig" | head -1)
[ -n "$WIN" ] || fail "no window"
xdotool windowfocus --sync "$WIN" 2>/dev/null || true

# Dit on [ and Left Ctrl, dah on ] and Right Ctrl: each line follows its
# key, and only its own (wine sends Right Ctrl after a left Control press
# of the same moment, as Windows does for AltGr).
count() { grep -cx -- "$1" "$STATE" 2>/dev/null || true; }
more() { [ "$(count "$1")" -gt "$2" ]; }
press() {  # key, box
  local on off
  on=$(count "CheckBox$2=1") off=$(count "CheckBox$2=0")
  xdotool keydown "$1"
  await 50 more "CheckBox$2=1" "$on" || fail "$1 did not close its contact"
  xdotool keyup "$1"
  await 50 more "CheckBox$2=0" "$off" || fail "releasing $1 did not open its contact"
}
press bracketleft 6
press bracketright 5
press Control_L 6
press Control_R 5
lines=$(grep -o "CheckBox[56]=[01]" "$STATE" | tr '\n' ' ')
[ "$lines" = "CheckBox6=1 CheckBox6=0 CheckBox5=1 CheckBox5=0 CheckBox6=1 CheckBox6=0 CheckBox5=1 CheckBox5=0 " ] ||
  fail "the paddle lines changed as $lines"

eval "$(xdotool getwindowgeometry --shell "$WIN")"
QT_QPA_PLATFORM=xcb "$GRAB" "$SHOT" "$X" "$Y" "$WIDTH" "$HEIGHT" || fail "no screenshot"

wait "$APP_PID" || fail "the program ended with status $?"
APP_PID=""
for want in "Caption=Orlim paddle keyer test rig" "ComboBox1=Keyboard paddle" \
  "cbASIOdriver=Self-clocked (discard)" "cbASIOout=Out 1 / Out 2" "ComboBox2=150" \
  "edtTone=700" "udTone=700" "tbWPM=20" "labWPM=20 WPM ( 50.0mS dit)" "rbIambicB=1" \
  "rbIambicA=0" "CheckBox9=1" "CheckBox15=0 disabled" "CheckBox5=0" "CheckBox6=0"; do
  have "$want" || fail "the window does not show '$want'"
done
grep -q "^labLatency=Buffer size " "$STATE" || fail "no latency caption"
echo "1 passed, 0 failed"
