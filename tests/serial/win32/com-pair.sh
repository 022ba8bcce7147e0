#!/bin/sh
# Two linked ptys mapped as COM33 and COM34 in the wine prefix $WINEPREFIX,
# for the Win32 driver's tests. "start" leaves socat running (its pid in
# the prefix) and restarts wine so the ports exist; "stop" ends socat.
set -eu
DIR="$WINEPREFIX/com-pair"
case "$1" in
  start)
    mkdir -p "$DIR"
    [ -f "$DIR/socat.pid" ] && kill "$(cat "$DIR/socat.pid")" 2>/dev/null || true
    rm -f "$DIR/ttyA" "$DIR/ttyB"
    socat pty,raw,echo=0,link="$DIR/ttyA" pty,raw,echo=0,link="$DIR/ttyB" </dev/null >/dev/null 2>&1 &
    echo $! >"$DIR/socat.pid"
    i=0
    while [ ! -e "$DIR/ttyA" ] || [ ! -e "$DIR/ttyB" ]; do
      i=$((i + 1))
      [ $i -gt 100 ] && { echo "socat made no ptys"; exit 1; }
      sleep 0.1
    done
    wine reg add 'HKLM\Software\Wine\Ports' /v COM33 /d "$DIR/ttyA" /f >/dev/null
    wine reg add 'HKLM\Software\Wine\Ports' /v COM34 /d "$DIR/ttyB" /f >/dev/null
    # The device manager reads the map when wine starts.
    wineserver -k || true
    wineserver -w || true
    ;;
  stop)
    [ -f "$DIR/socat.pid" ] && kill "$(cat "$DIR/socat.pid")" 2>/dev/null || true
    rm -f "$DIR/socat.pid"
    ;;
esac
