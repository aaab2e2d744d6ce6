#!/bin/bash
# Times reader detection, "cordane detect", against korvel-sim playing a KvOrb1Mb (reader type 5),
# from the link's open to its close (the time cordane detect --timing reports), and compares it
# with what detection itself asks for:
#
#   pauses    the 1 ms waits before each of the 30 loader chunks and before the start frame
#             (31 ms; the reader opens at the first call, so no 100 ms wait between opens)
#   wire      every byte of every frame both ways (the link's 6-byte frame header and 2-byte CRC
#             around each payload) at the line speed, 10 bits a byte
#   ratio     open to close / (pauses + wire); goal <= 1.15
#
# Two series: the emulator paced at the line speed (--baud, default 115200, the link's own
# speed), which is the figure the goal is about, and unpaced, where the wire takes no time and
# what is left beyond the pauses is the cost of the exchanges themselves (link, pseudo-terminal,
# emulator).
#
# Usage: bench/detection_bench.sh BUILD_DIR [RUNS] [BAUD]   (RUNS default 10; medians printed)
set -uo pipefail
build=${1:?usage: $0 BUILD_DIR [RUNS] [BAUD]}
runs=${2:-10}
baud=${3:-115200}
cordane=$build/bin/cordane
sim=$build/bin/korvel-sim
. "$(dirname "$0")/../scripts/build_dir.sh"
korvel_need_programs "$0" "; build the targets cordane-cli and korvel-sim" "$cordane" "$sim"
port=43
pauses=31
patience=30

. "$(dirname "$0")/../scripts/sim_scratch.sh"
korvel_scratch detection-bench

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
verdict() { awk -v v="$1" -v g="$2" 'BEGIN { print (v <= g ? "ok" : "MISSED") }'; }

# run_once [SIM-ARGS...]: one detection against a fresh emulator; sets result to
# "elapsed_ms wire_bytes".
run_once() {
    local dir=$work/run
    rm -rf "$dir"
    mkdir -p "$dir"
    : >"$dir/sim.out"  # there before the emulator's first line, for korvel_wait_ready
    "$sim" --reader 5 --virtual $port --ports-dir "$dir" --transcript "$dir/frames.jsonl" "$@" \
        >"$dir/sim.out" 2>"$dir/sim.err" &
    sim_pid=$!
    if ! korvel_wait_ready 10 "$dir/sim.out"; then
        echo "$0: the emulator did not start:" >&2
        cat "$dir/sim.err" >&2
        return 1
    fi
    KORVEL_PORTS_DIR="$dir" timeout $patience "$cordane" detect --port KORVEL$port --json \
        --timing >"$dir/out.json" 2>"$dir/err.txt"
    local code=$?
    kill "$sim_pid" 2>/dev/null
    wait "$sim_pid" 2>/dev/null
    sim_pid=
    if [ "$code" -ne 0 ] || ! grep -q '"reader_type":5,' "$dir/out.json"; then
        echo "$0: cordane detect ended with exit code $code:" >&2
        cat "$dir/out.json" "$dir/err.txt" >&2
        return 1
    fi
    local elapsed bytes
    elapsed=$(sed -n 's/.*open to close in \([0-9]*\) ms.*/\1/p' "$dir/err.txt")
    # Each frame received: its payload and 8 framing bytes; each answer likewise (LoaderReady 2
    # bytes, a status byte, or the bytes a ReadMemory read).
    bytes=$(awk '
        function field(name,    v) {
            v = $0; sub(".*\"" name "\":", "", v); sub(/[,}].*/, "", v); gsub(/"/, "", v)
            return v
        }
        {
            total += field("length") + 8
            if (field("kind") == "reset") total += 10
            else if ($0 ~ /"detail":"answered /) {
                d = $0; sub(/.*"detail":"answered /, "", d); sub(/".*/, "", d)
                total += 8 + split(d, parts, " ")
            } else if (field("answer") != "null") total += 9
        }
        END { print total }
    ' "$dir/frames.jsonl")
    result="$elapsed $bytes"
}

# series LABEL BAUD|0: RUNS detections; prints the medians and the ratio.
series() {
    local label=$1 rate=$2 i
    local -a elapsed=()
    local bytes=0
    for ((i = 0; i < runs; i++)); do
        if [ "$rate" -gt 0 ]; then run_once --baud "$rate" || exit 1; else run_once || exit 1; fi
        elapsed+=("${result% *}")
        bytes=${result#* }
    done
    local median_ms wire_ms ratio
    median_ms=$(printf '%s\n' "${elapsed[@]}" | median)
    wire_ms=$(awk -v b="$bytes" -v r="$rate" 'BEGIN { printf "%.1f", (r > 0 ? b * 10000 / r : 0) }')
    ratio=$(awk -v e="$median_ms" -v p="$pauses" -v w="$wire_ms" 'BEGIN { printf "%.3f", e / (p + w) }')
    printf '%-9s open to close %5d ms (median of %d; from %s to %s ms)\n' "$label" "$median_ms" \
        "$runs" "$(printf '%s\n' "${elapsed[@]}" | sort -n | head -1)" \
        "$(printf '%s\n' "${elapsed[@]}" | sort -n | tail -1)"
    printf '          pauses %d ms + wire %s ms (%d bytes both ways) = %s ms\n' "$pauses" "$wire_ms" \
        "$bytes" "$(awk -v p="$pauses" -v w="$wire_ms" 'BEGIN { printf "%.1f", p + w }')"
    printf '          ratio %s (goal <= 1.15: %s)\n' "$ratio" "$(verdict "$ratio" 1.15)"
    last_ratio=$ratio
}

printf 'reader detection of a KvOrb1Mb (reader type 5) through cordane detect, %d runs\n\n' "$runs"
series "$baud Bd" "$baud"
paced=$last_ratio
series unpaced 0
echo
[ "$(verdict "$paced" 1.15)" = ok ]
