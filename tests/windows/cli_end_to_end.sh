#!/usr/bin/env bash
# ostrelo-cli.exe under wine against the stand-in ControlCAN.dll beside it:
# the demo images of the default bench, one upgrade of every motor, exit 0,
# and a report in which every motor ended on its new version.
# Usage: cli_end_to_end.sh WINE_RUN MKFW_EXE CLI_EXE WORK_DIR
set -euo pipefail
run=$1
mkfw=$2
cli=$3
work=$4
rm -rf "$work"
mkdir -p "$work"

out=$("$run" "$mkfw" --size 4096 "$work/fw")
case "$out" in WINE_UNAVAILABLE*) echo "$out"; exit 0 ;; esac
images=$(ls "$work/fw"/*.bin | wc -l)
[ "$images" -gt 0 ] || { echo "FAIL: no demo images"; exit 1; }

status=0
"$run" "$cli" upgrade --folder "$work/fw" --report "$work/report.json" --trace "$work/trace.log" \
    >"$work/out.txt" 2>"$work/log.txt" ||
    status=$?
cat "$work/out.txt"
[ "$status" -eq 0 ] || { tail -n 20 "$work/log.txt"; echo "FAIL: exit code $status"; exit 1; }
# One motor per line in the record; every one ok, its device CRC equal to the
# file's, and as many motors as demo images (one image per motor identity).
report="$work/report.json"
motors=$(grep -c '^{"channel":' "$report" || true)
ok=$(grep -c '"outcome":"ok"' "$report" || true)
[ "$motors" -gt 0 ] && [ "$ok" -eq "$motors" ] || { echo "FAIL: $ok of $motors motors ok"; exit 1; }
grep '^{"channel":' "$report" | while read -r line; do
    file_crc=$(printf '%s' "$line" | sed -n 's/.*"file_crc":"\([^"]*\)".*/\1/p')
    device_crc=$(printf '%s' "$line" | sed -n 's/.*"device_crc":"\([^"]*\)".*/\1/p')
    [ -n "$file_crc" ] && [ "$file_crc" = "$device_crc" ] || { echo "FAIL: CRC $file_crc vs $device_crc"; exit 1; }
done
grep -q "\"summary\":{\"motors\":$motors,\"ok\":$motors,\"failed\":0" "$report" ||
    { echo "FAIL: summary"; exit 1; }
# The stand-in DLL is the simulated bench, and the record says so.
grep -q '"bus":"simulated bench","simulated":true' "$report" || { echo "FAIL: the record hides the simulator"; exit 1; }
grep -q 'running on the simulated motor bench' "$work/log.txt" || { echo "FAIL: no word of the simulator"; exit 1; }
echo "report: $motors motors upgraded"

# The frame trace, written once on the program's side of the DLL: candump log
# lines only, with requests to and answers from the bootloaders.
trace="$work/trace.log"
bad=$(grep -cvE '^\([0-9]+\.[0-9]{6}\) zhcx[0-3]\.[0-5] [0-9A-F]{3}#([0-9A-F]{2}){0,8}$' "$trace" || true)
[ "$bad" -eq 0 ] || { grep -vE '^\(' "$trace" | head -n 3; echo "FAIL: $bad malformed trace lines"; exit 1; }
grep -qE ' 6[0-7][0-9A-F]#' "$trace" && grep -qE ' 5[89A-F][0-9A-F]#' "$trace" ||
    { echo "FAIL: no SDO traffic in the trace"; exit 1; }
echo "trace: $(wc -l <"$trace") frames"

# This build has no SQLite: the history command says so in one line.
status=0
"$run" "$cli" history >"$work/history.out" 2>"$work/history.err" || status=$?
said=$(grep -c 'ostrelo-cli history: this build keeps no upgrade history' "$work/history.err" || true)
[ "$status" -eq 2 ] && [ "$said" -eq 1 ] && [ ! -s "$work/history.out" ] ||
    { cat "$work/history.err"; echo "FAIL: history in a build without SQLite (exit $status)"; exit 1; }
echo "history: none in this build, said in one line"
