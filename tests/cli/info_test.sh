#!/bin/bash
# Checks "cordane info" on small made-up files (regions, blocks, application number, identity,
# refusals) and the command-line mistakes of the parameter block's options of "cordane download",
# which must be refused before any port is looked at.
# Usage: info_test.sh CORDANE_PROGRAM SAMPLES_DIR
set -u
cordane=$1
samples=$2
# shellcheck source=test_support.sh
source "$(dirname "$0")/test_support.sh"

has() {  # has TEXT: the output holds TEXT
    grep -qF -- "$1" <<<"$out"
}

srec() {  # srec ADDRESS HEXDATA: one S2 record with its checksum
    local address=$1 data=$2
    local count=$((${#data} / 2 + 4))
    local sum=$((count + (address >> 16) + (address >> 8 & 0xFF) + (address & 0xFF)))
    for ((i = 0; i < ${#data}; i += 2)); do sum=$((sum + 0x${data:i:2})); done
    printf 'S2%02X%06X%s%02X\r\n' "$count" "$address" "$data" $((~sum & 0xFF))
}

end() {  # the end record every S-record file closes with
    printf 'S804000000FB\r\n'
}

repeat() {  # repeat N TEXT
    local text=""
    for ((i = 0; i < $1; i++)); do text+=$2; done
    printf '%s' "$text"
}

# ---- S-record files

# The 64 Kb sample: only the 64 Kb image, no large-reader region.
run info "$samples/demo64.sre"
check "sample: exit 0" test "$rc" -eq 0
check "sample: 64 Kb image" has "0x2000-0x3BFF, 7,168 bytes"
check "sample: no application region" grep -qE "^  application +0xD000-0x7FFFF +no records" <<<"$out"

# A large reader's driver library: a driver-high image of 256 bytes whose first 255 are blank
# sends one block of 1 byte.
{ srec 0x70000 "$(repeat 128 FF)"; srec 0x70080 "$(repeat 127 FF)00"; end; } >"$work/driver.sre"
run info "$work/driver.sre"
check "driver: exit 0" test "$rc" -eq 0
check "driver: high part" has "0x70000-0x700FF, 256 bytes; 2 blocks: 1 sent, 1 skipped as blank"

# A large reader's application: reaches 0x10000, and 300 bytes in the upper region.
{
    srec 0xD000 "$(repeat 16 00)"
    srec 0x10000 "$(repeat 4 11)"
    srec 0x100000 "$(repeat 150 22)"
    srec 0x100096 "$(repeat 150 33)"
    end
} >"$work/large.sre"
run info "$work/large.sre"
check "large: exit 0" test "$rc" -eq 0
# 0xD000-0x10003: blocks 0 and 48 hold data; 1 to 32 are blank; 33 to 47 are never sent.
check "large: application" \
    has "0xD000-0x10003, 12,292 bytes; 34 blocks: 2 sent, 32 skipped as blank"
check "large: upper" has "0x100000-0x10012B, 300 bytes; 2 blocks: 2 sent, 0 skipped as blank"
check "large: the driver's low window takes the application's first records" \
    has "0x4000-0xD00F, 36,880 bytes; 145 blocks: 145 sent, 0 skipped as blank"
check "large: too long for a 64 Kb reader" has "would make the image longer than its buffer"
run info --json "$work/large.sre"
check "large: json" grep -qF '"region":"upper","from":1048576,"to":1572863,"start":1048576,"length":300,"sent":2,"skipped":0' <<<"$out"
check "large: json verdicts" grep -qF '"large":{"takes":true' <<<"$out"

# Data in 0xF000-0xFFFF is never written: said.
{ srec 0xF800 "AA"; end; } >"$work/dropped.sre"
run info "$work/dropped.sre"
check "dropped range noted" has "holds data at 0xF000-0xFFFF, which a download never writes"

# Overlapping records: the regions that hold them refused with byte and address, the others
# shown; refused by every reader: exit 1.
{ srec 0xD000 "AABB"; srec 0xD001 "CC"; srec 0x70000 "01"; end; } >"$work/bad.sre"
run info "$work/bad.sre"
check "refusal: exit 1" test "$rc" -eq 1
check "refusal: record named" \
    grep -qE "^  application .*refused: record at byte 18 \(address 0x00D001\) overlaps" <<<"$out"
check "refusal: other regions go on" has "0x70000-0x70000, 1 byte;"
check "refusal: said on stderr" grep -q "no reader would take" <<<"$err"

# ---- Binary download files

# 0xB002 bytes of 0xFF: application region 0xD000-0xEFFF. Number "007" at 0xA013, identity
# 0x1234 at 0xA042, both in block 16, which is then sent as 239 bytes from 0xE000.
head -c $((0xB002)) /dev/zero | tr '\0' '\377' >"$work/app.bin"
printf '007' | dd of="$work/app.bin" bs=1 seek=$((0xA013)) conv=notrunc status=none
printf '\x34\x12' | dd of="$work/app.bin" bs=1 seek=$((0xA042)) conv=notrunc status=none
run info "$work/app.bin"
check "binary: exit 0" test "$rc" -eq 0
check "binary: plain" has "plain (not deciphered)"
check "binary: driver" has "0x4000-0xDFFF, 40,960 bytes; 161 blocks: 161 sent, 0 skipped as blank"
check "binary: application" has "0xE000-0xEFFF, 4,096 bytes; 33 blocks: 2 sent, 31 skipped as blank"
check "binary: no upper part" grep -qE "^  upper .*none" <<<"$out"
check "binary: application number" has 'application number "007" (7)'
check "binary: identity" has "identity 0x1234"

# Enciphered with base key A as *.kor: deciphered before the fields are read.
run encipher --key-selector 0 "$work/app.bin" "$work/app.kor"
run info "$work/app.kor"
check "kor: deciphered with key A" has "deciphered with base key A"
check "kor: number and identity" test "$(has 'application number "007" (7)' && has 'identity 0x1234' && echo y)" = y
run info --key-selector 1 "$work/app.kor"
check "kor: the wrong key is noticed" grep -q "not three digits: check the key" <<<"$err"
cp "$work/app.kor" "$work/kor.bin"
run info --enciphered --json "$work/kor.bin"
check "--enciphered: json fields" \
    grep -qF '"appNumber":"007","appNumberValue":7,"appNumberDigits":true,"identity":4660' <<<"$out"
run encipher --key 0x0011223344556677 "$work/app.bin" "$work/own.kor"
run info --key-selector 9 --key 0011223344556677 "$work/own.kor"
check "kor: a key given" test "$(has 'the key given' && has 'identity 0x1234' && echo y)" = y

# One byte past 0x7C002: the application region is full and the upper one holds 1 byte.
head -c $((0x7C003)) /dev/zero >"$work/long.bin"
run info "$work/long.bin"
check "long: application" has "0xE000-0x7FFFF, 466,944 bytes"
check "long: upper" has "0x100000-0x100000, 1 byte; 1 block: 1 sent, 0 skipped as blank"

# Too short for the layout: refused, exit 1.
head -c $((0xA001)) /dev/zero >"$work/short.bin"
run info "$work/short.bin"
check "short: exit 1" test "$rc" -eq 1
check "short: the layout's reason" has "refused: The binary file $work/short.bin is 40961 bytes long"
run info "$work/missing.bin"
check "missing file: exit 1" test "$rc" -eq 1 -a -n "$err"

# ---- Command-line mistakes: exit 2

for args in "" "a.bin b.bin" "--frob a.bin" "--key-selector 2 a.kor" \
    "--key-selector 0 --key 0011223344556677 a.kor" "--key 00112233 a.kor" \
    "--enciphered $work/large.sre" "--key-selector"; do
    # shellcheck disable=SC2086
    run info $args
    check "info usage error: $args" test "$rc" -eq 2
done
run info --help
check "info help" grep -q "Exit codes" <<<"$out"

# The download options: refused with exit 2 before the port (which does not exist) is looked at.
# (A build without the engine has no download command.)
"$cordane" help download >/dev/null 2>&1 || finish
no_port=$work/no-such-port
# Windows names its ports only: one that does not exist.
[ "$under_wine" = 1 ] && no_port=COM241
port="--port $no_port"
base="download $port --reader 2 --type 1"
for args in "--check-app-number 7" "--previous 5,120" "--check-app-number 1000 --previous 5,120" \
    "--check-app-number 7 --previous 5" "--check-app-number 7 --previous 5,1200" \
    "--check-app-number 7 --previous 5,x" "--check-app-number -1 --previous 1,2" \
    "--identity 0x10000" "--identity 12ab" "--identity" "--key-selector 0 --key 0011223344556677" \
    "--key-selector 1 --key 0011223344556677" "--key-selector 5" "--key 0011" "--key-selector x"; do
    # shellcheck disable=SC2086
    run $base $args app.kor
    check "download usage error: $args" test "$rc" -eq 2 -a -n "$err"
done
# Every option well formed: on to the port, which is refused (exit 1).
# shellcheck disable=SC2086
run $base --check-app-number 7 --previous 5,120 --identity 0x1234 --key-selector 9 \
    --key 0011223344556677 "$work/app.kor"
check "valid options reach the port" test "$rc" -eq 1 -a -n "$(grep "does not exist" <<<"$err")"
# Enciphered with key A, deciphered with another: the number is garbage, as info warns.
check "type 1: a wrong key is warned of" grep -q "not three digits: check the key" <<<"$err"
# shellcheck disable=SC2086
run download $port --reader 0 --identity 5 app.sre
check "options outside type 1 are noted" grep -q "note: .* ignored for this download" <<<"$err"

# Combinations no reader can take, a repeated option, a port named twice: usage errors, before
# any file or port.
for args in "--reader 5 --reader 0 a.sre" "--reader 0 --port=$no_port a.sre" \
    "--reader 3 a.sre" \
    "--reader 0 --type 3" "--reader 1 --type 3" "--reader 3 --type 2 --driver d.sre a.bin" \
    "--reader 3 --type 3 --driver d.sre" "--reader 2 --type 1 --driver=d.sre a.kor"; do
    # shellcheck disable=SC2086
    run download $port $args
    check "download usage error: $args" test "$rc" -eq 2 -a -n "$err"
done

# Files the engine cannot read, refused before it starts (exit 1), with the reason; a FIFO
# without a writer at once.
[ "$under_wine" = 1 ] || mkfifo "$work/fifo.sre"
run download $port --reader 0 "$work"
check "download: a directory" test "$rc" -eq 1 -a -n "$(grep "$work is a directory" <<<"$err")"
run download $port --reader 3 --driver "$work" "$work/large.sre"
check "download: a directory as driver" grep -q "$work is a directory" <<<"$err"
if posix_only "FIFOs, file modes and /dev/null as a port"; then
    "$cordane" download $port --reader 0 "$work/fifo.sre" >/dev/null 2>"$work/err" &
    waited=0
    while kill -0 $! 2>/dev/null && [ $waited -lt 100 ]; do sleep 0.1; waited=$((waited + 1)); done
    kill $! 2>/dev/null
    wait $!
    rc=$?
    check "download: a FIFO refused without waiting" grep -q "not a regular file" "$work/err"
    check "download: a FIFO, exit 1" test "$rc" -eq 1
    if [ "$(id -u)" -ne 0 ]; then  # root reads every file
        cp "$work/large.sre" "$work/locked.sre" && chmod 000 "$work/locked.sre"
        run download $port --reader 0 "$work/locked.sre"
        check "download: permission denied" test "$rc" -eq 1 -a -n "$(grep "permission denied" <<<"$err")"
    fi
    # Not a serial device: the message names the path given, never a temporary ports directory.
    run download --port /dev/null --reader 0 "$samples/demo64.sre"
    check "download: /dev/null is no port" test "$rc" -eq 1 -a -n "$(grep "port /dev/null is not a serial" <<<"$err")"
    check "download: no temporary path shown" test -z "$(grep "cordane-port" <<<"$err")"
fi

run download --help
check "download help" test "$(has "--check-app-number N --previous A,B" && has "--identity X" && echo y)" = y

finish
