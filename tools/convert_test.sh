#!/bin/bash
# Checks "cordane convert" as a user meets it: the sample's image, windows, refused files (exit
# code, message, no output left behind), long inputs and command-line mistakes.
# Usage: convert_test.sh CORDANE_PROGRAM SAMPLES_DIR
set -u
cordane=$1
samples=$2
# shellcheck source=test_support.sh
source "$(dirname "$0")/test_support.sh"

# The sample's image is the one objcopy made.
run convert "$samples/demo64.sre" "$work/demo.bin"
check "sample converts" test "$rc" -eq 0
check "sample image" cmp -s "$work/demo.bin" "$samples/demo64.bin"
check "banner and summary" test "$out" = $'\nConversion fichier ...     wrote 7168 bytes (0x2000-0x3BFF) to '"$work/demo.bin"

# A window picks addresses [0x2100, 0x2200): bytes 0x100 to 0x1FF of the plain image.
run convert --window 0x2100:8704 "$samples/demo64.sre" "$work/window.bin"
check "window converts" test "$rc" -eq 0
check "window image" cmp -s -i 256:0 -n 256 "$samples/demo64.bin" "$work/window.bin"
check "window length" test "$(stat -c %s "$work/window.bin")" -eq 256

# A refused file: exit 1, the record's place and address, the existing output untouched, no
# temporary file left behind.
printf 'S206002000AABB74\r\nS206002001CCDD2F\r\nS804002000DB\r\n' >"$work/bad.sre"
echo "old" >"$work/keep.bin"
run convert "$work/bad.sre" "$work/keep.bin"
check "refusal exit code" test "$rc" -eq 1
check "refusal names file, byte and address" \
    grep -q "bad.sre: record at byte 18 (address 0x002001) overlaps" <<<"$err"
check "refusal leaves output alone" test "$(cat "$work/keep.bin")" = "old"
run convert --capacity 1 "$work/bad.sre" "$work/new.bin"
check "capacity refusal" test "$rc" -eq 1 -a ! -e "$work/new.bin"
check "no temporary file left" test -z "$(find "$work" -name '*.bin.*')"
run convert "$work/missing.sre" "$work/new.bin"
check "missing input" test "$rc" -eq 1 -a ! -e "$work/new.bin"

# Longer than the engine once read: converted whole, without a warning.
{ head -c 300000 /dev/zero | tr '\0' '\n'; printf 'S20500200077 63\r\nS804002000DB\r\n' | tr -d ' '; } >"$work/long.sre"
run convert "$work/long.sre" "$work/long.bin"
check "long input converts" test "$rc" -eq 0 -a "$(od -An -tx1 "$work/long.bin")" = " 77"
check "long input does not warn" test -z "$err"

# A damaged record or a file cut short at a line end: refused.
printf 'S206002000AABB75\r\nS804002000DB\r\n' >"$work/damaged.sre"
run convert "$work/damaged.sre" "$work/damaged.bin"
check "wrong checksum refused" test "$rc" -eq 1 -a ! -e "$work/damaged.bin"
check "wrong checksum named" grep -q "wrong checksum" <<<"$err"
printf 'S206002000AABB74\r\n' >"$work/cut.sre"
run convert "$work/cut.sre" "$work/cut.bin"
check "file without end record refused" test "$rc" -eq 1 -a ! -e "$work/cut.bin"

# Command-line mistakes: exit 2.
for args in "" "convert" "convert only-one.sre" "convert --window 0x10:0x5 a b" \
    "convert --window 010 a b" "convert --frob a b" "convert a b c" "frobnicate"; do
    run $args
    check "usage error: cordane $args" test "$rc" -eq 2
done
run --version
check "version" test "$rc" -eq 0 -a -n "$out"
run convert --help
check "convert help" grep -q "Exit codes" <<<"$out"

finish
