#!/usr/bin/env bash
# Installs what is missing, builds, and runs tarnwick with the arguments given.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
"$here/scripts/setup.sh"
cmake -S "$here" -B "$here/build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_TESTS=OFF >/dev/null
cmake --build "$here/build" -j"$(nproc)" --target tarnwick >/dev/null
exec "$here/build/tarnwick" "$@"
