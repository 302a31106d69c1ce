#!/usr/bin/env bash
# Builds the application-core tests with ThreadSanitizer (build-tsan/) and
# runs them against the simulated bench.
#
# Qt from Debian is not built with ThreadSanitizer, so synchronisation that
# happens inside Qt is invisible to the tool. The application core makes its
# own hand-overs visible in such builds (HandOverGuard in
# app/CANopenWrapper_p.h, the wait annotations in app/ThreadPool.cpp);
# scripts/tsan-app.supp keeps the two cases that are Qt's business alone
# (QThread's internal finish signal, QtTest's watchdog), each explained there.
# The bench runs without bus timing here (OSTRELO_TEST_SIM_INSTANT=1): the
# instrumented code is too slow for the motors' 20 ms answer windows.
# Any report fails the run.
set -euo pipefail
cd "$(dirname "$0")/.."

BUILD_DIR="${OSTRELO_TSAN_BUILD_DIR:-build-tsan}"
TARGETS=(tst_threadpool tst_motorlistmodel tst_controller_config tst_controller_ops tst_controller_hold)

cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRELO_TSAN=ON >/dev/null
cmake --build "$BUILD_DIR" -j2 --target "${TARGETS[@]}"

export QT_QPA_PLATFORM=offscreen
# Instrumented code runs several times slower; take the bus timing out of the
# bench so the 20 ms answer windows of the motor queries still hold.
export OSTRELO_TEST_SIM_INSTANT=1
export TSAN_OPTIONS="suppressions=$PWD/scripts/tsan-app.supp halt_on_error=0 second_deadlock_stack=1 ${TSAN_OPTIONS:-}"
ctest --test-dir "$BUILD_DIR" --output-on-failure -R '^app_tst_' -LE slow --timeout 900 "$@"

# ctest passes a test whose sanitizer report did not change its exit code;
# make any report fail the run.
if grep -l "WARNING: ThreadSanitizer" "$BUILD_DIR"/Testing/Temporary/LastTest.log >/dev/null 2>&1; then
    echo "tsan-app: ThreadSanitizer reported problems (see $BUILD_DIR/Testing/Temporary/LastTest.log)"
    exit 1
fi
echo "tsan-app: no ThreadSanitizer reports"
