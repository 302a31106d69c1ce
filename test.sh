#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs the test suite: the
# Linux build in build/, then the Windows cross build in build-win/ with its
# tests under wine (OSTRELO_WINDOWS=0 leaves the Windows part out).
# Extra arguments are passed to ctest (for example: ./test.sh -L slow).
set -euo pipefail
cd "$(dirname "$0")"

bash scripts/install-deps.sh

BUILD_DIR="${OSTRELO_BUILD_DIR:-build}"
WIN_BUILD_DIR="${BUILD_DIR}-win"
JOBS="$(nproc 2>/dev/null || echo 2)"
WINDOWS="${OSTRELO_WINDOWS:-1}"

# Warnings fail the build (both trees).
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRELO_WERROR=ON ${OSTRELO_CMAKE_ARGS:-}
cmake --build "$BUILD_DIR" -j "$JOBS"
if [ "$WINDOWS" != 0 ]; then
    cmake -S . -B "$WIN_BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DOSTRELO_WERROR=ON
    cmake --build "$WIN_BUILD_DIR" -j "$JOBS"
fi

export QT_QPA_PLATFORM="${QT_QPA_PLATFORM:-offscreen}"
if [ "$#" -eq 0 ]; then
    set -- -LE 'slow|faults'
fi
status=0
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$JOBS" "$@" || status=$?
if [ "$WINDOWS" != 0 ]; then
    echo "Windows build (label windows, under wine):"
    ctest --test-dir "$WIN_BUILD_DIR" --output-on-failure -j "$JOBS" "$@" || status=$?
fi
exit "$status"
