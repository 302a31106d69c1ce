#!/usr/bin/env bash
# Builds the Debian packages from the build folder, checks their control
# fields and contents, unpacks them into a scratch root and starts what they
# installed. Usage: test_package.sh BUILD_DIR VERSION
set -euo pipefail
build=$1
version=$2
work="$build/package-test"
rm -rf "$work"
mkdir -p "$work"

fail() { echo "FAIL: $*"; exit 1; }

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$work" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log"; fail "cpack did not build the packages"; }

# deb NAME: the package file; field NAME FIELD: one control field of it.
deb() { echo "$work/${1}_${version}_amd64.deb"; }
field() { dpkg-deb --field "$(deb "$1")" "$2"; }
has_dep() { case ", $(field "$1" Depends)," in *", $2 "* | *", $2,"*) return 0 ;; esac; return 1; }
# Listings and pages are searched as here-strings, not through a pipe: grep
# -q stops reading at its match, and with pipefail the writer's broken pipe
# would fail a check by chance.
# The path of each entry (field 6; a link's "-> target" follows it).
contents() { dpkg-deb --contents "$(deb "$1")" | awk '{print $6}'; }

for pkg in ostrelo-cli ostrelo libtavrix; do
    [ -f "$(deb $pkg)" ] || { ls "$work"; fail "no $(deb $pkg)"; }
    [ "$(field $pkg Package)" = "$pkg" ] || fail "$pkg: Package field $(field $pkg Package)"
    [ "$(field $pkg Version)" = "$version" ] || fail "$pkg: Version field"
    [ "$(field $pkg Architecture)" = amd64 ] || fail "$pkg: Architecture field"
    maintainer=$(field $pkg Maintainer)
    [[ "$maintainer" =~ ^[^\<\>@]+\ \<[^\<\>@\ ]+@[^\<\>@\ ]+\>$ && "$maintainer" != *@localhost* ]] ||
        fail "$pkg: Maintainer is not 'Name <address>': $maintainer"
    grep -qx "./usr/share/doc/$pkg/copyright" <<<"$(contents $pkg)" || fail "$pkg lacks its copyright file"
done

# The command-line package needs no Qt: a line's PC can take it alone.
for dep in libc6 libstdc++6; do
    has_dep ostrelo-cli $dep || fail "ostrelo-cli Depends lacks $dep: $(field ostrelo-cli Depends)"
done
case "$(field ostrelo-cli Depends)" in *qt* | *qml*) fail "ostrelo-cli depends on Qt: $(field ostrelo-cli Depends)" ;; esac
# The window: computed from the binary, and the QML modules named by hand.
for dep in libqt6core6 libqt6gui6 libqt6qml6 qml6-module-qtquick-controls qml6-module-qtquick-dialogs \
           qml6-module-qtquick-layouts qml6-module-qt-labs-folderlistmodel qt6-qpa-plugins; do
    has_dep ostrelo $dep || fail "ostrelo Depends lacks $dep: $(field ostrelo Depends)"
done
# hidapi is built into libTavrix; what it needs of the system is libudev.
has_dep libtavrix libudev1 || fail "libtavrix Depends lacks libudev1: $(field libtavrix Depends)"
case "$(field libtavrix Depends)" in *hidapi*) fail "libtavrix depends on a hidapi package: $(field libtavrix Depends)" ;; esac

check_contents() {
    local pkg=$1
    shift
    local path
    for path in "$@"; do
        grep -qx "$path" <<<"$(contents "$pkg")" || fail "$pkg lacks $path"
    done
}
check_contents ostrelo-cli ./usr/bin/ostrelo-cli ./usr/bin/ostrelo-mkfw ./usr/share/man/man1/ostrelo-cli.1.gz
check_contents ostrelo ./usr/bin/appOstrelo ./usr/share/applications/ostrelo.desktop \
    ./usr/share/icons/hicolor/scalable/apps/ostrelo.svg
libdir=usr/lib/x86_64-linux-gnu
check_contents libtavrix ./$libdir/libTavrix.so ./$libdir/libTavrix.so.1 ./$libdir/pkgconfig/tavrix.pc \
    ./usr/include/Tavrix.h ./lib/udev/rules.d/70-ostrelo.rules
for pkg in ostrelo-cli libtavrix; do
    grep -q appOstrelo <<<"$(contents $pkg)" && fail "$pkg carries the window"
done

root="$work/root"
for pkg in ostrelo-cli ostrelo libtavrix; do
    dpkg-deb -x "$(deb $pkg)" "$root"
done
grep -q 'ATTRS{idVendor}=="16c0", ATTRS{idProduct}=="2020", TAG+="uaccess"' \
    "$root/lib/udev/rules.d/70-ostrelo.rules" || fail "udev rule for the HID adapter"
# The README shipped beside it suggests the same rule.
readme="$root/usr/share/doc/libtavrix/README.md"
grep -q 'TAG+="uaccess"' "$readme" && ! grep -q plugdev "$readme" || fail "libtavrix README does not show the shipped rule"

# A C program built from the unpacked package with pkg-config, as a developer
# builds one: it finds Tavrix.h and links libTavrix.so.1.
export PKG_CONFIG_SYSROOT_DIR="$root" PKG_CONFIG_LIBDIR="$root/$libdir/pkgconfig"
tavrix_flags=$(pkg-config --cflags --libs tavrix) || fail "pkg-config tavrix"
case "$tavrix_flags" in *"-I$root/usr/include"*"-L$root/$libdir"*"-lTavrix"*) ;;
    *) fail "pkg-config tavrix gives: $tavrix_flags" ;; esac
unset PKG_CONFIG_SYSROOT_DIR PKG_CONFIG_LIBDIR
cat >"$work/tavrix_user.c" <<'C'
#include <Tavrix.h>
#include <stdio.h>
int main(void) {
    uint8_t b[4] = {0};
    /* Loaded, nothing open: controller mode, and an exchange finds no device. */
    printf("%d %d\n", (int)XF_GetDevType(), (int)UserSpiDataExchange(b, b, 4));
    return 0;
}
C
# shellcheck disable=SC2086 # the flags are words
cc -std=c99 -Wall -Werror "$work/tavrix_user.c" -o "$work/tavrix_user" $tavrix_flags || fail "building against libtavrix"
grep -q 'NEEDED.*\[libTavrix\.so\.1\]' <<<"$(readelf -d "$work/tavrix_user")" || fail "the program does not link libTavrix.so.1"
[ "$(LD_LIBRARY_PATH="$root/$libdir" "$work/tavrix_user")" = "1 -1" ] || fail "the program built against libtavrix"
if command -v desktop-file-validate >/dev/null; then
    desktop-file-validate "$root/usr/share/applications/ostrelo.desktop" || fail "desktop entry"
fi

# The manual page: valid, and it documents what scripts depend on.
man="$root/usr/share/man/man1/ostrelo-cli.1.gz"
gzip -t "$man" || fail "manual page"
page=$(zcat "$man")
for section in NAME SYNOPSIS COMMANDS MATCHING VERSIONS REPORT HISTORY "EXIT STATUS" SIGNALS ENVIRONMENT; do
    grep -qx "\.SH $section" <<<"$page" || fail "manual page lacks the section $section"
done
for word in --loose-match --allow-downgrade --force --allow-missing --expect-nodes --require-hardware \
            version_mismatch SIGHUP OSTRELO_CAN OSTRELO_HISTORY file_hex; do
    grep -qF -- "$word" <<<"$page" || fail "manual page does not mention $word"
done
if command -v groff >/dev/null; then
    zcat "$man" | groff -man -Tutf8 -ww -z 2>"$work/groff.err" || true
    [ ! -s "$work/groff.err" ] || { cat "$work/groff.err"; fail "groff warns about the manual page"; }
fi

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
echo "packages ok: $(deb ostrelo-cli) $(deb ostrelo) $(deb libtavrix)"
