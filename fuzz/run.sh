#!/usr/bin/env bash
# Runs one fuzz target for a number of seconds: fuzz/run.sh url|http|ftp|mirror SECONDS.
# Builds it with clang in build-fuzz (FUZZ_BUILD overrides) if needed. The working corpus
# grows in the build folder, seeded from fuzz/corpus/TARGET; a finding is written to
# build-fuzz/findings/TARGET/ and ends the run with a failure.
set -euo pipefail
if [[ $# -ne 2 ]]; then
  echo "usage: $0 url|http|ftp|mirror SECONDS" >&2
  exit 64
fi
target="$1"
seconds="$2"
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${FUZZ_BUILD:-$root/build-fuzz}"
. "$root/scripts/steps.sh"
[[ -f "$build/CMakeCache.txt" ]] || configure "$build" -S "$root" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DTARNWICK_FUZZ=ON -DTARNWICK_TESTS=OFF
build "$build" -j2 --target "fuzz_$target"
corpus="$build/corpus/$target"
findings="$build/findings/$target"
mkdir -p "$corpus" "$findings"
export UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1"
export ASAN_OPTIONS="detect_leaks=1"
log="$build/fuzz_$target.log"
# Inputs up to 1 KiB: past a mirror-list line's 255 bytes, and several times faster than
# 4 KiB ones. (The chunk decoder's 4 KiB line limit is a plain count, not reached here.)
maxlen=1024
status=0
"$build/fuzz/fuzz_$target" -max_total_time="$seconds" -timeout=10 -max_len=$maxlen -print_final_stats=1 \
  -artifact_prefix="$findings/" "$corpus" "$root/fuzz/corpus/$target" >"$log" 2>&1 || status=$?
runs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
if [[ $status -ne 0 ]]; then
  tail -40 "$log" >&2
  echo "fuzz_$target: finding after ${runs:-?} executions, input in $findings/" >&2
  exit 1
fi
echo "fuzz_$target: ${runs:-?} executions in ${seconds} s, no finding"
