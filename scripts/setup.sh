#!/usr/bin/env bash
# Installs every Debian 12 package the rig needs to build, run and test.
# Non-interactive and idempotent: it calls apt-get only when something is missing.
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build pkg-config git
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  clang-format
  qt6-base-dev
  libasound2-dev libasound2-plugins alsa-utils
  jackd2 libjack-jackd2-dev
  libsndfile1-dev
  xvfb xauth fonts-dejavu-core xdotool x11-utils
  dpkg-dev fakeroot file librsvg2-bin desktop-file-utils appstream lintian man-db
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine wine64 socat zip
)

missing=()
for p in "${PACKAGES[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO="sudo"
export DEBIAN_FRONTEND=noninteractive
# jackd2 asks whether to allow real-time scheduling; answer it up front.
echo "jackd2 jackd/tweak_rt_limits boolean false" | $SUDO debconf-set-selections
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
