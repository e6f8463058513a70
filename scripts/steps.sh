# Sourced by run.sh and run-tests.sh: what a run is doing, said on standard error, so that a
# first run (packages, configuring, a build of about a hundred files) is never silent.

say() { printf '%s\n' "$*" >&2; }

# Configures build folder $1 (the rest: cmake's options), saying so when it is new.
configure() {
  local dir="$1"
  shift
  [ -f "$dir/CMakeCache.txt" ] || say "== configuring $(basename "$dir")/ (first run)"
  local log
  log="$(mktemp)"
  if ! cmake -B "$dir" "$@" >"$log" 2>&1; then
    cat "$log" >&2
    rm -f "$log"
    return 1
  fi
  rm -f "$log"
}

# Builds (the arguments are cmake --build's), showing ninja's count as "building N of M":
# one line redrawn on a terminal, every 25th step elsewhere; the whole output only when the
# build fails.
build() {
  local log status=0
  log="$(mktemp)"
  cmake --build "$@" >"$log" 2>&1 &
  local pid=$! shown=""
  while kill -0 "$pid" 2>/dev/null; do
    sleep 0.5
    local count
    count="$(grep -o '^\[[0-9]*/[0-9]*\]' "$log" | tail -n 1 | tr -d '[]' || true)"
    # "[0/2] Re-checking globbed directories" is no building.
    [ -n "$count" ] && [ "$count" != "$shown" ] && [ "${count%/*}" != 0 ] || continue
    shown="$count"
    local n="${count%/*}" m="${count#*/}"
    if [ -t 2 ]; then
      printf '\r== building %s of %s ' "$n" "$m" >&2
    elif [ $((n % 25)) -eq 0 ]; then
      say "== building $n of $m"
    fi
  done
  wait "$pid" || status=$?
  [ -n "$shown" ] && [ -t 2 ] && printf '\n' >&2
  [ "$status" -eq 0 ] || cat "$log" >&2
  rm -f "$log"
  return "$status"
}
