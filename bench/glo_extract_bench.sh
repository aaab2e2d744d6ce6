#!/bin/bash
# Times "cordane extract" as a whole process on a global file of nearly 4 MiB (the most a global
# file may hold), built with "cordane mkglo": common parts in slots 5 and 7, a large reader-specific
# part for each of the reader types 2, 3, 4 and 5 and a part at 0x70000 for type 5. The reader type
# extracted is 5, whose image is the largest such a file gives. Every component's CRC is checked,
# then the image is laid out, its CRC taken and the "bin" file written.
# Goal: at most 20 ms a run. Usage: bench/glo_extract_bench.sh BUILD_DIR [RUNS]   (default 50)
set -uo pipefail
build=${1:?usage: $0 BUILD_DIR [RUNS]}
runs=${2:-50}
cordane=$build/bin/cordane
. "$(dirname "$0")/../scripts/build_dir.sh"
korvel_need_programs "$0" "; build the target cordane-cli" "$cordane"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

data() {  # data NAME BYTES: random bytes, so that nothing is blank
    head -c "$2" /dev/urandom >"$work/$1"
}
data slot5 $((0x70000))
data slot7 $((0x80000))
data large $((0xDB8E0))
data part $((400000))
data upper $((0x10000))
"$cordane" mkglo -o "$work/all.glo" \
    1::0x10000:APP.SRE="$work/slot5" \
    1::0x100000:UPPER.SRE="$work/slot7" \
    2:0x48:0x4720:ORB512.SRE="$work/large" \
    2:0x00:0x4720:TAL512.SRE="$work/large" \
    2:0x18:0x4720:QUIN3.SRE="$work/large" \
    2:0x58:0x4720:ORB1MB.SRE="$work/part" \
    2:0x58:0x70000:ORB1MB_HI.SRE="$work/upper" || exit 1
size=$(stat -c %s "$work/all.glo")

"$cordane" extract --reader 5 "$work/all.glo" -o "$work/out.bin" || exit 1  # warm the caches
# Wall time of the whole loop, and the CPU time (user + system) of the runs: on a loaded machine the
# wall time also counts the waits for a core.
TIMEFORMAT='%R %U %S'
times=$( { time for ((i = 0; i < runs; i++)); do
    "$cordane" extract --reader 5 "$work/all.glo" -o "$work/out.bin" || exit 1
done; } 2>&1) || exit 1
read -r wall user system <<<"$times"
# The floor: the same loop starting the program for nothing else ("cordane --version").
floor=$( { time for ((i = 0; i < runs; i++)); do "$cordane" --version >/dev/null; done; } 2>&1)
read -r floor_wall floor_user floor_system <<<"$floor"
awk -v w="$wall" -v u="$user" -v s="$system" -v n="$runs" -v size="$size" \
    -v fw="$floor_wall" -v fu="$floor_user" -v fs="$floor_system" \
    -v out="$(stat -c %s "$work/out.bin")" 'BEGIN {
    printf "global file %d bytes, bin file %d bytes, %d runs of cordane extract:\n", size, out, n
    printf "  %.2f ms per run (wall), %.2f ms CPU (user %.2f + system %.2f); goal 20 ms\n",
        w * 1000 / n, (u + s) * 1000 / n, u * 1000 / n, s * 1000 / n
    printf "  floor, a run of cordane --version in the same loop: %.2f ms (wall), %.2f ms CPU\n",
        fw * 1000 / n, (fu + fs) * 1000 / n
}'
