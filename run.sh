#!/usr/bin/env bash
# Installs what is missing, builds the program, writes the demo firmware folder
# for the simulated motor bench and starts appOstrelo on the default bench
# (OSTRELO_CAN unset). Needs a display; under a headless session use
#   xvfb-run -a ./run.sh
set -euo pipefail
cd "$(dirname "$0")"

if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    echo "run.sh: no display (DISPLAY and WAYLAND_DISPLAY are unset); to run it on a virtual display: xvfb-run -a ./run.sh"
    exit 1
fi

bash scripts/install-deps.sh

BUILD_DIR="${OSTRELO_BUILD_DIR:-build}"
JOBS="$(nproc 2>/dev/null || echo 2)"

# The program needs the Qt part even if this build directory was configured without it.
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DOSTRELO_BUILD_APP=ON ${OSTRELO_CMAKE_ARGS:-}
cmake --build "$BUILD_DIR" -j "$JOBS" --target appOstrelo ostrelo-mkfw

APP="$BUILD_DIR/qml/appOstrelo"
MKFW="$BUILD_DIR/sim/ostrelo-mkfw"
case "$BUILD_DIR" in
    /*) DEMO_DIR="$BUILD_DIR/demo-firmware" ;;
    *) DEMO_DIR="$(pwd)/$BUILD_DIR/demo-firmware" ;;
esac

# One image per motor of the default bench, named so that "匹配.bin文件" pairs
# each motor with its file.
"$MKFW" "$DEMO_DIR"
echo "Demo firmware folder: $DEMO_DIR"
echo "(choose it with \"选择固件文件夹\" in the motor list window)"

exec "$APP" "$@"
