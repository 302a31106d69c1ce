#!/usr/bin/env bash
# Runs every fuzz target for SECONDS each (default 60) on its seed corpus and
# prints the executions per target. New corpus inputs and crash artifacts go
# to build/fuzz/run/<target>/; a crash input belongs in tests/fuzz/corpus/<target>/
# as a regression case once mended.
# usage: scripts/fuzz.sh [SECONDS]
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${1:-60}"
BUILD_DIR="${OSTRELO_BUILD_DIR:-build}"

bash scripts/install-deps.sh
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ${OSTRELO_CMAKE_ARGS:-} >/dev/null
cmake --build "$BUILD_DIR" --target ostrelo_fuzz

status=0
summary=""
for t in sdo_client driver fifo sim_sdo scenario ostrelo_can naming; do
    log="$BUILD_DIR/fuzz/run/$t.log"
    mkdir -p "$BUILD_DIR/fuzz/run"
    if tests/fuzz/run_fuzz.sh "$BUILD_DIR/fuzz/fuzz_$t" "tests/fuzz/corpus/$t" "$BUILD_DIR/fuzz/run/$t" \
        "$seconds" >"$log" 2>&1; then
        result="ok"
    else
        result="FAILED (see $log)"
        status=1
    fi
    execs="$(grep -o 'stat::number_of_executed_units: *[0-9]*' "$log" | grep -o '[0-9]*$' || echo '?')"
    summary+="$(printf '%-12s %12s executions  %s' "$t" "$execs" "$result")"$'\n'
done
printf 'fuzz: %s s per target\n%s' "$seconds" "$summary"
exit "$status"
