#!/usr/bin/env bash
# Runs a Windows program of the cross build under wine, in a wine prefix of
# its own beside the build. When wine is missing or cannot start, prints
# WINE_UNAVAILABLE (CTest counts the test as skipped) and exits 0.
set -u
exe=$1
shift
wine=$(command -v wine64 || command -v wine || true)
if [ -z "$wine" ] && [ -x /usr/lib/wine/wine64 ]; then
    wine=/usr/lib/wine/wine64
fi
if [ -z "$wine" ]; then
    echo "WINE_UNAVAILABLE: no wine64 on this machine"
    exit 0
fi
export WINEPREFIX="${OSTRELO_WINEPREFIX:-$(dirname "$(readlink -f "$exe")")/wineprefix}"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
mkdir -p "$WINEPREFIX"
# The first start creates the prefix; parallel tests wait for it. wineboot
# returns before the registry files are written, hence a marker of our own.
ready="$WINEPREFIX/.ostrelo-ready"
flock "$WINEPREFIX/.lock" sh -c '[ -f "$2" ] || { "$1" wineboot --init >/dev/null 2>&1 && touch "$2"; }' sh "$wine" "$ready"
if [ ! -f "$ready" ]; then
    echo "WINE_UNAVAILABLE: wine could not create its prefix in $WINEPREFIX"
    exit 0
fi
exec "$wine" "$exe" "$@"
