#!/usr/bin/env bash
# Installs what is missing, builds (and builds the daemon alone in Release), and runs every test;
# then runs the unit tests again under AddressSanitizer and UndefinedBehaviorSanitizer. Fails on
# the first failing step.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)
# The whole-program tests spend most of their time waiting on real time (a WSPR interval is two
# minutes of paced IQ), so ctest keeps half as many tests again as there are cores running.
test_jobs=$((jobs + (jobs + 1) / 2))
# Let ccache share results between clones in different folders (CI builds a fresh clone).
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true

scripts/install-deps.sh

echo "== build"
# Line tables only (-g1) instead of full debug information: stack traces and profiles keep
# their functions and lines, and the compile takes about a quarter less, which on a two-core
# machine from a cold cache is minutes.
scripts/build.sh build "-DCMAKE_CXX_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG" "-DCMAKE_C_FLAGS_RELWITHDEBINFO=-O2 -g1 -DNDEBUG"
# Users build the daemon in Release, where the optimiser finds warnings the default build does
# not: build that configuration of the daemon alone (no tests, no benchmarks) to keep them out.
echo "== Release build of the daemon"
scripts/build.sh build-release -DCMAKE_BUILD_TYPE=Release -DNORVANE_BUILD_TESTS=OFF -DNORVANE_BUILD_BENCH=OFF
echo "== tests"
ctest --test-dir build --output-on-failure --parallel "$test_jobs" --timeout 600

echo "== build with AddressSanitizer and UndefinedBehaviorSanitizer"
# -O1 with line tables only: the sanitizers' usual set-up, and half the compile time of the
# optimised build with full debug information on a two-core machine.
scripts/build.sh build-asan -DNORVANE_SANITIZE=ON -DNORVANE_BUILD_BENCH=OFF -DNORVANE_BUILD_E2E=OFF \
  -DNORVANE_TEST_PER_PROGRAM=ON -DCMAKE_BUILD_TYPE=Debug "-DCMAKE_CXX_FLAGS_DEBUG=-O1 -g1" "-DCMAKE_C_FLAGS_DEBUG=-O1 -g1"
echo "== unit tests under the sanitizers"
ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 \
  ctest --test-dir build-asan --output-on-failure --parallel "$test_jobs" --timeout 600 -L unit
