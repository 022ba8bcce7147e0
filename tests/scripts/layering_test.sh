#!/usr/bin/env bash
# The layering check passes on the tree, and fails, naming the file, on a
# copy in which a wrong include has been planted: a subsystem reaching up,
# and a toolkit header in the form.
set -euo pipefail
root=$1
check=$root/scripts/check-layering.sh
"$check" "$root" >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for d in core dsp keyer asio serial app; do
  [ -d "$root/$d" ] && cp -r "$root/$d" "$work/"
done
"$check" "$work" >/dev/null

expect_failure() {  # file, include line, expected message part
  local file=$1 line=$2 want=$3
  cp "$work/$file" "$work/$file.orig"
  printf '%s\n' "$line" >>"$work/$file"
  if out=$("$check" "$work"); then
    echo "not caught: $line in $file"
    exit 1
  fi
  grep -qF "$want" <<<"$out" || { echo "unexpected report: $out"; exit 1; }
  mv "$work/$file.orig" "$work/$file"
}
expect_failure core/Timing.h '#include "keyer/Keyer.h"' "core/Timing.h:"
expect_failure dsp/dspcomplex.h '#include "asio/ASIOTypes.h"' "dsp must not include asio/ASIOTypes.h"
expect_failure serial/PortDriver.h '#include "dsp/DDSPBase.h"' "serial must not include"
expect_failure keyer/Keyer.h '#  include "serial/SerialPort.h"' "keyer must not include"
expect_failure app/form/fKeyer.h '#include <QWidget>' "toolkit header <QWidget>"
expect_failure app/form/fKeyer.cpp '#include "app/qt/fKeyerWindow.h"' "form must not include"
echo "layering test: ok"
