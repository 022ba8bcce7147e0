#!/usr/bin/env bash
# The rig as an operator meets it, in a real X server: start the program,
# pick the keyboard paddle and the WAV-recording driver with the mouse and
# the keyboard, start a recording from the View menu, key a dit, a dah and a
# held dit with injected key events, stop the recording, quit from the menu,
# and check the marks both recordings hold (the driver's and the rig's own).
# Usage: x11_road_test.sh PROGRAM WAV_MARKS GRAB_SCREEN [SCREENSHOT.png]
set -euo pipefail
program=$1 marks_tool=$2 grab=$3 shot=${4:-}

work=$(mktemp -d)
xvfb_pid="" rig_pid=""
cleanup() {
  [ -n "$rig_pid" ] && kill "$rig_pid" 2>/dev/null
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null
  wait 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT
fail() {
  echo "FAIL: $*"
  [ -f "$work/rig.log" ] && sed 's/^/  rig: /' "$work/rig.log"
  # The rig's own trace of the paddle and the key, when there is one.
  for f in "$work"/paddle-rig-*.csv; do
    [ -f "$f" ] && grep -E ',(CTS|DSR|dit contact|dah contact|key down|key up),' "$f" | sed 's/^/  trace: /'
  done
  exit 1
}

# A display of our own, free of any other test's windows.
for n in $(seq 90 120); do
  [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] || { display=":$n"; break; }
done
Xvfb "$display" -screen 0 1024x768x24 -nolisten tcp >"$work/xvfb.log" 2>&1 &
xvfb_pid=$!
export DISPLAY=$display
for _ in $(seq 100); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.05; done
xdpyinfo >/dev/null 2>&1 || fail "Xvfb did not start"

# The recording lands in the home folder; keep it apart.
HOME=$work QT_QPA_PLATFORM=xcb "$program" >"$work/rig.log" 2>&1 &
rig_pid=$!
win=$(xdotool search --sync --onlyvisible --name "Orlim paddle keyer test rig" | head -1)
[ -n "$win" ] || fail "no main window"
xdotool windowfocus --sync "$win"
sleep 0.5
eval "$(xdotool getwindowgeometry --shell "$win")"  # X, Y, WIDTH, HEIGHT
[ "$WIDTH" = 620 ] && [ "$HEIGHT" = 400 ] || fail "window is ${WIDTH}x${HEIGHT}"
# Controls sit below the menu bar, at the form's places.
menu=22
click() { xdotool mousemove --sync $((X + $1)) $((Y + menu + $2)) click 1; sleep 0.3; }

# The port list: its last item is the keyboard paddle.
click 360 24
xdotool key End Return
sleep 0.5
# The driver list, from its arrow: the last item is the WAV recorder.
click 590 50
xdotool key End Return
sleep 1.0
# Give the focus back to the window, away from the lists.
click 240 300
# The README's picture: the keyboard paddle and the recording driver chosen,
# the status line saying so.
if [ -n "$shot" ]; then
  "$grab" "$shot" "$X" "$Y" "$WIDTH" "$HEIGHT" || fail "no screenshot"
fi
# View, Record.
xdotool key alt+v
sleep 0.3
xdotool key r
sleep 0.5
click 240 300

key() {  # key, held seconds
  xdotool keydown "$1"
  sleep "$2"
  xdotool keyup "$1"
  sleep 0.6
}
key bracketleft 0.02   # a dit
key bracketright 0.02  # a dah
key bracketleft 0.25   # a held dit: dits at 0, 100 and 200 ms
sleep 0.5
# View, Record again: the recording stops.
xdotool key alt+v
sleep 0.3
xdotool key r
sleep 0.5


# File, Exit.
xdotool key alt+f
sleep 0.3
xdotool key x
for _ in $(seq 100); do kill -0 "$rig_pid" 2>/dev/null || break; sleep 0.05; done
kill -0 "$rig_pid" 2>/dev/null && fail "the program did not quit from File, Exit"
wait "$rig_pid" || fail "the program exited with an error"
rig_pid=""

# The held dit's share: as many dits as began while the paddle was held,
# read from the rig's own trace (the injected release can land anywhere
# around 250 ms on a loaded machine). Held for d ms, the paddle gives the
# dits due at 0, 100, 200... ms that its release did not beat: n dits when
# (n-1)*100 < d <= n*100, give or take the few ms the keyer takes to see a
# change and start an element; and they follow each other every 100 ms.
# (Key edges lie on the stream's timeline, the paddle on the system clock:
# only differences within each are compared.)
held_dits() {  # csv
  awk -F, '
    $3 == "dit contact" { if ($4 == 1) press = $1; else release = $1 }
    $3 == "key down" { downs[n++] = $1 }
    END {
      count = 0
      for (i = 0; i < n; i++) if (downs[i] >= press - 0.05) held[count++] = downs[i]
      if (count == 0) { print "none"; exit }
      for (i = 1; i < count; i++) {
        gap = held[i] - held[i - 1]
        if (gap < 0.098 || gap > 0.102) { print "a gap of " gap " s between held dits"; exit }
      }
      d = release - press
      if (d <= (count - 1) * 0.100 - 0.005) { printf "%d dits from a paddle held %.3f s\n", count, d; exit }
      if (d > count * 0.100 + 0.020) { printf "only %d dits from a paddle held %.3f s\n", count, d; exit }
      print count
    }' "$1"
}
check_marks() {  # wav file, dits of the held paddle
  "$marks_tool" "$1" >"$work/marks" || fail "cannot read $1"
  lengths=$(grep -v '^#' "$work/marks" | awk '{printf "%d ", $2 + 0.5}')
  echo "marks in $(basename "$1") (ms): $lengths"
  # A dit, a dah, then the held dits: 50, 150, 50... ms, each within 3 ms.
  want=(50 150)
  for _ in $(seq "$2"); do want+=(50); done
  got=($lengths)
  [ ${#got[@]} -eq ${#want[@]} ] || fail "expected ${#want[@]} marks, got ${#got[@]}: $lengths"
  for i in "${!want[@]}"; do
    d=$((got[i] - want[i]))
    [ ${d#-} -le 3 ] || fail "mark $i is ${got[i]} ms, not ${want[i]}"
  done
}
own=$(ls "$work"/paddle-rig-*.wav 2>/dev/null | head -1)
[ -n "$own" ] || fail "no recording from View, Record"
csv=${own%.wav}.csv
[ -f "$csv" ] || fail "no trace beside the recording"
[ "$(head -1 "$csv")" = "time,source,event,value" ] || fail "the trace has no header"
held=$(held_dits "$csv")
[[ "$held" =~ ^[0-9]+$ ]] || fail "the held dit's elements do not follow the paddle: $held"
[ "$held" -ge 2 ] && [ "$held" -le 4 ] || fail "$held dits from a paddle held about 250 ms"
echo "held dit: $held dits"
wav=$(ls "$work"/keyed-*.wav 2>/dev/null | head -1)
[ -n "$wav" ] || fail "no recording: the driver choice did not take"
check_marks "$wav" "$held"
check_marks "$own" "$held"
downs=$(grep -c ',key down,' "$csv" || true)
[ "$downs" -eq $((2 + held)) ] || fail "the trace holds $downs key-down rows, not $((2 + held))"
echo "x11 road: ok"
