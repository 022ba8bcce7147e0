#!/usr/bin/env bash
# Installs what is needed, builds the rig and runs every test: the whole
# suite in a normal build, again under AddressSanitizer and
# UndefinedBehaviorSanitizer, and the threaded tests under ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
ROOT=$PWD
bash scripts/setup.sh

JOBS=$(nproc)
export QT_QPA_PLATFORM=offscreen
export CTEST_OUTPUT_ON_FAILURE=1

# The audio tests need a JACK server; start a dummy one unless one runs.
JACK_PID=""
stop_jack() { [ -n "$JACK_PID" ] && kill "$JACK_PID" 2>/dev/null && wait "$JACK_PID" 2>/dev/null; true; }
trap stop_jack EXIT
if ! jack_wait -c 2>/dev/null | grep -qx running; then
  JACK_NO_AUDIO_RESERVATION=1 jackd -R -d dummy -r 48000 -p 128 >"$ROOT/build-jackd.log" 2>&1 &
  JACK_PID=$!
  jack_wait -w -t 10 >/dev/null || { echo "jackd did not start"; cat "$ROOT/build-jackd.log"; exit 1; }
fi
export RIG_REQUIRE_JACK=1

# Every optional piece is required here, so a missing package fails the run
# instead of silently dropping a front end, a driver or their tests.
configure() {  # dir, extra args...
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DRIG_WERROR=ON -DRIG_WITH_QT=ON -DRIG_WITH_ALSA=ON -DRIG_WITH_JACK=ON \
    -DRIG_WITH_SNDFILE=ON "$@" >/dev/null
}

echo "== formatting"
git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror

echo "== layering"
bash scripts/check-layering.sh

echo "== normal build"
configure build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DRIG_X11_TESTS=ON
cmake --build build -j "$JOBS"
ctest --test-dir build -j "$JOBS" --output-on-failure

echo "== package"
bash tests/packaging/check-package.sh build

echo "== AddressSanitizer + UndefinedBehaviorSanitizer"
configure build-asan -DCMAKE_BUILD_TYPE=Debug -DRIG_SANITIZE=address -DRIG_BUILD_BENCH=OFF \
  -DRIG_X11_TESTS=OFF
cmake --build build-asan -j "$JOBS"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  LSAN_OPTIONS=suppressions=$ROOT/.ci/lsan.supp \
  ctest --test-dir build-asan -j "$JOBS" --output-on-failure

echo "== ThreadSanitizer (threaded tests)"
configure build-tsan -DCMAKE_BUILD_TYPE=Debug -DRIG_SANITIZE=thread -DRIG_BUILD_BENCH=OFF
cmake --build build-tsan -j "$JOBS" --target threaded_tests
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
  ctest --test-dir build-tsan -j "$JOBS" -L threaded --output-on-failure

echo "== Windows"
bash scripts/test-windows.sh "$ROOT"
