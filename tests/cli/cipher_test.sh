#!/bin/bash
# Checks "cordane encipher" and "cordane decipher" as a user meets them: round trips, which bytes
# change, refused files (exit code, message, nothing left behind) and command-line mistakes.
# Usage: cipher_test.sh CORDANE_PROGRAM
set -u
cordane=$1
# shellcheck source=test_support.sh
source "$(dirname "$0")/test_support.sh"

# A download file of 0xB002 + 100 bytes, the same on every run, with the application number "007"
# at 0xA013.
yes "an image for the cipher test" | head -c 45158 >"$work/plain.bin"
printf '007' | dd of="$work/plain.bin" bs=1 seek=$((0xA013)) conv=notrunc status=none

run encipher --key-selector 0 "$work/plain.bin" "$work/a.bin"
check "encipher with key A" test "$rc" -eq 0
# Exactly the bytes 0xA002..0xB001 may change (cmp -l counts from 1).
check "only the region changes" test \
    "$(cmp -l "$work/plain.bin" "$work/a.bin" | awk '$1 < 40963 || $1 > 45058' | wc -l)" -eq 0
check "the region changes" test "$(cmp -l "$work/plain.bin" "$work/a.bin" | wc -l)" -gt 4000
run decipher --key-selector 0 "$work/a.bin" "$work/back.bin"
check "decipher with key A" test "$rc" -eq 0
check "round trip with key A" cmp -s "$work/plain.bin" "$work/back.bin"
check "summary names the application number" grep -q 'application number "007"' <<<"$out"

run encipher --key-selector=1 "$work/plain.bin" "$work/b.bin"
check "key B differs from key A" test "$rc" -eq 0 -a -n "$(cmp "$work/a.bin" "$work/b.bin")"
run decipher --key-selector 1 "$work/a.bin" "$work/wrong.bin"
check "the wrong key is noticed" grep -q "not three digits: check the key" <<<"$err"

cp "$work/plain.bin" "$work/same.bin"
run encipher --key 0x0123456789abcdef "$work/same.bin" "$work/same.bin"
run decipher --key=0123456789ABCDEF "$work/same.bin" "$work/same.bin"
check "explicit key, in place" cmp -s "$work/plain.bin" "$work/same.bin"

# A file one byte short of the region: exit 1, the size needed, OUT untouched, no temporary file.
head -c 45057 "$work/plain.bin" >"$work/short.bin"
echo "old" >"$work/keep.bin"
run encipher --key-selector 0 "$work/short.bin" "$work/keep.bin"
check "short file exit code" test "$rc" -eq 1
check "short file message" grep -q "45057 bytes long.*at least 45058 bytes (0xB002)" <<<"$err"
check "output kept" test "$(cat "$work/keep.bin")" = old
check "no temporary file" test "$(ls "$work" | grep -c 'keep.bin.')" -eq 0

run decipher --key-selector 0 "$work/missing.bin" "$work/x.bin"
check "missing input" test "$rc" -eq 1 -a ! -e "$work/x.bin"

# Command-line mistakes: exit 2, nothing written.
for args in "--key-selector 2" "--key-selector 0 --key 0011223344556677" "" "--key 00112233" \
    "--key 00112233445566ZZ" "--bogus"; do
    # shellcheck disable=SC2086
    run encipher $args "$work/plain.bin" "$work/x.bin"
    check "usage error for \"$args\"" test "$rc" -eq 2 -a ! -e "$work/x.bin"
done
run encipher --key-selector 0 "$work/plain.bin"
check "missing OUT" test "$rc" -eq 2
run decipher --help
check "help" test "$rc" -eq 0

finish
