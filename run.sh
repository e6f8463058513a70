#!/usr/bin/env bash
# Installs what is missing, builds, and runs tarnwick with the arguments given. The first run
# says what it does (packages, configuring, building N of M) on standard error.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
. "$here/scripts/steps.sh"
"$here/scripts/setup.sh"
configure "$here/build" -S "$here" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTARNWICK_TESTS=OFF
build "$here/build" -j"$(nproc)" --target tarnwick
exec "$here/build/tarnwick" "$@"
