#!/bin/bash
# Times "cordane convert" against "objcopy -I srec -O binary" as whole processes on a 4 MB file of
# 32-byte S2 records, checks that both write the same bytes, and prints the median times and
# their ratio. Usage: bench/convert_vs_objcopy.sh BUILD_DIR [RUNS]
set -euo pipefail
build=${1:?usage: $0 BUILD_DIR [RUNS]}
runs=${2:-11}
cordane=$build/bin/cordane
make_srec=$build/bin/make-srec
. "$(dirname "$0")/../scripts/build_dir.sh"
korvel_need_programs "$0" "; build the targets cordane-cli and make-srec first" \
    "$cordane" "$make_srec"
command -v objcopy >/dev/null || { echo "$0: objcopy is missing (package binutils)" >&2; exit 2; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# objcopy's binary output starts at the lowest address, so the data starts at 0x2000 and has no
# gaps. Its image (about 1.7 MB) is larger than the engine's buffer: raise --capacity to 2 MB.
"$make_srec" --crlf --text $((4 << 20)) --start 0x2000 --record 32 "$work/in.sre"
capacity=0x200000

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# measure OUTPUT COMMAND...: runs the command once and prints its wall-clock time and its CPU time
# (user + system), in microseconds (millisecond resolution). On a shared machine the CPU time is the steadier of the two.
measure() {
    local output=$1
    shift
    rm -f "$output"
    local TIMEFORMAT='%3R %3U %3S' times
    times=$({ time "$@" >/dev/null 2>&1; } 2>&1)
    awk -v t="$times" 'BEGIN { split(t, v, " "); printf "%d %d\n", v[1] * 1e6, (v[2] + v[3]) * 1e6 }'
}

ours_cmd=("$cordane" convert --capacity $capacity "$work/in.sre" "$work/ours.bin")
theirs_cmd=(objcopy -I srec -O binary "$work/in.sre" "$work/objcopy.bin")
measure "$work/ours.bin" "${ours_cmd[@]}" >/dev/null  # warm the page cache and the programs
measure "$work/objcopy.bin" "${theirs_cmd[@]}" >/dev/null
# Alternate the two so that a change in the machine's load falls on both alike.
ours_times=()
theirs_times=()
for ((i = 0; i < runs; ++i)); do
    ours_times+=("$(measure "$work/ours.bin" "${ours_cmd[@]}")")
    theirs_times+=("$(measure "$work/objcopy.bin" "${theirs_cmd[@]}")")
done
column_median() { printf '%s\n' "${@:2}" | awk -v c="$1" '{ print $c }' | median; }
ours_wall=$(column_median 1 "${ours_times[@]}")
ours_cpu=$(column_median 2 "${ours_times[@]}")
theirs_wall=$(column_median 1 "${theirs_times[@]}")
theirs_cpu=$(column_median 2 "${theirs_times[@]}")

if ! cmp -s "$work/ours.bin" "$work/objcopy.bin"; then
    echo "$0: cordane convert and objcopy wrote different images" >&2
    exit 1
fi
printf 'input: %d bytes of S-record text, image %d bytes, %d runs each\n' \
    "$(stat -c %s "$work/in.sre")" "$(stat -c %s "$work/ours.bin")" "$runs"
awk -v ow="$ours_wall" -v oc="$ours_cpu" -v tw="$theirs_wall" -v tc="$theirs_cpu" 'BEGIN {
    printf "                 median wall   median CPU\n"
    printf "cordane convert: %8.2f ms  %8.2f ms\n", ow / 1000, oc / 1000
    printf "objcopy:         %8.2f ms  %8.2f ms\n", tw / 1000, tc / 1000
    printf "ratio:           %8.3f     %8.3f     (goal: at most 0.2)\n", ow / tw, oc / tc
}'
