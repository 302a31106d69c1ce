#!/usr/bin/env bash
# Runs one fuzz target for SECONDS on its committed seed corpus; new inputs go
# to a scratch corpus in the build tree, crashes to the build tree's artifacts.
# usage: run_fuzz.sh BINARY SEED_DIR WORK_DIR SECONDS
set -euo pipefail
bin="$1" seeds="$2" work="$3" seconds="$4"
mkdir -p "$work/corpus" "$work/artifacts"
exec "$bin" -max_total_time="$seconds" -rss_limit_mb=1024 -timeout=10 -print_final_stats=1 \
    -artifact_prefix="$work/artifacts/" "$work/corpus" "$seeds"
