#!/bin/bash
# Times "cordane download" of a 1 Mb reader's binary download file (download type 2, 0xC0000
# bytes: driver library, application, and an upper part of 0x43FFE bytes) into korvel-sim playing
# a KvOrb1Mb (reader type 5) over its pseudo-terminal, and compares the time with what the
# large-reader procedure itself asks for.
#
# A quarter of the file is blank (0xFF), spread as every fourth 255-byte block of each region on
# the block grid the engine cuts it into, so that the application's and the upper part's blank
# blocks are skipped (the driver library's are sent all the same).
#
#   frames    loader frames the emulator received (its transcript)
#   pauses    the 1 ms waits the procedure makes before ProgramLarge, every driver block, the
#             application's last block, every upper block it sends, the signature and
#             EndSession, counted from the frames actually sent, plus the final 2000 ms
#   per frame (wall - pauses) / frames: what the engine, the link and the emulator add
#   CPU       user + system time of the cordane process
#   memory    peak resident set of the cordane process
# Goals: per frame <= 250 us; wall / pauses <= 1.15; CPU / wall <= 5 %; memory <= 12 MB.
# The first run's flash dump is compared with the image the file must give.
#
# Then the same download with the emulator holding every answer for a USB serial adapter's
# latency timer (korvel-sim --latency LATENCY_MS, default 16 ms, the common adapters' setting),
# in runs alternating with the plain ones, side by side: what such an adapter costs a large
# download when its driver is not asked for low latency, which the serial link asks for.
#   ratio     wall with the timer / wall without
#   added     the seconds the timer adds, and per loader frame
#
# Usage: bench/large_download_bench.sh BUILD_DIR [RUNS [LATENCY_MS]]
#   (RUNS default 5; medians printed; LATENCY_MS 0 leaves the latency case out)
set -uo pipefail
build=${1:?usage: $0 BUILD_DIR [RUNS [LATENCY_MS]]}
runs=${2:-5}
latency=${3:-16}
cordane=$build/bin/cordane
sim=$build/bin/korvel-sim
timer=/usr/bin/time
. "$(dirname "$0")/../scripts/build_dir.sh"
korvel_need_programs "$0" "; build the targets cordane-cli and korvel-sim" "$cordane" "$sim"
korvel_need_programs "$0" "; install the package \"time\" (apt-get install time)" "$timer"

# Binary download file and reader memory map.
file_size=$((0xC0000))
driver_at=2 driver_length=$((0xA000))            # file offset, length; to 0x4000
app_at=$((0xA002)) upper_at=$((0x7C002))         # file offsets of the application's two parts
app_start=$((0xD000)) app_end=$((0x80000))       # the application region's blocks start here
upper_start=$((0x100000))
block=255
dump_size=$((0x180000))
port=42
patience=60  # seconds a run may take before it counts as hung (more with the latency timer)

. "$(dirname "$0")/../scripts/sim_scratch.sh"
korvel_scratch large-download-bench

# put SRC SRC_OFFSET COUNT DEST DEST_OFFSET: copies COUNT bytes in place.
put() {
    dd if="$1" of="$4" bs=64K iflag=skip_bytes,count_bytes oflag=seek_bytes skip="$2" \
        count="$3" seek="$5" conv=notrunc status=none
}

# The file: decimal text (never 0xFF), then every fourth block of each region blanked.
image=$work/app1mb.bin
seq -w 0 999999 | tr '\n' ' ' | head -c $file_size >"$image"
head -c $block /dev/zero | tr '\0' '\377' >"$work/blank"
blanks=0
blank_block() {  # blank_block FILE_OFFSET
    put "$work/blank" 0 $block "$image" "$1"
    blanks=$((blanks + 1))
}
for ((k = 0; (k + 1) * block <= driver_length; k += 4)); do
    blank_block $((driver_at + k * block))
done
# Application blocks 49 on lie at 0xD000 + 255 n, file offset address - 0xE000 + 0xA002.
for ((n = 52; app_start + (n + 1) * block <= app_end; n += 4)); do
    blank_block $((app_start + n * block - 0xE000 + app_at))
done
for ((k = 1; upper_at + (k + 1) * block <= file_size; k += 4)); do
    blank_block $((upper_at + k * block))
done

# The flash the download must leave: driver at 0x4000 under the signature, the application
# from 0xE000 without 0xF000-0xFFFF, the upper part at 0x100000.
expected=$work/expected.bin
head -c $dump_size /dev/zero | tr '\0' '\377' >"$expected"
put "$image" $driver_at $driver_length "$expected" $((0x4000))
put "$image" $app_at $((0x1000)) "$expected" $((0xE000))
put "$image" $((app_at + 0x2000)) $((upper_at - app_at - 0x2000)) "$expected" $((0x10000))
put "$image" $upper_at $((file_size - upper_at)) "$expected" $upper_start
printf 'KV' | dd of="$expected" bs=1 seek=$((0x4000)) conv=notrunc status=none

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
column() { printf '%s\n' "${@:2}" | awk -v c="$1" '{ print $c }'; }
verdict() { awk -v v="$1" -v g="$2" 'BEGIN { print (v <= g ? "ok" : "MISSED") }'; }

# run_once CHECK [LATENCY_MS]: one download into a fresh emulator; sets result to
# "wall_ms cpu_ms rss_kb frames pauses_ms". CHECK=1 compares the dump with the expected flash.
run_once() {
    local check=$1 held=${2:-0} dir=$work/run
    local patience=$((patience + ${2:-0} * 5))  # 2,000-odd frames, each held up to LATENCY_MS
    rm -rf "$dir"
    mkdir -p "$dir"
    "$sim" --reader 5 --virtual $port --ports-dir "$dir" --once --transcript "$dir/frames.jsonl" \
        --dump "$dir/flash.bin" --latency "$held" >"$dir/sim.out" 2>"$dir/sim.err" &
    sim_pid=$!
    if ! korvel_wait_ready 10 "$dir/sim.out"; then
        echo "$0: the emulator did not start:" >&2
        cat "$dir/sim.err" >&2
        return 1
    fi

    local start end code
    start=$(date +%s%N)
    KORVEL_PORTS_DIR="$dir" timeout $patience "$timer" -v -o "$dir/time.txt" "$cordane" download \
        --port KORVEL$port --reader 5 --type 2 "$image" >/dev/null 2>"$dir/cordane.err"
    code=$?
    end=$(date +%s%N)
    if [ "$code" -ne 0 ]; then
        echo "$0: cordane download ended with exit code $code:" >&2
        cat "$dir/cordane.err" >&2
        return 1
    fi
    korvel_wait_sim "$patience"
    code=$?
    if [ "$code" -ne 0 ]; then
        echo "$0: the emulator holds no signed image after the download:" >&2
        cat "$dir/sim.err" >&2
        return 1
    fi
    if [ "$check" = 1 ] && ! cmp -s "$dir/flash.bin" "$expected"; then
        echo "$0: the flash differs from the file's image (offset = address):" >&2
        cmp -l "$dir/flash.bin" "$expected" | head -5 >&2
        return 1
    fi

    # Pauses from the frames sent: ProgramLarge, every driver block (below 0xE000; the
    # application's first block is never there in a binary download), the application's last
    # block (its last frame), every upper block, the signature (2 bytes at 0x4000) and EndSession.
    local pauses frames
    read -r frames pauses < <(awk '
        function hex(s,    v, i, c) {
            v = 0
            for (i = 3; i <= length(s); i++) {
                c = index("0123456789ABCDEF", toupper(substr(s, i, 1))) - 1
                v = v * 16 + c
            }
            return v
        }
        function field(name,    v) {
            v = $0; sub(".*\"" name "\":", "", v); sub(/[,}].*/, "", v); gsub(/"/, "", v)
            return v
        }
        field("index") > 0 {
            frames++
            kind = field("kind")
            if (kind == "load-routine" || kind == "end-session") pauses++
            if (kind != "write-block") next
            a = hex(field("address"))
            if (a == 16384 && field("length") == 11) { pauses++; next }   # the signature
            if (a < 57344) pauses++                                       # driver
            else if (a >= 1048576) pauses++                               # upper part
            if (a >= 57344 && a < 524288) app_frames++
        }
        END { printf "%d %d\n", frames, pauses + (app_frames > 0 ? 1 : 0) + 2000 }
    ' "$dir/frames.jsonl")

    local cpu rss
    cpu=$(awk -F': ' '/User time|System time/ { s += $2 } END { printf "%d", s * 1000 }' \
        "$dir/time.txt")
    rss=$(awk -F': ' '/Maximum resident set size/ { print $2 }' "$dir/time.txt")
    result="$(((end - start) / 1000000)) $cpu $rss $frames $pauses"
}

printf 'file: %d bytes (download type 2, %d blank blocks of 255 bytes) to a KvOrb1Mb (reader\n' \
    $file_size $blanks
printf 'type 5); %d runs, medians\n\n' "$runs"
results=()
held=()
for ((i = 0; i < runs; i++)); do
    run_once $((i == 0)) || exit 1
    results+=("$result")
    if [ "$latency" -gt 0 ]; then
        run_once $((i == 0)) "$latency" || exit 1
        held+=("$result")
    fi
done
wall=$(column 1 "${results[@]}" | median)
cpu=$(column 2 "${results[@]}" | median)
rss=$(column 3 "${results[@]}" | median)
frames=$(column 4 "${results[@]}" | median)
pauses=$(column 5 "${results[@]}" | median)
per_frame=$(awk -v w="$wall" -v p="$pauses" -v f="$frames" 'BEGIN { printf "%.0f", (w - p) * 1000 / f }')
ratio=$(awk -v w="$wall" -v p="$pauses" 'BEGIN { printf "%.3f", w / p }')
share=$(awk -v c="$cpu" -v w="$wall" 'BEGIN { printf "%.1f", 100 * c / w }')
rss_mb=$(awk -v k="$rss" 'BEGIN { printf "%.1f", k / 1024 }')

printf 'frames     %6d loader frames (the flash matched the file'"'"'s image)\n' "$frames"
printf 'pauses     %6d ms mandated (%d x 1 ms + 2000 ms)\n' "$pauses" $((pauses - 2000))
printf 'wall       %6d ms\n' "$wall"
printf 'per frame  %6d us beyond the pauses (goal <= 250: %s)\n' "$per_frame" \
    "$(verdict "$per_frame" 250)"
printf 'ratio      %6s wall / pauses (goal <= 1.15: %s)\n' "$ratio" "$(verdict "$ratio" 1.15)"
printf 'CPU        %6d ms, %s %% of wall (goal <= 5 %%: %s)\n' "$cpu" "$share" \
    "$(verdict "$share" 5)"
printf 'memory     %6s MB peak resident (goal <= 12: %s)\n' "$rss_mb" "$(verdict "$rss_mb" 12)"
missed=0
for ok in "$(verdict "$per_frame" 250)" "$(verdict "$ratio" 1.15)" "$(verdict "$share" 5)" \
    "$(verdict "$rss_mb" 12)"; do
    [ "$ok" = ok ] || missed=$((missed + 1))
done
[ "$missed" -eq 0 ] && echo "all goals met" || echo "$missed goal(s) missed"

if [ "$latency" -gt 0 ]; then
    held_wall=$(column 1 "${held[@]}" | median)
    held_frames=$(column 4 "${held[@]}" | median)
    held_per_frame=$(awk -v w="$held_wall" -v p="$pauses" -v f="$held_frames" \
        'BEGIN { printf "%.0f", (w - p) * 1000 / f }')
    held_ratio=$(awk -v a="$held_wall" -v b="$wall" 'BEGIN { printf "%.2f", a / b }')
    added=$(awk -v a="$held_wall" -v b="$wall" 'BEGIN { printf "%.1f", (a - b) / 1000 }')
    added_frame=$(awk -v a="$held_wall" -v b="$wall" -v f="$frames" \
        'BEGIN { printf "%.1f", (a - b) / f }')
    printf '\nadapter latency timer (korvel-sim --latency), %d runs each, alternating, medians:\n' \
        "$runs"
    printf '%-11s%14s%14s\n' '' '--latency 0' "--latency $latency"
    printf '%-11s%14d%14d\n' frames "$frames" "$held_frames"
    printf '%-11s%11d ms%11d ms\n' wall "$wall" "$held_wall"
    printf '%-11s%11d us%11d us  beyond the pauses\n' 'per frame' "$per_frame" "$held_per_frame"
    printf '%-11s%14s%14s  wall / wall with --latency 0\n' ratio 1.00 "$held_ratio"
    printf '%-11s%s s for the download, %s ms a frame: what asking the driver for low latency\n' \
        added "$added" "$added_frame"
    printf '%-11ssaves on such an adapter\n' ''
fi
