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

# Names beyond ASCII reach the file system as given, in and out.
cp "$samples/demo64.sre" "$work/démo €.sre"
run convert "$work/démo €.sre" "$work/образ ✓.bin"
check "a name beyond ASCII: converts" test "$rc" -eq 0
check "a name beyond ASCII: the image under its name" cmp -s "$work/образ ✓.bin" "$samples/demo64.bin"
check "a name beyond ASCII: named in the summary" grep -qF "to $work/образ ✓.bin" <<<"$out"

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

if posix_only "links, FIFOs and /dev/stderr as outputs and inputs"; then
# Outputs that are not plain files: a link is written through (it stays a link), a FIFO in
# place while something reads it, and refused at once when nothing does.
mkdir "$work/elsewhere" "$work/links"
ln -s ../elsewhere/image.bin "$work/links/image.bin"
run convert "$samples/demo64.sre" "$work/links/image.bin"
check "through a link: the target" cmp -s "$work/elsewhere/image.bin" "$samples/demo64.bin"
check "through a link: still a link" test -L "$work/links/image.bin"
mkfifo "$work/out.fifo"
exec 3<>"$work/out.fifo"  # a reader (and writer) that holds the image in the pipe's buffer
run convert "$samples/demo64.sre" "$work/out.fifo"
head -c 7168 <&3 >"$work/from-fifo.bin"
exec 3<&-
check "into a FIFO: the image" cmp -s "$work/from-fifo.bin" "$samples/demo64.bin"
check "into a FIFO: still a FIFO" test -p "$work/out.fifo"
run convert "$samples/demo64.sre" "$work/out.fifo"
check "into a FIFO nobody reads: refused" test "$rc" -eq 1 -a -p "$work/out.fifo"
# /dev/stderr leads through /proc/self/fd/2 to a pipe that only the kernel can name.
check "into /dev/stderr, a pipe" cmp -s <("$cordane" convert "$samples/demo64.sre" /dev/stderr \
    2>&1 >/dev/null) "$samples/demo64.bin"

# Inputs that are not regular files: a FIFO without a writer is refused at once, not waited on.
timeout 20 "$cordane" convert "$work/out.fifo" "$work/new.bin" 2>"$work/err"
check "FIFO input refused" test $? -eq 1 -a ! -e "$work/new.bin"
check "FIFO input named" grep -q "out.fifo is a FIFO" "$work/err"
fi
run convert "$work" "$work/new.bin"
check "directory input" grep -q "is a directory" <<<"$err"

if posix_only "SIGKILL and SIGTERM while the output is written"; then
# Killed while it writes (SIGKILL, or SIGTERM): the old output stays or the new one is whole, and
# no temporary file is left. A 16 MB image from two records, killed at several moments: some of
# them fall while it is written.
mkdir "$work/killed"
printf 'S20800000001020304ED\r\nS208FFFFFC01020304F3\r\nS804000000FB\r\n' >"$work/wide.sre"
for delay in 0.01 0.02 0.025 0.03 0.04 0.06 0.1; do
    for signal in KILL TERM; do
        echo "old" >"$work/killed/out.bin"
        "$cordane" convert --window 0:0x1000000 --capacity 0x1000000 "$work/wide.sre" \
            "$work/killed/out.bin" >/dev/null 2>&1 &
        sleep "$delay"
        kill -s "$signal" $! 2>/dev/null
        wait $! 2>/dev/null
        size=$(stat -c %s "$work/killed/out.bin")
        check "killed ($signal after ${delay}s): whole or old" test "$size" -eq 4 -o "$size" -eq 16777216
        check "killed ($signal after ${delay}s): nothing left" test "$(ls "$work/killed")" = out.bin
    done
done
fi

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
