#!/bin/bash
# Times "cordane download" of a 57,344-byte image (0x2000-0xFFFF, a full 64 Kb reader) into
# korvel-sim over its pseudo-terminal, for the raw and the addressed loader, and compares the time
# with what the protocol itself asks for:
#   pauses    the waits the download procedures must make, from the frames actually sent
#             (counted in the emulator's transcript):
#               raw        1 ms before the first frame, 10 ms before each later one, 10 ms after
#                          the descriptor, 100 ms after the end frame, 2000 ms at the end
#               addressed  1 ms before every frame but the first, 2000 ms at the end
#   CPU       user + system time of the downloading process
#   line      with both ends at 115200 baud: every byte on the wire, link framing included
#             (8 bytes a frame: sync, kind, length, header check, CRC), both ways, costs 10 bits
# Goals: wall / pauses <= 1.05; CPU / wall <= 5 %; at 115200 baud wall / (pauses + line) <= 1.10.
# Usage: bench/download_bench.sh BUILD_DIR [RUNS]   (RUNS per case, default 5; medians printed)
set -uo pipefail
build=${1:?usage: $0 BUILD_DIR [RUNS]}
runs=${2:-5}
cordane=$build/bin/cordane
sim=$build/bin/korvel-sim
make_srec=$build/bin/make-srec
. "$(dirname "$0")/../scripts/build_dir.sh"
korvel_need_programs "$0" "; build the targets cordane-cli, korvel-sim and make-srec" \
    "$cordane" "$sim" "$make_srec"

image_bytes=$((0xE000))
frame_overhead=8  # wire bytes around every payload: 2 sync, kind, 2 length, header check, 2 CRC
baud=115200
patience=30  # seconds a run may take before it counts as hung

. "$(dirname "$0")/../scripts/sim_scratch.sh"
korvel_scratch download-bench

"$make_srec" --bytes $image_bytes --start 0x2000 "$work/app.sre" || exit 1

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# run_once LOADER READER BAUD: one download into a fresh emulator; sets result to
# "wall_ms cpu_ms loader_frames wire_bytes" from the download and the emulator's transcript.
# It runs in this shell (not in a command substitution) so that the clean-up knows the emulator.
run_once() {
    local loader=$1 reader=$2 rate=$3
    local dir=$work/run
    rm -rf "$dir"
    mkdir -p "$dir"
    local sim_args=(--reader "$reader" --loader "$loader" --virtual 1 --ports-dir "$dir" --once
        --transcript "$dir/frames.jsonl")
    [ "$rate" = none ] || sim_args+=(--baud "$rate")
    "$sim" "${sim_args[@]}" >"$dir/sim.out" 2>"$dir/sim.err" &
    sim_pid=$!
    if ! korvel_wait_ready 10 "$dir/sim.out"; then
        echo "$0: the emulator did not start" >&2
        cat "$dir/sim.err" >&2
        return 1
    fi

    local TIMEFORMAT='%3R %3U %3S' times code
    local env=(KORVEL_PORTS_DIR="$dir")
    [ "$rate" = none ] || env+=(KORVEL_BAUD="$rate")
    times=$({ time env "${env[@]}" timeout $patience "$cordane" download --port KORVEL01 \
        --reader "$reader" "$work/app.sre" >/dev/null 2>"$dir/cordane.err"; } 2>&1)
    code=$?
    if [ "$code" -ne 0 ]; then
        echo "$0: cordane download ($loader loader) ended with exit code $code:" >&2
        cat "$dir/cordane.err" >&2
        return 1
    fi
    korvel_wait_sim "$patience"
    code=$?
    if [ "$code" -ne 0 ]; then
        echo "$0: the emulator holds no signed image after the $loader download" >&2
        return 1
    fi
    # Loader frames have an index from 1; every frame received was answered with one status
    # byte, except the reset, answered by LoaderReady with two.
    result=$(awk -v t="$times" -v overhead=$frame_overhead '
        { length_ = $0; sub(/.*"length":/, "", length_); sub(/,.*/, "", length_)
          index_ = $0; sub(/.*"index":/, "", index_); sub(/,.*/, "", index_)
          wire += length_ + overhead
          if ($0 ~ /"answer":null/) next
          if (index_ > 0) { frames++; wire += 1 + overhead } else { wire += 2 + overhead } }
        END { split(t, v, " ")
              printf "%d %d %d %d\n", v[1] * 1000, (v[2] + v[3]) * 1000, frames, wire }' \
        "$dir/frames.jsonl")
}

# pauses_ms LOADER FRAMES
pauses_ms() {
    if [ "$1" = raw ]; then
        echo $((1 + 10 * ($2 - 1) + 10 + 100 + 2000))
    else
        echo $((1 * ($2 - 1) + 2000))
    fi
}

column() { printf '%s\n' "${@:2}" | awk -v c="$1" '{ print $c }'; }

verdict() {  # verdict VALUE GOAL: "ok" when VALUE <= GOAL
    awk -v v="$1" -v g="$2" 'BEGIN { print (v <= g ? "ok" : "MISSED") }'
}

printf 'image: %d bytes from 0x2000 (%s), %d runs per case, medians\n\n' $image_bytes \
    "$(basename "$work/app.sre")" "$runs"
missed=0
for case in "raw 0" "addressed 1"; do
    read -r loader reader <<<"$case"
    fast=()
    slow=()
    for ((i = 0; i < runs; i++)); do
        run_once "$loader" "$reader" none || exit 1
        fast+=("$result")
        run_once "$loader" "$reader" $baud || exit 1
        slow+=("$result")
    done
    frames=$(column 3 "${fast[@]}" | median)
    wire=$(column 4 "${slow[@]}" | median)
    pauses=$(pauses_ms "$loader" "$frames")
    wall=$(column 1 "${fast[@]}" | median)
    cpu=$(column 2 "${fast[@]}" | median)
    slow_wall=$(column 1 "${slow[@]}" | median)
    line=$(awk -v w="$wire" -v b=$baud 'BEGIN { printf "%.0f", w * 10 * 1000 / b }')
    ratio=$(awk -v a="$wall" -v b="$pauses" 'BEGIN { printf "%.3f", a / b }')
    share=$(awk -v a="$cpu" -v b="$wall" 'BEGIN { printf "%.1f", 100 * a / b }')
    slow_ratio=$(awk -v a="$slow_wall" -v b="$pauses" -v c="$line" \
        'BEGIN { printf "%.3f", a / (b + c) }')
    printf '%s loader (reader %d): %d loader frames\n' "$loader" "$reader" "$frames"
    printf '  wall %6d ms   pauses %6d ms   wall/pauses %s (goal <= 1.05: %s)\n' \
        "$wall" "$pauses" "$ratio" "$(verdict "$ratio" 1.05)"
    printf '  CPU  %6d ms   CPU/wall %s %% (goal <= 5 %%: %s)\n' "$cpu" "$share" \
        "$(verdict "$share" 5)"
    printf '  at %d baud: wall %d ms, pauses + line %d + %d ms (%d wire bytes), ratio %s (goal <= 1.10: %s)\n\n' \
        $baud "$slow_wall" "$pauses" "$line" "$wire" "$slow_ratio" "$(verdict "$slow_ratio" 1.10)"
    for ok in "$(verdict "$ratio" 1.05)" "$(verdict "$share" 5)" "$(verdict "$slow_ratio" 1.10)"; do
        [ "$ok" = ok ] || missed=$((missed + 1))
    done
done
[ "$missed" -eq 0 ] && echo "all goals met" || echo "$missed goal(s) missed"
