#!/bin/bash
# cordane.exe under Wine against the Linux cordane, side by side: the same 1 Mb reader's binary
# download file (download type 2, 0xC0000 bytes) into korvel-sim playing a KvOrb1Mb (reader
# type 5), the Windows program through a COM port of the Wine prefix (the emulator's
# pseudo-terminal as dosdevices/comN), the Linux one through the emulator's port entry; runs
# alternate, and every flash dump must equal the first Linux run's.
#
#   ratio     Windows wall / Linux wall (goal <= 1.10)
#   start-up  a warm Wine's `cordane.exe --version` against the Linux `cordane --version`
#
# Usage: bench/windows_download_bench.sh LINUX_BUILD WINDOWS_BUILD [RUNS]   (RUNS default 3)
set -uo pipefail
linux=${1:?usage: $0 LINUX_BUILD WINDOWS_BUILD [RUNS]}
windows=${2:?usage: $0 LINUX_BUILD WINDOWS_BUILD [RUNS]}
runs=${3:-3}
cordane=$linux/bin/cordane
sim=$linux/bin/korvel-sim
cordane_exe=$windows/bin/cordane.exe
run=$windows/wine-run
prefix=$windows/wine
com=60
patience=120
. "$(dirname "$0")/../scripts/build_dir.sh"
korvel_need_programs "$0" "; build the targets cordane-cli and korvel-sim" "$cordane" "$sim"
korvel_need_programs "$0" "; cmake --build --preset windows" "$run"
[ -f "$cordane_exe" ] || { echo "$0: no $cordane_exe; cmake --build --preset windows" >&2; exit 1; }

. "$(dirname "$0")/../scripts/sim_scratch.sh"
korvel_scratch windows-download-bench
trap 'rm -f "$prefix/dosdevices/com$com"; korvel_cleanup' EXIT

image=$work/app1mb.bin
seq -w 0 999999 | tr '\n' ' ' | head -c $((0xC0000)) >"$image"
"$run" "$cordane_exe" --version >/dev/null 2>&1  # the prefix and its server, warm
cp "$image" "$prefix/drive_c/korvel-bench-app1mb.bin"
trap 'rm -f "$prefix/dosdevices/com$com" "$prefix/drive_c/korvel-bench-app1mb.bin"; korvel_cleanup' EXIT

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }

# run_once linux|windows: one download into a fresh emulator; sets wall (ms).
run_once() {
    local dir=$work/$1 start end code
    rm -rf "$dir"
    mkdir -p "$dir"
    if [ "$1" = linux ]; then
        "$sim" --reader 5 --virtual 42 --ports-dir "$dir" --once --dump "$dir/flash.bin" \
            >"$dir/sim.out" 2>"$dir/sim.err" &
    else
        "$sim" --reader 5 --com $com --ports-dir "$dir" --once --dump "$dir/flash.bin" \
            >"$dir/sim.out" 2>"$dir/sim.err" &
    fi
    sim_pid=$!
    korvel_wait_ready 10 "$dir/sim.out" || { cat "$dir/sim.err" >&2; return 1; }
    start=$(date +%s%N)
    if [ "$1" = linux ]; then
        KORVEL_PORTS_DIR="$dir" timeout $patience "$cordane" download --port KORVEL42 --reader 5 \
            --type 2 "$image" >/dev/null 2>"$dir/cordane.err"
    else
        ln -sfn "$(awk '/^ready /{ print $3 }' "$dir/sim.out")" "$prefix/dosdevices/com$com"
        timeout $patience "$run" "$cordane_exe" download --port COM$com --reader 5 --type 2 \
            'C:\korvel-bench-app1mb.bin' >/dev/null 2>"$dir/cordane.err"
    fi
    code=$?
    end=$(date +%s%N)
    [ "$code" -eq 0 ] || { echo "$0: $1 download: exit code $code" >&2; cat "$dir/cordane.err" >&2; return 1; }
    korvel_wait_sim $patience || { echo "$0: $1: no signed image" >&2; cat "$dir/sim.err" >&2; return 1; }
    [ -f "$work/reference.bin" ] || cp "$dir/flash.bin" "$work/reference.bin"
    cmp -s "$dir/flash.bin" "$work/reference.bin" ||
        { echo "$0: the $1 run's flash differs from the first Linux run's" >&2; return 1; }
    wall=$(((end - start) / 1000000))
}

printf 'file: %d bytes (download type 2) to a KvOrb1Mb (reader type 5); %d runs each, medians\n\n' \
    $((0xC0000)) "$runs"
linux_walls=() windows_walls=()
for ((i = 0; i < runs; i++)); do
    run_once linux || exit 1
    linux_walls+=("$wall")
    run_once windows || exit 1
    windows_walls+=("$wall")
done
lw=$(printf '%s\n' "${linux_walls[@]}" | median)
ww=$(printf '%s\n' "${windows_walls[@]}" | median)
ratio=$(awk -v w="$ww" -v l="$lw" 'BEGIN { printf "%.3f", w / l }')
printf 'Linux cordane         %6d ms\n' "$lw"
printf 'cordane.exe (Wine)    %6d ms\n' "$ww"
printf 'ratio                 %6s (goal <= 1.10: %s); every flash equal to the first Linux run'"'"'s\n\n' \
    "$ratio" "$(awk -v r="$ratio" 'BEGIN { print (r <= 1.10 ? "ok" : "MISSED") }')"

# Start-up: --version, ten times each, the Wine server warm.
startup() {  # startup COMMAND...: median ms of ten runs
    local i s e times=()
    for ((i = 0; i < 10; i++)); do
        s=$(date +%s%N)
        "$@" >/dev/null 2>&1
        e=$(date +%s%N)
        times+=($(((e - s) / 100000)))
    done
    printf '%s\n' "${times[@]}" | median | awk '{ printf "%.1f", $1 / 10 }'
}
printf 'start-up, --version   Linux %s ms, cordane.exe under a warm Wine %s ms\n' \
    "$(startup "$cordane" --version)" "$(startup "$run" "$cordane_exe" --version)"
