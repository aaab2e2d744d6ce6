#!/bin/bash
# Checks "cordane seal" as an operator meets it: sealing keeps every other byte, the check passes
# and fails where it should, and a file without the marker is refused untouched.
# Usage: seal_test.sh CORDANE_PROGRAM
set -u
cordane=$1
# shellcheck source=test_support.sh
source "$(dirname "$0")/test_support.sh"

printf '[OPTIONS]\r\nDownloadType=1\r\n[CHECK_APP_NUM]\r\nCheck=1\r\nAppNumber=42\r\n[KORVEL_OPTIONS]\r\nCheckValue=00000000\r\n; kept\r\n' >"$work/Brenmark.ini"
chmod 640 "$work/Brenmark.ini"
cp "$work/Brenmark.ini" "$work/before.ini"
run seal "$work/Brenmark.ini"
check "seal succeeds" test "$rc" -eq 0
# The value was computed by a separate bit-by-bit CRC.
check "the check value" grep -q 'CheckValue=1a7980b7' "$work/Brenmark.ini"
check "only the value changed" test "$(cmp -l "$work/before.ini" "$work/Brenmark.ini" | wc -l)" -le 8
check "same size" test "$(stat -c %s "$work/before.ini")" -eq "$(stat -c %s "$work/Brenmark.ini")"
posix_only "file modes" && check "mode kept" test "$(stat -c %a "$work/Brenmark.ini")" = 640
check "no temporary file left" test "$(ls "$work" | wc -l)" -eq 4
run seal --check "$work/Brenmark.ini"
check "check passes" test "$rc" -eq 0

sed -i 's/1a7980b7/1A7980B7/' "$work/Brenmark.ini"
run seal --check "$work/Brenmark.ini"
check "upper case fails" test "$rc" -eq 1
check "the message gives the value" grep -q '1a7980b7' <<<"$err"
run seal "$work/Brenmark.ini"
sed -i 's/AppNumber=42/AppNumber=43/' "$work/Brenmark.ini"
run seal --check "$work/Brenmark.ini"
check "a changed byte fails" test "$rc" -eq 1

printf '[KORVEL_OPTIONS]\r\nCheckValue=' >"$work/short.ini"
run seal --check "$work/short.ini"
check "a file ending after CheckValue= fails" test "$rc" -eq 1
run seal "$work/short.ini"
check "it can be sealed" test "$rc" -eq 0 -a "$(stat -c %s "$work/short.ini")" -eq 37
run seal --check "$work/short.ini"
check "and then passes" test "$rc" -eq 0

if posix_only "symbolic links"; then
    printf '[KORVEL_OPTIONS]\r\nCheckValue=' >"$work/target.ini"
    ln -s target.ini "$work/link.ini"
    run seal "$work/link.ini"
    check "through a link: sealed" test "$rc" -eq 0 -a -L "$work/link.ini" -a "$(stat -c %s "$work/target.ini")" -eq 37
fi

# A new file's empty "CheckValue=" line with sections after it: the digits go in, every other
# byte stays (the value was computed by a separate bit-by-bit CRC).
body='[OPTIONS]\r\nDownloadType=1\r\n[CHECK_APP_NUM]\r\nCheck=1\r\nAppNumber=5\r\nPreviousAppNumber1=4\r\n'
# shellcheck disable=SC2059
printf "[KORVEL_OPTIONS]\r\nCheckValue=\r\n$body" >"$work/readme.ini"
# shellcheck disable=SC2059
printf "[KORVEL_OPTIONS]\r\nCheckValue=0f6895a6\r\n$body" >"$work/readme.expected"
run seal "$work/readme.ini"
check "empty value: sealed" test "$rc" -eq 0
check "empty value: every other byte kept" cmp -s "$work/readme.ini" "$work/readme.expected"
run seal --check "$work/readme.ini"
check "empty value: then the check passes" test "$rc" -eq 0

# What a seal written over the line end leaves: the check fails, and sealing again is refused.
# shellcheck disable=SC2059
printf "[KORVEL_OPTIONS]\r\nCheckValue=0f6895a6NS]\r\n$body" >"$work/long.ini"
cp "$work/long.ini" "$work/long.before"
run seal --check "$work/long.ini"
check "value running on: check fails" test "$rc" -eq 1
run seal "$work/long.ini"
check "value running on: refused" test "$rc" -eq 1
check "value running on: said, with the file and the line" \
    grep -q "long.ini: line 2 holds \"0f6895a6NS\]\".*more than the 8" <<<"$err"
check "value running on: untouched" cmp -s "$work/long.ini" "$work/long.before"

# A file another program holds locked is refused at once, not waited for.
if posix_only "a lock held by flock(1)"; then
    cp "$work/readme.expected" "$work/held.ini"
    flock "$work/held.ini" "$cordane" seal "$work/held.ini" >"$work/out" 2>"$work/err"
    rc=$?
    check "held: refused" test "$rc" -eq 1
    check "held: said" grep -q "held.ini is held by another program" "$work/err"
    check "held: untouched" cmp -s "$work/held.ini" "$work/readme.expected"
fi

printf '[OPTIONS]\nDownloadType=1\n' >"$work/plain.ini"
cp "$work/plain.ini" "$work/plain.before"
run seal "$work/plain.ini"
check "no marker: refused" test "$rc" -eq 1
check "no marker: said" grep -q 'has no seal marker' <<<"$err"
check "no marker: untouched" cmp -s "$work/plain.ini" "$work/plain.before"
run seal --check "$work/plain.ini"
check "no marker: check fails" test "$rc" -eq 1
run seal "$work/missing.ini"
check "missing file" test "$rc" -eq 1
run seal
check "no file: usage" test "$rc" -eq 2
run seal --bogus "$work/plain.ini"
check "unknown option: usage" test "$rc" -eq 2
finish
