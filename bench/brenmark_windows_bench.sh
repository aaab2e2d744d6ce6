#!/bin/bash
# brenmark.exe under Wine against the Linux brenmark, on one Xvfb display with openbox:
# - start to window: from starting the program to its visible "Download Application" window,
#   RUNS runs each, alternating. Wine is warm as a Windows desktop is: its server and its desktop
#   run (another program of the session, Notepad, stays open), an untimed start came first, and
#   brenmark.exe is started by Wine's loader itself, as a shortcut would (through
#   cmake/wine-run.sh alone, as the tests start it, the desktop ends with each program and
#   starts again with the next). brenmark.exe is timed stripped, as the installer ships it, and
#   Wine's own Minesweeper (winemine) beside it: what any program's window costs under Wine. Goal: the Windows median at most twice the Linux one;
# - one download of the sample application to an emulated KvTal (64 Kb) reader, and one of a
#   driver library and a 33 Kb application to a KvOrb (512Kb) (when the build has make-srec):
#   the dialog's (from Alt+S to the end of the emulator's session) against `cordane.exe
#   download` of the same files to the same kind of reader through the same COM port, and the
#   Linux cordane's; every flash must be the same.
# The Wine prefix is $KORVEL_BENCH_PREFIX (default ${TMPDIR:-/tmp}/brenmark-windows-bench-prefix),
# made on first use; its Wine session starts on the bench's display and ends with the bench.
# Usage: bench/brenmark_windows_bench.sh LINUX_BUILD WINDOWS_BUILD [RUNS]   (RUNS default 10)
# Exit code 1 when a window does not come, a download fails or a flash differs.
set -u
if [ $# -lt 2 ] || [ $# -gt 3 ]; then
    echo "usage: $0 LINUX_BUILD WINDOWS_BUILD [RUNS]" >&2
    exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/build_dir.sh"
korvel_build_dir "windows bench" "$1"
linux=$build
korvel_build_dir "windows bench" "$2"
windows=$build
runs=${3:-10}
brenmark=$linux/bin/brenmark
sim=$linux/bin/korvel-sim
cordane=$linux/bin/cordane
brenmark_exe=$windows/bin/brenmark.exe
cordane_exe=$windows/bin/cordane.exe
prefix=${KORVEL_BENCH_PREFIX:-${TMPDIR:-/tmp}/brenmark-windows-bench-prefix}
com=61
patience=60  # seconds for anything to come up or end; a failure guard only
key='HKLM\Software\Korvel\Brenmark'

korvel_need_programs "windows bench" "; build brenmark, korvel-sim and cordane-cli" \
    "$brenmark" "$sim" "$cordane"
for program in "$brenmark_exe" "$cordane_exe"; do
    [ -f "$program" ] || { echo "windows bench: no $program; cmake --build --preset windows" >&2; exit 2; }
done
. "$root/scripts/sim_scratch.sh"
. "$root/scripts/x11_session.sh"
. "$root/scripts/wine_session.sh"
x11_require "windows bench"
x11_scratch brenmark-windows-bench
wine_scratch "$root" "$prefix" "$com"

fail() {
    echo "windows bench: FAILED: $*" >&2
    for log in sim.err app.err cordane.err; do
        [ -s "$work/$log" ] && sed "s/^/  $log: /" "$work/$log" >&2
    done
    exit 1
}

now_ms() { echo $(($(date +%s%N) / 1000000)); }

# start_app linux|windows|wine: the program in the background, its pid in $app_pid (windows:
# started by Wine's loader in the warm session; wine: through wine-run.sh).
start_app() {
    if [ "$1" = linux ]; then
        (cd "$work" && KORVEL_LOG= KORVEL_PORTS_DIR=$work exec "$brenmark") >/dev/null 2>>"$work/app.err" &
    elif [ "$1" = windows ] || [ "$1" = winemine ]; then
        local program=$stripped_exe
        [ "$1" = winemine ] && program=winemine
        (cd "$work" && KORVEL_LOG= WINEPREFIX=$prefix WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
            exec "${KORVEL_WINE:-/usr/lib/wine/wine64}" "$program") >/dev/null 2>>"$work/app.err" &
    else
        (cd "$work" && KORVEL_LOG= exec "$root/cmake/wine-run.sh" "$prefix" "$brenmark_exe") \
            >/dev/null 2>>"$work/app.err" &
    fi
    app_pid=$!
}

# wait_window SECONDS: the visible dialog's window id, looked for every 5 ms (xdotool's own
# --sync looks only every half second); empty when none comes.
wait_window() {
    local end=$(($(now_ms) + $1 * 1000)) found
    while [ "$(now_ms)" -lt "$end" ]; do
        found=$(xdotool search --onlyvisible --name "${2:-^Download Application\$}" 2>/dev/null |
                head -n1)
        [ -n "$found" ] && { echo "$found"; return; }
        kill -0 "$app_pid" 2>/dev/null || return
        sleep 0.005
    done
}

# quit_app WINDOW: Alt+Q on the dialog until the program ends; its exit code in $code.
quit_app() {
    local tenth
    for ((tenth = 0; tenth < patience * 10; tenth++)); do
        kill -0 "$app_pid" 2>/dev/null || break
        if ((tenth % 5 == 0)); then
            xdotool windowactivate --sync "$1" 2>/dev/null
            xdotool key alt+q 2>/dev/null
        fi
        sleep 0.1
    done
    kill -0 "$app_pid" 2>/dev/null && fail "the program did not end on Alt+Q"
    code=0
    wait "$app_pid" || code=$?
    app_pid=
}

# start_sim NAME: the emulated reader of the download in hand ($reader, $sim_options) on a
# pseudo-terminal, once, its flash into NAME.bin (a large reader's data flash into
# NAME.data.bin); the Wine prefix sees it as COM$com, the Linux programs as KORVEL01 in
# $work/NAME.
start_sim() {
    local data=()
    ((reader >= 2)) && data=(--dump-data "$work/$1.data.bin")
    mkdir -p "$work/$1"
    "$sim" --reader "$reader" $sim_options --virtual 1 --ports-dir "$work/$1" --once \
        --dump "$work/$1.bin" "${data[@]}" >"$work/sim.out" 2>"$work/sim.err" &
    sim_pid=$!
    korvel_wait_ready "$patience" "$work/sim.out" || fail "the emulator did not come up"
    local device
    device=$(awk '/^ready /{ print $3; exit }' "$work/sim.out")
    [ -n "$device" ] || fail "the emulator named no device: $(cat "$work/sim.out")"
    wine_link_com "$device"
}

# sim_end WHO: waits (every 5 ms) for the emulator's session to end; the time in $ended, and
# fails unless the flash holds a signed image.
sim_end() {
    local end=$(($(now_ms) + patience * 1000))
    while kill -0 "$sim_pid" 2>/dev/null && [ "$(now_ms)" -lt "$end" ]; do sleep 0.005; done
    ended=$(now_ms)
    korvel_wait_sim 1 || fail "the emulated reader does not hold the application ($1)"
}

stats() {  # stats VALUES...: "min M, median D, max X"
    local sorted
    sorted=$(printf '%s\n' "$@" | sort -n)
    echo "min $(echo "$sorted" | head -n1), median $(echo "$sorted" |
        sed -n "$((($# + 1) / 2))p"), max $(echo "$sorted" | tail -n1)"
}
median() { printf '%s\n' "$@" | sort -n | sed -n "$((($# + 1) / 2))p"; }

x11_start "$work" || fail "Xvfb did not start"
# A session of this display: whatever of this prefix still runs belongs to another.
wine_stop
# The untimed start: makes the prefix when it is new, and leaves its server running.
start_app wine
window=$(wait_window $((patience * 3)))
[ -n "$window" ] || fail "brenmark.exe showed no window titled \"Download Application\""
quit_app "$window"
[ -d "$prefix/dosdevices" ] || fail "the Wine prefix $prefix has no dosdevices folder"

# ---- Start to window.
# The session's desktop stays up while another of its programs runs.
WINEPREFIX=$prefix WINEDEBUG=-all "${KORVEL_WINE:-/usr/lib/wine/wine64}" notepad >/dev/null 2>&1 &
keeper=$!
sleep 2
# brenmark.exe as the installer ships it, without its debugging information.
stripped_exe=$brenmark_exe
if command -v x86_64-w64-mingw32-strip >/dev/null; then
    stripped_exe=$work/brenmark.exe
    x86_64-w64-mingw32-strip -o "$stripped_exe" "$brenmark_exe" || fail "cannot strip $brenmark_exe"
fi
cp "$windows"/bin/*.dll "$work/" 2>/dev/null
linux_times=() windows_times=() winemine_times=()
for ((run = 0; run < runs; run++)); do
    for system in linux windows winemine; do
        start=$(now_ms)
        start_app $system
        if [ $system = winemine ]; then
            window=$(wait_window "$patience" '^WineMine$')
        else
            window=$(wait_window "$patience")
        fi
        shown=$(now_ms)
        [ -n "$window" ] || fail "$system run $((run + 1)): no window"
        case $system in
            linux) linux_times+=($((shown - start))) ;;
            windows) windows_times+=($((shown - start))) ;;
            winemine) winemine_times+=($((shown - start))) ;;
        esac
        if [ $system = winemine ]; then
            kill "$app_pid" 2>/dev/null
            wait "$app_pid" 2>/dev/null
            app_pid=
        else
            quit_app "$window"
        fi
    done
done
kill "$keeper" 2>/dev/null
wait "$keeper" 2>/dev/null
lm=$(median "${linux_times[@]}")
wm=$(median "${windows_times[@]}")
ratio=$(awk -v w="$wm" -v l="$lm" 'BEGIN { printf "%.2f", w / l }')
met=$(awk -v r="$ratio" 'BEGIN { print (r <= 2 ? "met" : "MISSED") }')
echo "start to window, ms over $runs runs each:"
printf '  %-34s %s\n' "brenmark (Linux)" "$(stats "${linux_times[@]}")" \
    "brenmark.exe (Wine warm, desktop up)" "$(stats "${windows_times[@]}")" \
    "Wine's own winemine, the same way" "$(stats "${winemine_times[@]}")"
printf '  %-34s %s (goal <= 2.00: %s)\n\n' "ratio of medians (warm)" "$ratio" "$met"

# ---- Downloads from the dialog and from the cordanes, one run each.

# run_cordane linux|windows: one cordane download of $app (and $driver), timed to the end of the
# emulator's session ($session) and to the program's end ($whole).
run_cordane() {
    local start cordane_pid code=0 driver_option=()
    start_sim "$2$1"
    start=$(now_ms)
    if [ "$1" = linux ]; then
        [ -n "$driver" ] && driver_option=(--type 0 --driver "$driver")
        KORVEL_LOG= KORVEL_PORTS_DIR=$work/$2$1 timeout "$patience" "$cordane" download \
            --port KORVEL01 --reader "$reader" "${driver_option[@]}" "$app" >/dev/null \
            2>"$work/cordane.err" &
    else
        [ -n "$driver" ] && driver_option=(--type 0 --driver "$(windows_path "$driver")")
        KORVEL_LOG= timeout "$patience" "$root/cmake/wine-run.sh" "$prefix" "$cordane_exe" download \
            --port "COM$com" --reader "$reader" "${driver_option[@]}" "$(windows_path "$app")" \
            >/dev/null 2>"$work/cordane.err" &
    fi
    cordane_pid=$!
    sim_end "$1 cordane"
    session=$((ended - start))
    wait "$cordane_pid" || code=$?
    whole=$(($(now_ms) - start))
    [ "$code" -eq 0 ] || fail "the $1 cordane download ended with $code"
}

# download_case NAME TITLE: the dialog's download of $app (and $driver) to reader type $reader
# against both cordanes'; prints a table under TITLE.
download_case() {
    local name=$1 linux_session linux_whole exe_session exe_whole dialog_wall flash part
    run_cordane linux "$name-"
    linux_session=$session linux_whole=$whole
    run_cordane windows "$name-"
    exe_session=$session exe_whole=$whole

    wine_run reg add "$key" /v FileName /t REG_SZ /d "$(windows_path "$app")" /f >/dev/null 2>&1 &&
        wine_run reg add "$key" /v FileName2 /t REG_SZ /d "$([ -n "$driver" ] &&
            windows_path "$driver")" /f >/dev/null 2>&1 &&
        wine_run reg add "$key" /v nCom /t REG_DWORD /d "$com" /f >/dev/null 2>&1 &&
        wine_run reg add "$key" /v readerType /t REG_DWORD /d "$reader" /f >/dev/null 2>&1 ||
        fail "reg add failed"
    start_sim "$name-dialog"
    start_app windows
    window=$(wait_window "$patience")
    [ -n "$window" ] || fail "no window titled \"Download Application\" for the $name download"
    xdotool windowactivate --sync "$window" 2>/dev/null
    start=$(now_ms)
    xdotool key alt+s
    sim_end "brenmark.exe, $name"
    dialog_wall=$((ended - start))
    quit_app "$window"
    [ "$code" -eq 0 ] || fail "Alt+Q after the $name download ended brenmark.exe with $code, not 0"

    for flash in windows dialog; do
        for part in bin data.bin; do
            [ -f "$work/$name-linux.$part" ] || continue
            cmp -s "$work/$name-linux.$part" "$work/$name-$flash.$part" ||
                fail "$name: the $flash run's flash ($part) differs from the Linux cordane's:" \
                    "$(cmp "$work/$name-linux.$part" "$work/$name-$flash.$part" 2>&1)"
        done
    done
    echo "$2, one run each:"
    printf '  %-28s %16s %16s\n' "" "to session end" "to program end"
    printf '  %-28s %13d ms %16s\n' "brenmark.exe (Alt+S)" "$dialog_wall" "-"
    printf '  %-28s %13d ms %13d ms\n' "cordane.exe download (Wine)" "$exe_session" "$exe_whole" \
        "cordane download (Linux)" "$linux_session" "$linux_whole"
    echo "  the three flashes are the same"
}

# The sample application to a KvTal (64 Kb) reader.
cp "$root/tools/samples/demo64.sre" "$work/demo64.sre"
reader=0 sim_options="--loader raw" app=$work/demo64.sre driver=
download_case small "demo64.sre ($(wc -c <"$app") bytes) to a KvTal (64 Kb) reader"

# A larger one: a driver library and an application of 42 Kb of code to a KvOrb (512Kb) reader
# (made-up bytes, never 0xFF).
make_srec() {  # make_srec FILE START:LENGTH:SEED...
    local part
    for part in "${@:2}"; do
        IFS=: read -r start length seed <<<"$part"
        "$make_srec" --start "$start" --bytes "$length" --seed "$seed" --header "bench" \
            | grep '^S2' || return 1
    done >"$1.records"
    { cat "$1.records"; echo S804000000FB; } >"$1"
}
make_srec=$linux/bin/make-srec
if [ -x "$make_srec" ]; then
    echo
    make_srec "$work/driver.sre" 0x4000:0x1800:1 0x70100:0x300:2 &&
        make_srec "$work/app.sre" 0x4300:0x420:3 0xE000:0x8000:4 || fail "make-srec failed"
    reader=2 sim_options= app=$work/app.sre driver=$work/driver.sre
    download_case large "a driver library and an application of $((0x420 + 0x8000)) bytes to a KvOrb (512Kb) reader"
else
    echo "(no larger download: $make_srec is missing; build the target make-srec)"
fi
