#!/usr/bin/env bash
# Runs one fuzz target on its committed seed corpus; new inputs go to a
# scratch corpus in the build tree, crashes to the build tree's artifacts.
#
#   run_fuzz.sh BINARY SEED_DIR WORK_DIR SECONDS
#       explores for SECONDS, building on what earlier runs found
#       (scripts/fuzz.sh)
#   run_fuzz.sh --replay BINARY SEED_DIR WORK_DIR RUNS
#       every seed input, then RUNS mutations from a fixed seed and an empty
#       scratch corpus: the same inputs on every run (label "fuzz")
set -euo pipefail
replay=0
if [ "${1:-}" = "--replay" ]; then
    replay=1
    shift
fi
bin="$1" seeds="$2" work="$3" amount="$4"
if [ "$replay" = 1 ]; then
    rm -rf "$work/corpus"
    # Not from the values the target compares either: those include clock
    # readings and pointers, which differ from run to run.
    limit=(-seed=1 -runs="$amount" -reload=0 -use_cmp=0)
else
    limit=(-max_total_time="$amount")
fi
mkdir -p "$work/corpus" "$work/artifacts"
# A replay also turns address randomisation off, so that nothing of the
# target depends on where its memory lies.
norandom=()
if [ "$replay" = 1 ] && setarch "$(uname -m)" -R true 2>/dev/null; then
    norandom=(setarch "$(uname -m)" -R)
fi
exec "${norandom[@]}" "$bin" "${limit[@]}" -rss_limit_mb=1024 -timeout=60 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" "$seeds"
