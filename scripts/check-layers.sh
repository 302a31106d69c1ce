#!/usr/bin/env bash
# Fails, naming file:line, when an include or a link between the program's
# layers points up. From the bottom:
#    0 motor protocol            example/motor_protocol.*       ostrelo_motor_protocol
#   10 platform (time, files)    platform/*                     ostrelo_platform
#   20 adapter functions         platform/controlcan/*          controlcan*
#   25 bench (a transport)       sim/*                          ostrelo_sim*
#   30 backends, device manager  example/can_backend*, device_mng*, client_store.h,
#                                CO_driver_target.h              ostrelo_canaccess
#   40 CANopen stack + binding   301/*, example/CO_driver*, OD*  ostrelo_canopen*
#   50 client API                example/client_api*, client_wait.h,
#                                device_mng_apply.cpp            ostrelo_client
#   55 upgrade history           history/*                      ostrelo_history(_none)
#   60 application core, CLI     app/*, cli/*                    ostrelo_appcore
#   70 QML                       qml/*
# Besides: app/ and cli/ never include each other, the bench is used only by
# programs (their main files and executables), never by a library, and a
# library target compiles only files of its own layer.
# Usage: scripts/check-layers.sh [ROOT]   (default: this script's checkout)
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

# Include edges allowed although they point up, each with its reason.
ALLOWED=(
    # The device manager's store holds each channel's SDO client record by
    # value; the device manager calls nothing of the stack.
    "example/client_store.h -> 301/CO_SDOclient.h"
)
# Files that compose a program and so may use the bench.
PROGRAM_MAINS=(app/main.cpp cli/main.cpp)
SEARCH_DIRS=(platform platform/controlcan 301 example history sim app cli)

# Sets REPLY to the layer of a file ("" when it has none).
layer_of_file() {
    case "$1" in
    example/motor_protocol.*) REPLY=0 ;;
    platform/controlcan/*) REPLY=20 ;;
    platform/*) REPLY=10 ;;
    sim/*) REPLY=25 ;;
    example/device_mng_apply.cpp) REPLY=50 ;;
    example/can_backend* | example/device_mng* | example/client_store.h | example/CO_driver_target.h) REPLY=30 ;;
    301/* | example/CO_driver* | example/OD.*) REPLY=40 ;;
    example/client_api* | example/client_wait.h) REPLY=50 ;;
    history/*) REPLY=55 ;;
    app/* | cli/*) REPLY=60 ;;
    qml/*) REPLY=70 ;;
    *) REPLY="" ;;
    esac
}

# Targets of the layers; programs (99) may link anything. Names not listed
# (Qt, threads, system libraries) are outside the model.
layer_of_target() {
    case "$1" in
    ostrelo_motor_protocol) echo 0 ;;
    ostrelo_platform) echo 10 ;;
    controlcan | controlcan_headers | controlcan_dll_objects | controlcan_by_ordinal) echo 20 ;;
    ostrelo_sim | ostrelo_sim_default) echo 25 ;;
    ostrelo_canaccess) echo 30 ;;
    ostrelo_canopen | ostrelo_canopen_binding) echo 40 ;;
    ostrelo_client) echo 50 ;;
    ostrelo_history|ostrelo_history_none) echo 55 ;;
    ostrelo_appcore) echo 60 ;;
    appOstrelo | ostrelo-cli | ostrelo-mkfw | ostrelo-bench | ControlCAN) echo 99 ;;
    ostrelo_* | controlcan*) echo "unmapped" ;;
    *) echo "" ;;
    esac
}

in_list() {
    local item="$1"
    shift
    local x
    for x in "$@"; do
        [ "$x" = "$item" ] && return 0
    done
    return 1
}

# Sets REPLY to the file a quoted include finds: the including file's folder
# first, then the layers' folders ("" for system, Qt or generated headers).
resolve() {
    local dir="$1" name="$2" d
    REPLY=""
    for d in "$dir" "${SEARCH_DIRS[@]}"; do
        if [ -f "$d/$name" ]; then
            REPLY="$d/$name"
            if [[ "$REPLY" == *../* || "$REPLY" == *./* ]]; then
                REPLY=$(realpath -m --relative-to=. "$REPLY")
            fi
            return
        fi
    done
}

failures=0
fail() {
    echo "check-layers: $*"
    failures=$((failures + 1))
}

# Includes.
mapfile -t FILES < <(find 301 example history platform sim app cli qml -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.qml' \) | sort)
for file in "${FILES[@]}"; do
    layer_of_file "$file"
    [ -n "$REPLY" ] || fail "$file: no layer for this file (add it to scripts/check-layers.sh)"
done
while IFS=: read -r file line name; do
    layer_of_file "$file"
    from="$REPLY"
    [ -n "$from" ] || continue
    resolve "${file%/*}" "$name"
    target="$REPLY"
    [ -n "$target" ] || continue
    layer_of_file "$target"
    to="$REPLY"
    [ -n "$to" ] || continue
    if in_list "$file -> $target" "${ALLOWED[@]}"; then
        continue
    fi
    if [ "$to" -gt "$from" ]; then
        fail "$file:$line: includes \"$name\" ($target, layer $to) from layer $from: points up"
    elif [ "$to" = 25 ] && [ "$from" != 25 ] && ! in_list "$file" "${PROGRAM_MAINS[@]}"; then
        fail "$file:$line: includes the bench's \"$name\"; only programs use the bench"
    elif [[ "${file%%/*}:${target%%/*}" =~ ^(app:cli|cli:app)$ ]]; then
        fail "$file:$line: includes \"$name\" ($target): app/ and cli/ stand side by side"
    fi
done < <(grep -Hn '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "${FILES[@]}" |
    sed 's/^\([^:]*\):\([0-9]*\):[^"]*"\([^"]*\)".*/\1:\2:\3/' || true)

# Links and sources, from the layers' CMake files: target_link_libraries(NAME
# [scope] items...) must point down; add_library/add_executable(NAME sources...)
# may compile only files of the target's own layer (programs: any).
while read -r kind where name item; do
    from=$(layer_of_target "$name")
    if [ "$kind" = src ]; then
        [[ "$item" == *.cpp ]] || continue # headers, .def, variables, generator expressions
        layer_of_file "$item"
        if [ "$from" = unmapped ]; then
            fail "$where: $name: a target without a layer (add it to scripts/check-layers.sh)"
        elif [ -n "$from" ] && [ "$from" != 99 ] && [ "$REPLY" != "$from" ]; then
            fail "$where: $name (layer $from) compiles $item (layer ${REPLY:-none})"
        fi
        continue
    fi
    to=$(layer_of_target "$item")
    if [ "$from" = unmapped ] || [ "$to" = unmapped ]; then
        fail "$where: $name links $item: a target without a layer (add it to scripts/check-layers.sh)"
        continue
    fi
    [ -n "$from" ] && [ -n "$to" ] || continue
    if [ "$to" -gt "$from" ]; then
        fail "$where: $name (layer $from) links $item (layer $to): points up"
    elif [ "$to" = 25 ] && [ "$from" != 25 ] && [ "$from" != 99 ]; then
        fail "$where: library $name links the bench ($item); only programs do"
    fi
done < <(for f in CMakeLists.txt 301/CMakeLists.txt example/CMakeLists.txt history/CMakeLists.txt \
    platform/CMakeLists.txt sim/CMakeLists.txt app/CMakeLists.txt cli/CMakeLists.txt qml/CMakeLists.txt; do
    [ -f "$f" ] || continue
    dir=$(dirname "$f")
    awk -v file="$f" -v dir="$dir" '
        function flush(   n, i, toks, tgt, item) {
            gsub(/[()]/, " ", buf)
            n = split(buf, toks, /[ \t]+/)
            i = 1
            while (i <= n && toks[i] == "") i++
            tgt = toks[i]
            for (i = i + 1; i <= n; i++) {
                item = toks[i]
                if (item == "" || item ~ /^(PUBLIC|PRIVATE|INTERFACE|STATIC|SHARED|OBJECT|MODULE|WIN32|EXCLUDE_FROM_ALL)$/) continue
                if (kind == "src") {
                    sub(/^\$\{CMAKE_CURRENT_SOURCE_DIR\}\//, "", item)
                    if (item ~ /^\$/) continue
                    item = dir "/" item
                    while (sub(/[^\/]+\/\.\.\//, "", item)) {}
                    sub(/^\.\//, "", item)
                }
                print kind " " file ":" start " " tgt " " item
            }
            buf = ""; open = 0
        }
        { sub(/#.*/, "") }
        !open && /(target_link_libraries|add_library|add_executable|qt_add_executable)[ \t]*\(/ {
            open = 1; start = NR; buf = ""; depth = 0
            kind = ($0 ~ /target_link_libraries/) ? "link" : "src"
            sub(/^.*(target_link_libraries|add_library|qt_add_executable|add_executable)[ \t]*/, "")
        }
        open {
            buf = buf " " $0
            depth += gsub(/\(/, "(") - gsub(/\)/, ")")
            if (depth <= 0) flush()
        }' "$f"
done)

if [ "$failures" -gt 0 ]; then
    echo "check-layers: $failures problem(s)"
    exit 1
fi
echo "check-layers: every include and link points down"
