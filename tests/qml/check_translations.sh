#!/usr/bin/env bash
# Runs lupdate over the sources into a scratch copy of the English .ts and
# fails when a text has no finished translation (new, or changed at the
# source) or when a translated entry's source text is gone.
# Usage: check_translations.sh LUPDATE SOURCE_DIR SCRATCH_DIR
set -euo pipefail
lupdate="$1"
src="$2"
scratch="$3"
mkdir -p "$scratch"
cp "$src/i18n/ostrelo_en.ts" "$scratch/ostrelo_en.ts"
"$lupdate" -silent -locations none -target-language en "$src/app" "$src/qml" -ts "$scratch/ostrelo_en.ts"
bad=$(grep -n -B3 'type="\(unfinished\|vanished\|obsolete\)"' "$scratch/ostrelo_en.ts" || true)
if [ -n "$bad" ]; then
    echo "i18n/ostrelo_en.ts is not up to date with the sources:"
    echo "$bad"
    echo "Run: lupdate -locations none -no-obsolete -target-language en app qml -ts i18n/ostrelo_en.ts"
    echo "and translate the entries marked unfinished."
    exit 1
fi
echo "all $(grep -c '<message' "$scratch/ostrelo_en.ts") texts translated"
