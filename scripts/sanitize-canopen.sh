#!/usr/bin/env bash
# Builds the CANopen stack's tests with AddressSanitizer and
# UndefinedBehaviorSanitizer (no Qt) in build-asan and runs them.
# Extra arguments replace the default label selection (for example: -L slow
# runs the timed-bus test under the sanitizers instead).
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR="${OSTRELO_ASAN_BUILD_DIR:-build-asan}"
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
    -DOSTRELO_SANITIZE=ON -DOSTRELO_BUILD_APP=OFF
cmake --build "$BUILD_DIR" -j2 --target canopen_unit_tests canopen_bench_tests canopen_bench_timed_tests

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
if [ "$#" -eq 0 ]; then
    set -- -L sanitize
fi
ctest --test-dir "$BUILD_DIR" --output-on-failure -R '^canopen\.' "$@"
