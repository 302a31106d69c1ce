#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs the test suite.
# Extra arguments are passed to ctest (for example: ./test.sh -L slow).
set -euo pipefail
cd "$(dirname "$0")"

bash scripts/install-deps.sh

BUILD_DIR="${OSTRELO_BUILD_DIR:-build}"
JOBS="$(nproc 2>/dev/null || echo 2)"

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo ${OSTRELO_CMAKE_ARGS:-}
cmake --build "$BUILD_DIR" -j "$JOBS"

export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
if [ "$#" -eq 0 ]; then
    set -- -LE 'slow|faults'
fi
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" "$@"
