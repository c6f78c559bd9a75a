#!/bin/sh
# kestrel-capture --decode and kestrel-decode as README.md shows them.
# Usage: decode_tools_test.sh <source-dir> <build-dir>
set -u
src=$1
build=$2
base=$(mktemp -d /tmp/kestrel_decode_XXXXXX)
trap 'rm -rf "$base"' EXIT
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# expect <file> <text>: the file holds a line with the text.
expect() {
    grep -qF -- "$2" "$1" || { fail "no '$2' in $1:"; head -20 "$1"; }
}

# A capture of a UART and a CAN bus, decoded while it runs.
KESTREL_SIM_SIGNALS='2=uart:9600:Hi!;5=can:500k:0x123:0xDE,0xAD' \
    env -u KESTREL_SIM_DEVICES "$src/sim/run" "$build" "$build/tools/kestrel-capture" \
    -r 10M -n 300k --name 2=tx -o "$base/bus.sr" \
    --decode 'uart rx=tx baud=9600' --decode 'can rx=5 bitrate=500k' >"$base/out" 2>"$base/err" ||
    fail "kestrel-capture --decode exited $?"
expect "$base/out" "uart-1 +0.000041700 s sample 10417 DATA 0x48"
expect "$base/out" "DATA 0x69"
expect "$base/out" "can-2 -0.000978000 s sample 220 CAN_ID 0x123"
expect "$base/out" "CAN_CRC 0xb6e"
expect "$base/out" "uart-1: 19 frames"
expect "$base/out" "can-2: 1200 frames"
# A refused decoder ends the capture before it writes anything.
KESTREL_SIM_SIGNALS='2=uart:9600:Hi!' env -u KESTREL_SIM_DEVICES "$src/sim/run" "$build" \
    "$build/tools/kestrel-capture" -r 10M -n 100k -o "$base/no.sr" --decode 'uart rx=40 baud=9600' \
    >"$base/out2" 2>"$base/err2"
[ $? -eq 2 ] || fail "a refused --decode did not exit 2"
expect "$base/err2" "--decode 'uart rx=40 baud=9600': column 6 ('rx=40'): channel outside 0..17"
[ ! -e "$base/no.sr" ] || fail "a refused --decode wrote a file"

# The file again, in the three formats.
dec=$build/tools/kestrel-decode
"$dec" "$base/bus.sr" --decode 'uart rx=tx baud=9600' >"$base/text" 2>"$base/count" ||
    fail "kestrel-decode exited $?"
expect "$base/text" "uart-1 +0.001041700 s sample 10417 DATA 0x48"
expect "$base/count" "uart-1: 19 frames"
"$dec" "$base/bus.sr" --decode 'can rx=ch5 bitrate=500000' --format csv >"$base/csv" 2>/dev/null
expect "$base/csv" "decoder,time,start_sample,end_sample,kind,value,flags"
expect "$base/csv" "can-1,2.2e-05,220,494,CAN_ID,291,"
"$dec" "$base/bus.sr" --decode 'can rx=5 bitrate=500000' --format jsonl >"$base/jsonl" 2>/dev/null
expect "$base/jsonl" '{"decoder":"can-1","time":2.2e-05,"start":220,"end":494,"kind":"CAN_ID","value":291,"flags":""}'
[ "$(grep -c . "$base/jsonl")" -eq 1200 ] || fail "jsonl: $(grep -c . "$base/jsonl") lines, not 1200"

"$dec" "$base/bus.sr" --decode 'uart rx=9 baud=x' >/dev/null 2>"$base/err3"
[ $? -eq 2 ] || fail "a refused decoder did not exit 2"
expect "$base/err3" "column 11 ('baud=x'): not a number"
"$dec" "$base/none.sr" --decode 'uart rx=0 baud=9600' >/dev/null 2>"$base/err4"
[ $? -eq 7 ] || fail "a missing file did not exit 7"
expect "$base/err4" "none.sr"

[ $failures -eq 0 ] && echo "decode tools ok"
exit $failures
