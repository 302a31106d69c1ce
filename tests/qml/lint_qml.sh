#!/usr/bin/env bash
# qmllint over the pages of the Ostrelo module; any warning fails.
# Usage: lint_qml.sh QMLLINT QML_SOURCE_DIR MODULE_BUILD_DIR
# MODULE_BUILD_DIR holds the built module (qmldir and appOstrelo.qmltypes,
# which describe the controller and the list model).
set -euo pipefail
qmllint="$1"
src="$2"
build="$3"
# One category is off: Qt 6.4 reports every id of a page that a delegate uses
# (the page, its list view) as "unqualified access", and its remedy, the
# pragma "ComponentBehavior: Bound", arrives only with Qt 6.5. Ids and
# properties that do not resolve are still reported by the other categories.
out=$("$qmllint" --unqualified disable -I "$build" "$src"/*.qml 2>&1) || { echo "$out"; exit 1; }
if [ -n "$out" ]; then
    echo "$out"
    exit 1
fi
echo "qmllint: $(ls "$src"/*.qml | wc -l) files clean"
