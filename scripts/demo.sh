#!/usr/bin/env bash
# The main job on an embedded default, no radio needed.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
scripts/build.sh build -DNORVANE_BUILD_TESTS=OFF -DNORVANE_BUILD_BENCH=OFF
build/norvane --list-frequencies
