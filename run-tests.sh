#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite: unit and session tests
# under the address and undefined-behaviour sanitizers, each fuzz target for a few seconds
# (fuzz/run.sh runs one for longer), then every suite in the normal build, whose summary
# closes the run. Each step says what it does (packages, configuring, building N of M).
set -euo pipefail
cd "$(dirname "$0")"
. scripts/steps.sh
./scripts/setup.sh
jobs="$(nproc)"
say "== sanitizer build: build-asan/"
configure build-asan -S . -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=ON
build build-asan -j"$jobs" --target unit_tests session_tests
say "== normal build: build/"
configure build -S . -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_TESTS=ON
build build -j"$jobs"
echo "== sanitizer build: unit and session tests"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
   ctest --output-on-failure -R '^(unit|session)$')
echo "== fuzz targets, a few seconds each"
for target in url http ftp mirror; do ./fuzz/run.sh "$target" 5; done
echo "== all tests"
(cd build && ctest --output-on-failure)
