#!/usr/bin/env bash
# Installs what is missing, builds, and runs the whole test suite (also under the sanitizers).
set -euo pipefail
cd "$(dirname "$0")"
./scripts/setup.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DTARNWICK_SANITIZE=ON >/dev/null
cmake --build build-asan -j"$(nproc)" --target unit_tests session_tests
(cd build && ctest --output-on-failure)
echo "sanitizer build:"
export ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
./build-asan/tests/unit_tests
./build-asan/tests/session/session_tests
