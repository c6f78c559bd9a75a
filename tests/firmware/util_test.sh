#!/bin/sh
# kestrel_util in its own process against a fresh virtual bus: update, serial number, and
# its argument checks. Usage: util_test.sh <sim/run> <build-dir> <kestrel_util>
set -eu
run=$1
build=$2
util=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
head -c 3000 /dev/urandom >"$work/fpga.bin"
head -c 1200 /dev/urandom >"$work/mcu.bin"
head -c 800 /dev/urandom >"$work/recovery_mcu.bin"
export KESTREL_FPGA_IMAGE="$work/fpga.bin"
export KESTREL_MCU_IMAGE="$work/mcu.bin"
export KESTREL_RECOVERY_IMAGE="$work/recovery_mcu.bin"
export KESTREL_SIM_DEVICES=7302101000001

fail() {
    echo "FAILED: $1"
    cat "$work/out"
    exit 1
}

"$run" "$build" "$util" -u >"$work/out" 2>&1 || fail "-u exited with $?"
grep -q "Update progress:100" "$work/out" || fail "-u: progress never reached 100"
grep -q "Rebooting in bootloader mode" "$work/out" || fail "-u: no bootloader restart"
grep -q "^Done" "$work/out" || fail "-u: not done"

echo 7302101000099 | "$run" "$build" "$util" -s >"$work/out" 2>&1 || fail "-s exited with $?"
grep -q "Setting New SN: 7302101000099" "$work/out" || fail "-s: serial not read"
grep -q "^Done" "$work/out" || fail "-s: not done"

# A serial number outside the family ends the program with the API's error.
if echo 1234 | "$run" "$build" "$util" -s >"$work/out" 2>&1; then fail "-s 1234 succeeded"; fi
grep -q "Error thrown by API 1004" "$work/out" || fail "-s 1234: no error 1004"

# A mistyped option prints the usage and exits 2; --help prints it and exits 0.
status=0
"$run" "$build" "$util" -x >"$work/out" 2>&1 || status=$?
[ $status -eq 2 ] || fail "-x exited with $status, not 2"
grep -q "Invalid argument: -x" "$work/out" || fail "-x: not refused"
grep -q "^usage: kestrel_util -c | -u | -s | -r | --version" "$work/out" || fail "-x: no usage"
status=0
"$run" "$build" "$util" --help >"$work/out" 2>&1 || status=$?
[ $status -eq 0 ] || fail "--help exited with $status"
grep -q "^usage: kestrel_util" "$work/out" || fail "--help: no usage"
grep -q "Invalid argument" "$work/out" && fail "--help taken for an invalid argument"
if "$run" "$build" "$util" >"$work/out" 2>&1; then fail "no argument: exit status 0"; fi
grep -q "Invalid argument count" "$work/out" || fail "no argument: not refused"
grep -q "^usage: kestrel_util" "$work/out" || fail "no argument: no usage"
echo "kestrel_util ok"
