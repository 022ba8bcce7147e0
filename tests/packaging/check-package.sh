#!/usr/bin/env bash
# The Debian package as an operator gets it: built by CPack, unpacked into a
# scratch root, its files where the desktop looks for them, the menu entry
# and the metadata valid, the version the same everywhere, the installed
# program started offscreen and quitting on time, lintian without errors.
# Usage: check-package.sh [BUILD_DIR]
#   With a configured and built BUILD_DIR (Qt front end on), CPack packages
#   that build; without one, scripts/package.sh makes a release build.
set -euo pipefail
cd "$(dirname "$0")/../.."
id=org.paddlerig.paddle_rig

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
need() { [ -e "$root/$1" ] || fail "missing /$1"; }

if [ $# -ge 1 ]; then
  build=$(cd "$1" && pwd)
  [ -f "$build/CPackConfig.cmake" ] || { echo "$build is not a configured build with the program"; exit 1; }
  (cd "$work" && cpack -G DEB --config "$build/CPackConfig.cmake" -B "$work/out" >"$work/cpack.log" 2>&1) ||
    { cat "$work/cpack.log"; exit 1; }
  deb=$(ls "$work"/out/paddle-rig_*.deb)
else
  deb=$(bash scripts/package.sh | tail -1)
fi
echo "package: $deb"

# The one version: the project's, in the package, the program and the histories.
version=$(sed -n 's/^project([^)]* VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
[ -n "$version" ] || { echo "no project version in CMakeLists.txt"; exit 1; }
[ "$(dpkg-deb -f "$deb" Package)" = paddle-rig ] || fail "package name is $(dpkg-deb -f "$deb" Package)"
[ "$(dpkg-deb -f "$deb" Version)" = "$version" ] || fail "package version $(dpkg-deb -f "$deb" Version), project $version"
case "$(basename "$deb")" in paddle-rig_"$version"_*.deb) ;; *) fail "file name $(basename "$deb")" ;; esac
# Dependencies come from the linked libraries, so the toolkit and the sound
# libraries must be there without anyone having typed them.
depends=$(dpkg-deb -f "$deb" Depends)
for lib in libc6 libqt6widgets6 libasound2 libsndfile1; do
  grep -q "\b$lib\b" <<<"$depends" || fail "Depends lacks $lib: $depends"
done

root=$work/root
dpkg -x "$deb" "$root"

# Where a desktop and man look for things.
need usr/bin/paddle-rig
[ -x "$root/usr/bin/paddle-rig" ] || fail "the program is not executable"
file -b "$root/usr/bin/paddle-rig" | grep -q "ELF.*stripped" || fail "the program is not a stripped ELF file"
file -b "$root/usr/bin/paddle-rig" | grep -q "not stripped" && fail "the program is not stripped"
desktop=usr/share/applications/$id.desktop
metainfo=usr/share/metainfo/$id.metainfo.xml
need "$desktop"
need "$metainfo"
need usr/share/icons/hicolor/scalable/apps/paddle-rig.svg
for size in 16 22 24 32 48 64 128 256; do
  png=usr/share/icons/hicolor/${size}x${size}/apps/paddle-rig.png
  need "$png"
  [ -e "$root/$png" ] && ! file -b "$root/$png" | grep -q "PNG image data, $size x $size," &&
    fail "$png is $(file -b "$root/$png")"
done
need usr/share/man/man1/paddle-rig.1.gz
doc=usr/share/doc/paddle-rig
for f in wiring.md README.md screenshot.png copyright changelog.gz; do need "$doc/$f"; done
# Nothing stray: every file sits below usr/ in a known place.
while read -r stray; do fail "unexpected file /$stray"; done < <(
  find "$root" -type f | sed "s|^$root/||" | grep -Ev '^usr/(bin|share/(applications|metainfo|icons|man|doc))/')

# The manual page renders without complaint and covers what an operator needs.
man_text=$work/man.txt
warnings=$(MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/paddle-rig.1.gz" 2>&1 >"$man_text") ||
  fail "man could not render the page"
[ -z "$warnings" ] || fail "man page warnings: $warnings"
# Words joined across the page's line breaks.
flat=$(tr -s ' \n' '  ' <"$man_text")
for topic in "--quit-after" "KEYBOARD PADDLE" "Left Ctrl (dit) and Right Ctrl (dah)" "CTS (DB9 pin 8)" \
  "DSR (DB9 pin 6)" "~/keyed-YYYYmmdd-HHMMSS.wav" "dialout" "paddle-rig $version"; do
  grep -qF -- "$topic" <<<"$flat" || fail "the man page does not mention '$topic'"
done
grep -qF "| dah | CTS | 8 |" "$root/$doc/wiring.md" || fail "wiring.md lacks the dah line"

# The menu entry and the metadata.
desktop-file-validate "$root/$desktop" || fail "desktop-file-validate"
entry() { sed -n "s/^$1=//p" "$root/$desktop"; }
grep -q "HamRadio" <<<"$(entry Categories)" && grep -q "Audio" <<<"$(entry Categories)" ||
  fail "Categories are '$(entry Categories)'"
[ "$(entry Exec)" = paddle-rig ] || fail "Exec is '$(entry Exec)'"
[ "$(entry Icon)" = paddle-rig ] || fail "Icon is '$(entry Icon)'"
appstreamcli validate --no-net "$root/$metainfo" || fail "appstreamcli validate"
grep -q "<launchable type=\"desktop-id\">$id.desktop</launchable>" "$root/$metainfo" ||
  fail "the metadata does not launch $id.desktop"
newest=$(grep -o '<release version="[^"]*"' "$root/$metainfo" | head -1 | cut -d'"' -f2)
[ "$newest" = "$version" ] || fail "newest release in the metadata is '$newest', not $version"
logged=$(zcat "$root/$doc/changelog.gz" | sed -n '1s/^paddle-rig (\([^)]*\)).*/\1/p')
[ "$logged" = "$version" ] || fail "newest changelog entry is '$logged', not $version"
shot=$(sed -n 's|.*<image[^>]*>.*/\([^/<]*\)</image>.*|\1|p' "$root/$metainfo")
[ -e "$root/$doc/$shot" ] || fail "the metadata's screenshot '$shot' is not installed"

# The installed program: its libraries resolve, and its command line and
# offscreen start behave; it names itself as the menu entry does.
ldd "$root/usr/bin/paddle-rig" | grep "not found" && fail "unresolved libraries"
bash tests/packaging/check-options.sh "$root/usr/bin/paddle-rig" "$(entry Name)" "$version" ||
  fail "the installed program's command line"

# Installable here as apt would install it (a dry run: nothing changes).
apt-get install --simulate --no-install-recommends "$deb" >"$work/apt.log" 2>&1 ||
  { fail "apt-get cannot install the package"; sed 's/^/  /' "$work/apt.log"; }

# Lintian: errors fail, warnings are shown.
lintian --fail-on error "$deb" >"$work/lintian.log" 2>&1 ||
  fail "lintian reports errors"
sed 's/^/  lintian: /' "$work/lintian.log"

[ "$failures" = 0 ] || { echo "$failures package check(s) failed"; exit 1; }
echo "package checks: all passed"
