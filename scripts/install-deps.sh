#!/usr/bin/env bash
# Installs every Debian package that the build, the tests and the program need,
# and Debian's kernel for the kernel tests' QEMU route (unpacked into a cache
# folder by scripts/can-kernel.sh --fetch, not installed).
# Idempotent: when everything is already present, apt is not touched at all.
set -euo pipefail
cd "$(dirname "$0")/.."

PACKAGES=(
  build-essential g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev googletest
  qt6-base-dev qt6-declarative-dev qt6-declarative-dev-tools libqt6quicktest6
  qml6-module-qtquick qml6-module-qtquick-controls qml6-module-qtquick-layouts
  qml6-module-qtquick-dialogs qml6-module-qtquick-window qml6-module-qtquick-templates
  qml6-module-qtqml-workerscript qml6-module-qttest qml6-module-qt-labs-folderlistmodel
  qml6-module-qtqml qml6-module-qtqml-models qml6-module-qtquick-shapes
  libhidapi-dev g++-mingw-w64-x86-64 g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64 wine64
  xvfb xauth fonts-noto-cjk
  dpkg-dev desktop-file-utils
  qt6-l10n-tools qt6-tools-dev qt6-tools-dev-tools qt6-translations-l10n
  clang-14 libclang-rt-14-dev
  user-mode-linux kmod can-utils iproute2 qemu-system-x86 busybox-static
  libsqlite3-dev
  valgrind
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  echo "install-deps: all packages present"
else
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  echo "install-deps: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  echo "install-deps: done"
fi
bash scripts/can-kernel.sh --fetch
