#!/usr/bin/env bash
# Installs what is needed, builds the rig and starts it.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
cmake -S . -B build-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DRIG_BUILD_TESTS=OFF \
  -DRIG_BUILD_BENCH=OFF >/dev/null
cmake --build build-release --target paddle-rig -j "$(nproc)"
exec ./build-release/app/qt/paddle-rig
