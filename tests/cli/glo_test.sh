#!/bin/bash
# Checks "cordane mkglo", "cordane info FILE.glo" and "cordane extract" on global files built with
# mkglo and by hand: the slots and their replacement rules, the end offset, long-form lengths, a
# leading foreign element, and the files that must be refused with nothing written.
# Usage: glo_test.sh CORDANE_PROGRAM
set -u
cordane=$1
# shellcheck source=test_support.sh
source "$(dirname "$0")/test_support.sh"

has() {  # has TEXT: standard output or error holds TEXT
    grep -qF -- "$1" <<<"$out$err"
}
size() { stat -c %s "$1"; }
byte() {  # byte FILE OFFSET: one byte in hexadecimal
    od -An -tx1 -j "$2" -N1 "$1" | tr -d ' \n'
}
fill() {  # fill NAME BYTES HEXBYTE
    head -c "$2" /dev/zero | tr '\0' "\\$(printf '%03o' "0x$3")" >"$work/$1"
}
refused() {  # refused WHAT ARGS...: exit 1, the output left as it was, no "bin" file beside
    local what=$1
    shift
    printf 'old' >"$work/out.bin"
    run extract "$@" -o "$work/out.bin"
    check "$what: exit 1" test "$rc" -eq 1
    check "$what: output unchanged" test "$(cat "$work/out.bin")" = old
    check "$what: no temporary file left" test -z "$(find "$work" -name 'out.bin?*')"
}

fill common5 300 5A
fill common7 100 77
fill orb 200 22
fill orb_later 150 23
fill large8 200 88
fill quin $((0x5000)) 44
fill drv4 16 D4

# ---- Built with mkglo, listed by info
run mkglo -o "$work/all.glo" 1::0x10000:APP.SRE="$work/common5" 1::0x100000:UP.SRE="$work/common7" \
    2:0x48:0x4720:ORB.SRE="$work/orb" 2:0x08:0x4720:SREHARD4_S.SRE="$work/large8" \
    2:0x48:0x4720:ORB2.SRE="$work/orb_later"
check "mkglo: exit 0" test "$rc" -eq 0
run info "$work/all.glo"
check "info: exit 0" test "$rc" -eq 0
check "info: common component" grep -qE "APP.SRE +1 +- +common +0x010000 +300 +good" <<<"$out"
check "info: type 8 from the name" grep -qE "SREHARD4_S.SRE +2 +0x08 +8 " <<<"$out"
check "info: type 2 from the flags" grep -qE "ORB.SRE +2 +0x48 +2 KvOrb \(512Kb\) +0x004720 +200 +good" <<<"$out"
run info --json "$work/all.glo"
check "info --json" has '"name":"ORB2.SRE","kind":2,"common":false,"flags":72,"reader_type":2,"address":18208,"size":150'

# ---- Extraction: slots, replacement, the end offset
run extract --reader 2 "$work/all.glo"
check "extract: exit 0" test "$rc" -eq 0
bin=$work/all.bin  # beside the global file, as the program names it
check "extract: default name" test -f "$bin"
check "extract: says what it wrote" has "wrote 508,007 bytes to $bin: CRC 0x"
check "extract: names the reader and the parts" \
    has "for reader type 2 KvOrb (512Kb) from $work/all.glo (ORB2.SRE, APP.SRE, UP.SRE)"
# Slot 7 is the last placed: L = 0x7C000 + 100 + 1, after the 2 CRC bytes.
check "extract: length" test "$(size "$bin")" -eq $((2 + 0x7C000 + 100 + 1))
check "extract: the later type-2 part replaces the earlier" test "$(byte "$bin" $((2 + 0x720)))" = 23
check "extract: the rest of the earlier part is gone" test "$(byte "$bin" $((2 + 0x720 + 160)))" = ff
check "extract: common part at 0xC000" test "$(byte "$bin" $((2 + 0xC000)))" = 5a
check "extract: slot 7 at 0x7C000" test "$(byte "$bin" $((2 + 0x7C000 + 99)))" = 77
check "extract: one byte 0xFF after the last slot" test "$(byte "$bin" $((2 + 0x7C000 + 100)))" = ff
run extract --reader 8 "$work/all.glo" -o "$work/eight.bin"
check "extract 8: its own part" test "$(byte "$work/eight.bin" $((2 + 0x720)))" = 88

# Long-form lengths give the same image.
run mkglo --long-form -o "$work/long.glo" 1::0x10000:APP.SRE="$work/common5" \
    1::0x100000:UP.SRE="$work/common7" 2:0x48:0x4720:ORB.SRE="$work/orb" \
    2:0x08:0x4720:SREHARD4_S.SRE="$work/large8" 2:0x48:0x4720:ORB2.SRE="$work/orb_later"
check "long form: larger file" test "$(size "$work/long.glo")" -gt "$(size "$work/all.glo")"
run extract --reader 2 "$work/long.glo" -o "$work/long.bin"
check "long form: same bin" cmp -s "$work/long.bin" "$bin"

# A large slot 3 followed by a non-empty slot 4 (16 bytes): the end is slot 4's.
run mkglo -o "$work/end.glo" 2:0x18:0x4720:QUIN.SRE="$work/quin" 1::0xE000:DRV4.SRE="$work/drv4"
run extract --reader 4 "$work/end.glo" -o "$work/end.bin"
check "end offset: exit 0" test "$rc" -eq 0
check "end offset: L = 0xA010 + 1" test "$(size "$work/end.bin")" -eq $((2 + 0xA010 + 1))

# By hand: a foreign element before the 0xA0 element is stepped over.
{ printf '\x05\x02\x00\x00'; cat "$work/all.glo"; } >"$work/lead.glo"
run extract --reader 2 "$work/lead.glo" -o "$work/lead.bin"
check "leading foreign element: same bin" cmp -s "$work/lead.bin" "$bin"

# ---- Refused, nothing written
{ cat "$work/all.glo"; printf '\x00'; } >"$work/trailing.glo"
refused "spare trailing byte" --reader 2 "$work/trailing.glo"
check "spare trailing byte: message" has "is not a valid Binary Global File"
# The last component (ORB2.SRE, type 2) with one data byte changed: fails for type 8 as well.
cp "$work/all.glo" "$work/badcrc.glo"
printf '\x00' | dd of="$work/badcrc.glo" bs=1 seek=$(($(size "$work/all.glo") - 1)) conv=notrunc 2>/dev/null
refused "bad CRC in another reader's part" --reader 8 "$work/badcrc.glo"
check "bad CRC: message" has "CRC Error!"
run info "$work/badcrc.glo"
check "info, bad CRC: exit 1" test "$rc" -eq 1
check "info, bad CRC: shown bad" grep -qE "ORB2.SRE .* bad \(holds" <<<"$out"
head -c 100 "$work/all.glo" >"$work/cut.glo"
refused "cut short" --reader 2 "$work/cut.glo"
: >"$work/empty.glo"
refused "empty" --reader 2 "$work/empty.glo"
check "empty: message" has "empty.glo is empty"
printf '\xa0\x0f\xa1\x0d\x80\x02\x00\x00\x81\x01A\x82\x01\x01\x86\x01\x00' >"$work/noaddress.glo"
refused "no load address" --reader 2 "$work/noaddress.glo"
check "no load address: message" has "has no load address (tag 0x85)"
printf '\xa0\x04\xa1\x05\x00\x00' >"$work/past.glo"
refused "component past its parent" --reader 2 "$work/past.glo"
check "component past its parent: message" has "runs past the end of the 0xA0 element"
# By hand, as mkglo refuses to write them: a reader-specific part without reader flags, and a
# part of 769 bytes for the 768 of slot 1.
printf '\xa0\x15\xa1\x13\x80\x02\x00\x00\x81\x01O\x82\x01\x02\x85\x04\x20\x47\x00\x00\x86\x01\x00' \
    >"$work/noflags.glo"
refused "no reader flags" --reader 2 "$work/noflags.glo"
{
    printf '\xa0\x82\x03\x1c\xa1\x82\x03\x18\x80\x02\x00\x00\x81\x01X\x82\x01\x02\x83\x01\x48'
    printf '\x85\x04\x00\x40\x00\x00\x86\x82\x03\x01'
    head -c 769 /dev/zero
} >"$work/big.glo"
refused "part larger than its slot" --reader 2 "$work/big.glo"
check "part larger than its slot: message" has "more than the 768 bytes of its place"
run info "$work/big.glo"
check "info, refused part: exit 1" test "$rc" -eq 1
check "info, refused part: counted and named" has "1 component; component 1 is refused"
run info "$work/badcrc.glo"
check "info, bad CRC: the one refused named" has "5 components; component 5 is refused"
run mkglo -o "$work/orbonly.glo" 2:0x48:0x4720:ORB.SRE="$work/orb"
refused "nothing for the reader" --reader 5 "$work/orbonly.glo"
check "nothing for the reader: message" has "holds nothing for the reader type 5"
check "refusals: no bin file beside" test ! -e "$work/trailing.bin" -a ! -e "$work/badcrc.bin" \
    -a ! -e "$work/orbonly.bin"

# ---- Command-line mistakes
run extract --reader 1 "$work/all.glo"
check "extract: reader 1 refused" test "$rc" -eq 2
run extract "$work/all.glo"
check "extract: --reader needed" test "$rc" -eq 2
run mkglo -o "$work/bad.glo" 1:0x10000:APP.SRE="$work/common5"
check "mkglo: three fields refused" test "$rc" -eq 2
check "mkglo: nothing written" test ! -e "$work/bad.glo"
run mkglo -o "$work/bad.glo" 1::0x10000:APP.SRE="$work/missing"
check "mkglo: missing data file" test "$rc" -eq 1
check "mkglo: nothing written" test ! -e "$work/bad.glo"

# ---- mkglo refuses what the extraction refuses, and says what no reader takes
run mkglo -o "$work/bad.glo" 2:0x48:0x4000:BOOT.SRE="$work/quin"
check "mkglo, part larger than its slot: exit 1" test "$rc" -eq 1
check "mkglo, part larger than its slot: message" has "holds 20480 bytes, more than the 768"
check "mkglo, part larger than its slot: nothing written" test ! -e "$work/bad.glo"
run mkglo -o "$work/bad.glo" 2::0x4720:ORB.SRE="$work/orb"
check "mkglo, no reader flags: exit 1" test "$rc" -eq 1
check "mkglo, no reader flags: message" has "has no reader flags (tag 0x83)"
run mkglo -o "$work/bad.glo" 1::0x5000:LOST.SRE="$work/orb"
check "mkglo, no place at all: exit 1" test "$rc" -eq 1
check "mkglo, no place at all: warning" has "no reader takes the common component LOST.SRE"
check "mkglo, no place at all: nothing written" test ! -e "$work/bad.glo"
run mkglo -o "$work/some.glo" 1::0x5000:LOST.SRE="$work/orb" 1::0x10000:APP.SRE="$work/common5"
check "mkglo, one part without a place: written" test "$rc" -eq 0 -a -s "$work/some.glo"
check "mkglo, one part without a place: warned" has "load address 0x005000"

# ---- Never written over an input
cp "$work/all.glo" "$work/keep.glo"
ln -s all.glo "$work/link.glo"
cp "$work/all.glo" "$work/self.bin"  # its "bin" name is its own
for output in "$work/all.glo" "$work/link.glo"; do
    run extract --reader 2 "$work/all.glo" -o "$output"
    check "extract -o $output: exit 2" test "$rc" -eq 2
    check "extract -o $output: said" has "is the global file $work/all.glo itself"
done
check "extract -o its input: input kept" cmp -s "$work/all.glo" "$work/keep.glo"
run extract --reader 2 "$work/self.bin"
check "extract to its own name: exit 2" test "$rc" -eq 2
check "extract to its own name: input kept" cmp -s "$work/self.bin" "$work/keep.glo"
cp "$work/common5" "$work/keep5"
run mkglo -o "$work/common5" 1::0x10000:APP.SRE="$work/common5"
check "mkglo -o a data file: exit 2" test "$rc" -eq 2
check "mkglo -o a data file: data kept" cmp -s "$work/common5" "$work/keep5"
finish
