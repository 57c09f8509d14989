#!/usr/bin/env bash
# Configures and builds one tree, warnings as errors. Usage: scripts/build.sh [build-dir] [extra cmake args...]
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build}
shift || true
cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DNORVANE_WERROR=ON "$@" >/dev/null
cmake --build "$dir" --parallel "$(nproc)"
