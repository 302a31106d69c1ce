#!/usr/bin/env bash
# Builds the Debian package from the build folder, checks its control fields
# and contents, unpacks it into a scratch root and starts what it installed.
# Usage: test_package.sh BUILD_DIR VERSION
set -euo pipefail
build=$1
version=$2
work="$build/package-test"
rm -rf "$work"
mkdir -p "$work"

fail() { echo "FAIL: $*"; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack did not build the package"; }
deb="$work/ostrelo_${version}_amd64.deb"
[ -f "$deb" ] || { ls "$work"; fail "no $deb"; }

info=$(dpkg-deb --info "$deb")
field() { printf '%s\n' "$info" | sed -n "s/^ $1: //p"; }
[ "$(field Package)" = ostrelo ] || fail "Package field: $(field Package)"
[ "$(field Version)" = "$version" ] || fail "Version field: $(field Version)"
[ "$(field Architecture)" = amd64 ] || fail "Architecture field: $(field Architecture)"
depends=$(field Depends)
# Computed from the binaries, and the QML modules named by hand.
for dep in libc6 libstdc++6 libqt6core6 libqt6gui6 libqt6qml6 libhidapi-hidraw0 \
           qml6-module-qtquick-controls qml6-module-qtquick-dialogs qml6-module-qtquick-layouts \
           qml6-module-qt-labs-folderlistmodel qt6-qpa-plugins; do
    case ", $depends," in
        *", $dep "* | *", $dep,"*) ;;
        *) fail "Depends lacks $dep: $depends" ;;
    esac
done

contents=$(dpkg-deb --contents "$deb" | awk '{print $NF}')
for path in ./usr/bin/appOstrelo ./usr/bin/ostrelo-cli ./usr/bin/ostrelo-mkfw \
            ./usr/lib/x86_64-linux-gnu/libTavrix.so ./usr/include/Tavrix.h \
            ./usr/share/applications/ostrelo.desktop \
            ./usr/share/icons/hicolor/scalable/apps/ostrelo.svg \
            ./lib/udev/rules.d/70-ostrelo.rules ./usr/share/man/man1/ostrelo-cli.1.gz; do
    printf '%s\n' "$contents" | grep -qx "$path" || fail "package lacks $path"
done

root="$work/root"
dpkg-deb -x "$deb" "$root"
grep -q 'ATTRS{idVendor}=="16c0", ATTRS{idProduct}=="2020", TAG+="uaccess"' \
    "$root/lib/udev/rules.d/70-ostrelo.rules" || fail "udev rule for the HID adapter"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$root/usr/share/applications/ostrelo.desktop" || fail "desktop entry"
fi
gzip -t "$root/usr/share/man/man1/ostrelo-cli.1.gz" || fail "manual page"

"$root/usr/bin/ostrelo-cli" --help >"$work/cli-help.txt" || fail "installed ostrelo-cli --help"
grep -q upgrade "$work/cli-help.txt" || fail "ostrelo-cli --help names no subcommand"

# The installed program, offscreen, up to its first log line (on standard
# output; what Qt says before the log handler is in place goes to standard
# error).
log="$work/app.log"
QT_QPA_PLATFORM=offscreen "$root/usr/bin/appOstrelo" >"$log" 2>"$work/app.err" &
pid=$!
for _ in $(seq 1 100); do
    [ -s "$log" ] && break
    sleep 0.1
done
kill "$pid" 2>/dev/null || true
wait "$pid" 2>/dev/null || true
first=$(head -n 1 "$log")
[ "$first" = "=== Application Started ===" ] || { cat "$log" "$work/app.err"; fail "first log line: $first"; }
echo "package ok: $deb"
