#!/usr/bin/env bash
# The program's command line: --version names it as the About box does and
# needs no display, --help, --quit-after closes the window and exits cleanly
# once its time is up (not before), the toolkit's own options pass through,
# and bad options fail with status 2 before any window opens.
# Usage: check-options.sh PROGRAM PRODUCT_NAME VERSION
set -euo pipefail
program=$1 name=$2 version=$3

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# Runs the program with a scratch home and no display of any kind, or,
# with platform=offscreen set, on Qt's offscreen platform.
platform=""
run() {  # expected-status, args...
  local expected=$1 status=0; shift
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM HOME="$work" \
    ${platform:+QT_QPA_PLATFORM=$platform} \
    timeout 60 "$program" "$@" >"$work/out" 2>"$work/err" || status=$?
  [ "$status" = "$expected" ] || { fail "'$*' exited $status, not $expected"; sed 's/^/  /' "$work/err"; }
}

run 0 --version
[ "$(cat "$work/out")" = "$name, version $version" ] ||
  fail "--version printed '$(cat "$work/out")', not '$name, version $version'"

for help in --help -h; do
  run 0 "$help"
  grep -q -- "--quit-after MS" "$work/out" || fail "$help does not describe --quit-after"
done

# Each form of the option; the toolkit's own -platform passes through. The
# program must last at least its time.
for form in "offscreen --quit-after 400" "offscreen --quit-after=400" \
  " -platform offscreen --quit-after 400"; do
  platform=${form%% *}
  start=$(date +%s%N)
  # shellcheck disable=SC2086
  run 0 ${form#* }
  elapsed_ms=$((($(date +%s%N) - start) / 1000000))
  [ "$elapsed_ms" -ge 400 ] || fail "'${form#* }' quit after $elapsed_ms ms, before its 400 ms"
done

# Bad values are refused before the toolkit starts: no display needed.
platform=""
for bad in "--quit-after" "--quit-after x" "--quit-after -1" "--quit-after 5ms" \
  "--quit-after=" "--quit-after 99999999999" "--quit-after 1.5"; do
  # shellcheck disable=SC2086
  run 2 $bad
  grep -q -- "--quit-after" "$work/err" || fail "'$bad' gave no reason"
done

# An option nobody knows, after the toolkit has taken its own.
platform=offscreen
run 2 --no-such-option
grep -q "unknown option '--no-such-option'" "$work/err" || fail "--no-such-option was not named"

[ "$failures" = 0 ] || exit 1
echo "program options: all passed"
