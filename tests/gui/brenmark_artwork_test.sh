#!/bin/sh
# brenmark-artwork writes the six picture files, whole, into a folder it makes; refuses a
# folder it cannot write into with the file's name and exit status 1, a wrong command line with 2.
# Usage: brenmark_artwork_test.sh BRENMARK_ARTWORK_PROGRAM
set -u
program=$1
work=$(mktemp -d) || exit 1
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

"$program" >/dev/null 2>&1
[ $? -eq 2 ] || fail "no OUTDIR: exit status 2 expected"

out=$work/made/here
for run in first second; do  # the second run replaces every file
    "$program" "$out" || fail "$run run: exit status $?"
    # name, size, first bytes (od): 24-bit BMPs of 42 x 68 and 12 frames of 312 x 78, icons of
    # 16, 32 and 48 pixels with their masks.
    while read -r name size magic; do
        [ -f "$out/$name" ] || { fail "$run run: $name not written"; continue; }
        actual=$(wc -c <"$out/$name" | tr -d ' ')
        [ "$actual" = "$size" ] || fail "$run run: $name has $actual bytes, $size expected"
        head=$(od -An -tx1 -N4 "$out/$name" | tr -d ' \n')
        [ "$head" = "$magic" ] || fail "$run run: $name begins $head, $magic expected"
    done <<LIST
bitmap144.bmp 8758 424d3622
bitmap146.bmp 8758 424d3622
bitmap151.bmp 8758 424d3622
icon128.ico 15086 00000100
icon134.ico 15086 00000100
animation149.bmp 876150 424d765e
LIST
    count=$(ls -A "$out" | wc -l | tr -d ' ')
    [ "$count" = 6 ] || fail "$run run: $count files in the folder, 6 expected: $(ls -A "$out")"
done

# Two terminal pictures that come out the same are a picture lost.
cmp -s "$out/bitmap144.bmp" "$out/bitmap146.bmp" && fail "bitmaps 144 and 146 are the same"
cmp -s "$out/icon128.ico" "$out/icon134.ico" && fail "icons 128 and 134 are the same"

refused() {  # refused OUTDIR FILE: exit status 1 and a line naming OUTDIR/FILE
    message=$("$program" "$1" 2>&1 >/dev/null)
    status=$?
    [ $status -eq 1 ] || fail "$1: exit status $status, 1 expected"
    printf '%s\n' "$message" | grep -qF "brenmark-artwork: cannot write $1/$2: " ||
        fail "$1: no line \"brenmark-artwork: cannot write $1/$2: ...\" in \"$message\""
}
: >"$work/file"
refused "$work/file/sub" bitmap144.bmp  # the folder cannot be made
mkdir -p "$work/held/icon134.ico"
refused "$work/held" icon134.ico  # a folder where the icon goes

[ $failures -eq 0 ] || exit 1
echo "brenmark-artwork: all checks passed"
