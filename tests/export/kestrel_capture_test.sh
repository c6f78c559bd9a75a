#!/bin/sh
# kestrel-capture run as README.md shows it: sim/run <build> <build>/tools/kestrel-capture ...
# Usage: kestrel_capture_test.sh <source-dir> <build-dir>
set -u
src=$1
build=$2
tool=$build/tools/kestrel-capture
base=$(mktemp -d /tmp/kestrel_capture_XXXXXX)
trap 'rm -rf "$base"' EXIT
# Outputs of the tool in $work, its messages beside it.
work=$base/files
mkdir "$work"
failures=0

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# run <expected exit> <args...>: messages in $base/out and $base/err.
run() {
    want=$1
    shift
    env -u KESTREL_SIM_DEVICES "$src/sim/run" "$build" "$tool" "$@" >"$base/out" 2>"$base/err"
    got=$?
    if [ "$got" -ne "$want" ]; then
        fail "kestrel-capture $* exited $got, expected $want"
        cat "$base/out" "$base/err"
    fi
}

sigrok() {
    env -u LD_LIBRARY_PATH sigrok-cli "$@"
}
have_sigrok=0
if env -u LD_LIBRARY_PATH sigrok-cli --version >/dev/null 2>&1; then
    have_sigrok=1
else
    echo "note: sigrok-cli missing, the files are checked without it"
fi

run 0 --help
grep -q -- "--pre-trigger" "$base/out" || fail "--help lacks --pre-trigger"
grep -q "Exit codes" "$base/out" || fail "--help lacks the exit codes"

run 0 --list
grep -q "^7302101000001 *KESTREL ONE *18 " "$base/out" || fail "--list: $(cat "$base/out")"

KESTREL_SIM_DEVICES=7302101000001,7302103000007 \
    "$src/sim/run" "$build" "$tool" --list >"$base/out" 2>&1 || fail "--list of two devices"
grep -q "^7302103000007 *KESTREL THREE *54 " "$base/out" || fail "--list: $(cat "$base/out")"
# Capturing with both plugged is refused at once: their USB3 bridges cannot be told apart.
KESTREL_SIM_DEVICES=7302101000001,7302103000007 \
    "$src/sim/run" "$build" "$tool" -d 7302103000007 -o "$work/x.vcd" >"$base/out" 2>"$base/err"
[ $? -eq 6 ] || fail "a capture with two devices plugged is not exit 6"
grep -q "^kestrel-capture: cannot open 7302103000007: OHWAPI_NOT_SUPPORTED (1001): device 7302103000007: 2 USB3 bridges 730210100001 on the bus" "$base/err" ||
    fail "two devices: $(cat "$base/err")"
grep -q configuring "$base/err" && fail "two devices: refused only after configuring"

# No device: its own exit code, for --list and for a capture.
KESTREL_SIM_DEVICES= "$src/sim/run" "$build" "$tool" --list >/dev/null 2>&1
[ $? -eq 3 ] || fail "--list without a device is not exit 3"
KESTREL_SIM_DEVICES= "$src/sim/run" "$build" "$tool" -o "$work/x.vcd" >/dev/null 2>"$base/err"
[ $? -eq 3 ] || fail "a capture without a device is not exit 3"
grep -q "no KESTREL device found" "$base/err" || fail "no one-line error: $(cat "$base/err")"
run 3 -d 7302101999999 -o "$work/x.vcd"

# Bad arguments, refused before any capture.
run 2 -o "$work/x.txt"
run 2 -t 18:rising -o "$work/x.vcd"
run 2 -t 3:sideways -o "$work/x.vcd"
run 2 -c 0-18 -o "$work/x.vcd"
run 2 --rate 2G -o "$work/x.vcd"
run 2 --depth lots -o "$work/x.vcd"
run 2 --bogus
run 2 --pre-trigger 0.x -o "$work/x.vcd"
run 2 --pre-trigger 2M -o "$work/x.vcd"
run 7 -o "$work/missing/x.vcd"
[ -z "$(ls "$work")" ] || fail "files left behind: $(ls "$work")"

# expect <exit> <message> <args...>: the exit code and the one line on standard error, at
# once (before any capture: no "configuring").
expect() {
    code=$1
    msg=$2
    shift 2
    run "$code" "$@"
    grep -qF "kestrel-capture: $msg" "$base/err" || fail "$*: message $(cat "$base/err")"
    grep -q configuring "$base/err" && fail "$*: refused only after configuring"
}
expect 7 "cannot write $work/missing/x.vcd: No such file or directory" -o "$work/missing/x.vcd"
mkdir "$work/dir.vcd"
expect 7 "cannot write $work/dir.vcd: Is a directory" -o "$work/dir.vcd"
rmdir "$work/dir.vcd"
expect 2 "--depth 1 is outside 2..1000G samples" -n 1 -o "$work/x.vcd"
expect 2 "--depth 99999999999999 is outside 2..1000G samples" -n 99999999999999 -o "$work/x.vcd"
expect 2 "--rate 5G is outside 1..1G Hz" -r 5G -o "$work/x.vcd"
expect 2 "--threshold 3100 is outside 0..3000 mV" --threshold 3100 -o "$work/x.vcd"
expect 2 "--threshold 2600 is outside 0..2500 mV (with an external trigger)" \
    --threshold 2600 -t ext:rising -o "$work/x.vcd"
expect 2 "--vcc 1000 is outside 1800..3300 mV (or 0, off)" --vcc 1000 -o "$work/x.vcd"
[ -z "$(ls -a "$work" | grep -v '^\.\.\?$')" ] || fail "files left behind: $(ls -a "$work")"

# A write the system refuses (a file size limit stands for a full disk): its reason, once.
(
    ulimit -f 200
    trap '' XFSZ
    env -u KESTREL_SIM_DEVICES "$src/sim/run" "$build" "$tool" -n 2M -o "$work/big.vcd" \
        >"$base/out" 2>"$base/err"
)
rc=$?
[ $rc -eq 7 ] || fail "a refused write: exit $rc, not 7"
grep -q "^kestrel-capture: cannot write $work/big.vcd: File too large$" "$base/err" ||
    fail "a refused write: $(tail -1 "$base/err")"
[ -z "$(ls -a "$work" | grep -v '^\.\.\?$')" ] || fail "files left behind: $(ls -a "$work")"

# Versions of the tool and of the library it runs on.
run 0 --version
grep -q "^kestrel-capture [0-9]*\.[0-9]*\.[0-9]* (library [0-9]*\.[0-9]*\.[0-9]*)$" "$base/out" ||
    fail "--version: $(cat "$base/out")"

# A triggered capture to VCD: the device's UART line on channel 8 decodes to its text.
run 0 -n 2M -t 3:rising -o "$work/uart.vcd" --name 8=rx
grep -q "^wrote $work/uart.vcd: 2000000 samples at 250 MHz, trigger at 10000, 18 channels, [0-9.]* MB in [0-9.]* s$" "$base/out" ||
    fail "summary: $(cat "$base/out")"
# The library's log stays out of the tool's output.
[ "$(wc -l <"$base/out")" -eq 1 ] || fail "more than the summary: $(cat "$base/out")"
grep -q "waiting for trigger" "$base/err" || fail "no trigger state in: $(cat "$base/err")"
grep -q "streaming" "$base/err" || fail "no streaming state in: $(cat "$base/err")"
grep -q '^\$comment trigger at sample 10000 \$end' "$work/uart.vcd" || fail "no trigger comment"
grep -q '^\$var wire 1 [^ ]* rx \$end' "$work/uart.vcd" || fail "no wire named rx"
if [ $have_sigrok -eq 1 ]; then
    sigrok -I vcd -i "$work/uart.vcd" -P uart:rx=rx:baudrate=115200 -A uart=rx-data >"$base/dec"
    # "KESTREL 0\r\n", as the device repeats it.
    tr -d '\n' <"$base/dec" | grep -q "uart-1: 4Buart-1: 45uart-1: 53uart-1: 54uart-1: 52uart-1: 45uart-1: 4Cuart-1: 20uart-1: 30" ||
        fail "uart decode: $(head -20 "$base/dec")"
fi

# With -v the library's log is on standard error, still not in the tool's output.
run 0 -n 20k -v -o "$work/v.vcd"
[ "$(wc -l <"$base/out")" -eq 1 ] || fail "-v: more than the summary: $(cat "$base/out")"
grep -q "^kestrel info: Capture done, post_trig_samples = " "$base/err" || fail "-v: $(cat "$base/err")"
rm -f "$work/v.vcd"

# Chosen channels of a three-group device to a session file and to CSV.
KESTREL_SIM_DEVICES=7302103000007 "$src/sim/run" "$build" "$tool" -n 300k -c 0-3,40,53 \
    -o "$work/three.sr" >"$base/out" 2>"$base/err" || fail "54-channel capture: $(cat "$base/err")"
[ -s "$work/three.sr" ] || fail "no session file"
if [ $have_sigrok -eq 1 ]; then
    sigrok -i "$work/three.sr" --show >"$base/show"
    grep -q "Channels: 6" "$base/show" || fail "session: $(cat "$base/show")"
    grep -q "ch53: logic" "$base/show" || fail "session: $(cat "$base/show")"
    grep -q "Logic sample count: 300000" "$base/show" || fail "session: $(cat "$base/show")"
fi
run 0 -n 100k -c 5 --pre-trigger 0.5 -o "$work/one.csv"
head -2 "$work/one.csv" | tr '\n' ' ' | grep -q "^sample,time,channel,level 0,0,ch5," ||
    fail "csv: $(head -3 "$work/one.csv")"
# The pre-trigger asked for is kept; only the external input's simple launch fixes it.
grep -q "^50000,[^,]*,trigger,1" "$work/one.csv" || fail "pre-trigger not kept: $(grep trigger "$work/one.csv")"
# The external input keeps its own: a pre-trigger asked with it is refused, as in Python.
expect 2 "--pre-trigger cannot be chosen with the external trigger input (ext:rising)" \
    -n 100k --pre-trigger 2k -t ext:rising -o "$work/ext.csv"
expect 2 "--pre-trigger 1.0: a ratio is at least 0 and below 1" --pre-trigger 1.0 -o "$work/x.vcd"
run 0 --help
grep -q "0 keeps 10 % of the depth" "$base/out" || fail "--help: nothing on --pre-trigger 0"
run 0 -n 20k --pre-trigger 0 -c 0 -o "$work/zero.csv"
grep -q "^note: a pre-trigger of 0 keeps 10 % of the depth before the trigger" "$base/err" ||
    fail "--pre-trigger 0: $(cat "$base/err")"
# Untriggered: the summary says so rather than give a trigger position; progress ends at 100 %.
grep -q "^wrote $work/zero.csv: 20000 samples at 250 MHz, no trigger (free run), 1 channel," \
    "$base/out" || fail "free run: $(cat "$base/out")"
grep -q "streaming 100 %" "$base/err" || fail "progress short of 100 %: $(cat "$base/err")"
rm -f "$work/zero.csv"

# Channel names stand for their channels in -t and -c; each name belongs to one channel.
expect 2 "--name 99=x: channel 99 is outside 0..17" --name 99=x -o "$work/x.vcd"
expect 2 "channels '5-2': the range is reversed (5 > 2)" -c 5-2 -o "$work/x.vcd"
expect 2 "--name: channels 3 and 5 are both named 'x'" --name 3=x --name 5=x -o "$work/x.vcd"
expect 2 "--name: channels 3 and 5 are both named 'ch3'" --name 5=ch3 -o "$work/x.vcd"
expect 2 "invalid --name 'x=3' (use CH=NAME)" --name x=3 -o "$work/x.vcd"
run 0 -r 10M -n 20000 --pre-trigger 1000 --name 9=clk --name 10=en -t "clk rise & en high" \
    -c en,clk -o "$work/named.csv"
sed -n 2,3p "$work/named.csv" | cut -d, -f3 | tr '\n' ' ' | grep -q "^clk en $" ||
    fail "named channels: $(head -3 "$work/named.csv")"
grep -q "^1000,[^,]*,clk,1" "$work/named.csv" || fail "clk rise not at the trigger"
for r in 10MHz 10M 1e7; do
    run 0 -r $r -n 2k -c 0 -o "$work/rate.csv"
    grep -q " at 10 MHz," "$base/out" || fail "-r $r: $(cat "$base/out")"
done
rm -f "$work/named.csv" "$work/rate.csv"

# --timeout 0 waits for ever: still waiting when Ctrl-C comes.
KESTREL_SIM_SIGNALS='0=0' "$src/sim/run" "$build" "$tool" -n 20k -t "ch0 rise" --timeout 0 \
    -o "$work/never.vcd" >"$base/out" 2>"$base/err" &
pid=$!
i=0
while ! grep -q "waiting for trigger" "$base/err" && kill -0 $pid 2>/dev/null && [ $i -lt 600 ]; do
    sleep 0.1
    i=$((i + 1))
done
kill -INT $pid
wait $pid
rc=$?
[ $rc -eq 5 ] || fail "--timeout 0: exit $rc, not 5 (Ctrl-C): $(cat "$base/err")"

# A mistake in the virtual device's signals: the device says it, the tool ends with exit 2.
for signals in "3=hihg" "40=1"; do
    KESTREL_SIM_SIGNALS=$signals "$src/sim/run" "$build" "$tool" -n 20k -o "$work/x.vcd" \
        >"$base/out" 2>"$base/err"
    rc=$?
    [ $rc -eq 2 ] || fail "KESTREL_SIM_SIGNALS=$signals: exit $rc, not 2"
    grep -q "^kestrel_sim: KESTREL_SIM_SIGNALS: " "$base/err" ||
        fail "KESTREL_SIM_SIGNALS=$signals: $(cat "$base/err")"
done

# Two devices: --list keeps the refusal out of the firmware columns.
KESTREL_SIM_DEVICES=7302101000001,7302103000007 \
    "$src/sim/run" "$build" "$tool" --list >"$base/out" 2>"$base/err" || fail "--list of two"
grep -q "^7302103000007 *KESTREL THREE *54 *? *? *$" "$base/out" || fail "--list: $(cat "$base/out")"
grep -q "^kestrel-capture: cannot open 7302103000007: OHWAPI_NOT_SUPPORTED" "$base/err" ||
    fail "--list: no reason: $(cat "$base/err")"

# CSV in columns, as sigrok's CSV input reads it: the options are in its header.
run 0 -r 10M -n 20k --name 8=uart -c 0-2,uart --csv-layout columns -o "$work/cols.csv"
sed -n 4p "$work/cols.csv" | grep -q "^sample,time,ch0,ch1,ch2,uart$" ||
    fail "columns: $(head -5 "$work/cols.csv")"
grep -q "^; samplerate=10000000$" "$work/cols.csv" || fail "columns: no rate"
sed -n 5p "$work/cols.csv" | grep -q "^0,0,[01],[01],[01],[01]$" || fail "columns: first row"
rows=$(grep -c "^[0-9]" "$work/cols.csv")
if [ $have_sigrok -eq 1 ]; then
    opts=$(sed -n 's/^; a row per change; sigrok-cli -I //p' "$work/cols.csv")
    [ "$opts" = "csv:column_formats=-,-,4l:samplerate=10000000" ] || fail "columns: options $opts"
    sigrok -I "$opts" -i "$work/cols.csv" --show >"$base/show" 2>&1
    grep -q "Channels: 4" "$base/show" || fail "columns in sigrok: $(cat "$base/show")"
    grep -q "uart: logic" "$base/show" || fail "columns in sigrok: $(cat "$base/show")"
    grep -q "Logic sample count: $rows$" "$base/show" || fail "columns: $(cat "$base/show")"
    # The levels sigrok reads are the file's, row by row.
    sigrok -I "$opts" -i "$work/cols.csv" -O csv | grep "^[01]" >"$base/levels"
    grep "^[0-9]" "$work/cols.csv" | cut -d, -f3- | cmp -s - "$base/levels" ||
        fail "columns: sigrok reads other levels: $(head -3 "$base/levels")"
fi
run 2 --csv-layout rows -o "$work/x.csv"

# Trigger programs: explained without a capture, refused with the reason, run on both
# engines in the order asked.
run 0 --explain-trigger -t "ch3 rise; ch4 fall within 10us" --trigger-b "2:falling"
grep -q "trigger clock: 125000000 Hz" "$base/out" || fail "explain: $(cat "$base/out")"
grep -q "within 1250 ticks (10 us)" "$base/out" || fail "explain: $(cat "$base/out")"
grep -q "engine B: program: 2:falling" "$base/out" || fail "explain: $(cat "$base/out")"
run 2 --explain-trigger -t "ch3 rise & ch4 fall"
grep -q "invalid --trigger 'ch3 rise & ch4 fall': column 12 ('ch'): a step waits for one edge" \
    "$base/err" || fail "refusal: $(cat "$base/err")"
run 2 --trigger-b "ch1 pulse high" -o "$work/x.vcd"
run 2 --order sideways -o "$work/x.vcd"
[ -z "$(ls "$work" | grep x.vcd)" ] || fail "file written for refused arguments"
run 0 -r 10M -n 20000 --pre-trigger 1000 -t "ch9 rise" --trigger-b "ch10 rise & ch9 high" \
    --order a-then-b -c 9-10 -o "$work/prog.csv"
grep -q "^1000,[^,]*,trigger,1" "$work/prog.csv" || fail "program: $(grep trigger "$work/prog.csv")"
grep -q "^1000,[^,]*,ch10,1" "$work/prog.csv" || fail "B's edge not at the trigger"

# Ctrl-C while streaming: exit 5; with --keep-partial what was captured is written.
interrupt() {
    rm -f "$base/err"
    env -u KESTREL_SIM_DEVICES "$src/sim/run" "$build" "$tool" -n 100M -o "$1" "$2" \
        >"$base/out" 2>"$base/err" &
    pid=$!
    i=0
    while ! grep -q "streaming [1-9]" "$base/err" && [ $i -lt 600 ]; do
        sleep 0.1
        i=$((i + 1))
    done
    kill -INT $pid
    wait $pid
    echo $?
}
rc=$(interrupt "$work/part.sr" --keep-partial)
[ "$rc" -eq 5 ] || fail "interrupted capture exited $rc: $(cat "$base/err")"
grep -q "aborted: kept" "$base/err" || fail "nothing kept: $(cat "$base/err")"
[ -s "$work/part.sr" ] || fail "no partial file"
if [ $have_sigrok -eq 1 ]; then
    sigrok -i "$work/part.sr" --show | grep -q "Logic sample count: [1-9]" ||
        fail "partial session unreadable"
fi
rc=$(interrupt "$work/none.sr" --timeout=10)
[ "$rc" -eq 5 ] || fail "interrupted capture exited $rc"
[ ! -e "$work/none.sr" ] || fail "written without --keep-partial"
ls "$work" | grep -q '^\.' && fail "temporary files left: $(ls -a "$work")"

if [ $failures -ne 0 ]; then
    echo "$failures failures"
    exit 1
fi
echo "kestrel-capture ok"
