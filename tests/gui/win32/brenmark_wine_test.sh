#!/bin/bash
# brenmark.exe under Wine on a real X server (Xvfb with openbox), driven from the keyboard with
# xdotool, against korvel-sim on a pseudo-terminal that the Wine prefix shows as a COM port:
# - Enter presses Quit, the default button;
# - settings put into the registry with `reg add` fill the dialog; Escape and the window
#   manager's close request leave it open; the context menu opens the About box; Alt+S downloads, and the emulated reader's flash is
#   the Linux cordane's of the same file; Alt+Q ends the program with 0; `reg query` then shows
#   what the dialog remembered at Quit;
# - a frame the emulated reader refuses brings the engine's "Download error" box up on the
#   dialog; Return answers it, the dialog is ready again and Alt+Q ends the program with the
#   worker's code;
# - an automatic kit run, started with the command line a development kit writes
#   (|PATHMKI="Z:\...\" |COM=0), finds the kit's files in any case, downloads by itself and ends
#   with the worker's code.
# The prefix is this test's own: its Wine session starts on this test's X display and is ended
# with the test.
# Usage: brenmark_wine_test.sh HOST_BIN WINDOWS_BIN WINEPREFIX SOURCE_DIR COM_BASE
# Exit code 77: skipped, with the reason on standard output.
set -u
if [ $# -ne 5 ]; then
    sed -n '2,17p' "$0" >&2
    exit 2
fi
host_bin=$1 windows_bin=$2 prefix=$3 source_dir=$4 com=$5
sim=$host_bin/korvel-sim
linux_cordane=$host_bin/cordane
brenmark=$windows_bin/brenmark.exe
launcher=$windows_bin/command-line-launcher.exe
sample=$source_dir/tools/samples/demo64.sre
patience=60  # seconds for anything to come up or end; a failure guard only

skip() {
    echo "SKIPPED: $*"
    exit 77
}
[ -x "$sim" ] && [ -x "$linux_cordane" ] ||
    skip "no Linux build with korvel-sim and cordane in $host_bin (build the Linux tree first, or set KORVEL_HOST_TOOLS_DIR)"
[ -f "$brenmark" ] || skip "no brenmark.exe in $windows_bin"
for tool in Xvfb openbox xdotool; do
    command -v "$tool" >/dev/null || skip "$tool is missing"
done

. "$source_dir/scripts/sim_scratch.sh"
. "$source_dir/scripts/x11_session.sh"
. "$source_dir/scripts/wine_session.sh"
x11_scratch brenmark-wine
wine_scratch "$source_dir" "$prefix" "$com"

fail() {
    echo "FAILED: $*" >&2
    for log in sim.err app.err; do [ -s "$work/$log" ] && sed "s/^/  $log: /" "$work/$log" >&2; done
    exit 1
}

reg() { wine_run reg "$@" 2>>"$work/reg.err"; }
key='HKLM\Software\Korvel\Brenmark'

# start_sim NAME ARGS...: the emulator on a virtual port, ready, shown to the prefix as COM$com.
start_sim() {
    local name=$1
    shift
    mkdir -p "$work/$name"
    "$sim" --ports-dir "$work/$name" --virtual 1 --once "$@" >"$work/sim.out" 2>"$work/sim.err" &
    sim_pid=$!
    korvel_wait_ready "$patience" "$work/sim.out" || fail "the emulator did not come up"
    wine_link_com "$(grep '^ready ' "$work/sim.out" | head -n1 | cut -d' ' -f3)"
}

# wait_app WHAT [KEY]: waits for brenmark.exe to end, pressing KEY every half second when given;
# its exit code in $code.
wait_app() {
    x11_wait_app "$patience" "${@:2}" || fail "brenmark.exe did not end after $1"
}

# find_window NAME: the id of a visible window named exactly NAME, activated; empty when none
# comes within the patience.
find_window() {
    local found
    found=$(timeout "$patience" xdotool search --sync --onlyvisible --name "^$1\$" 2>/dev/null |
            head -n1)
    [ -n "$found" ] && xdotool windowactivate --sync "$found" 2>/dev/null
    echo "$found"
}

x11_start "$work" || fail "Xvfb did not start"
# A session of this display: whatever of this prefix still runs belongs to another.
wine_stop
# The first start makes the prefix when it is new (which takes a while), and the dialog's window
# must come; Enter, on the terminal-type list that has the focus, presses Quit, the default
# button, which ends it at once.
(cd "$work" && exec "$source_dir/cmake/wine-run.sh" "$prefix" "$brenmark") >"$work/app.out" 2>"$work/app.err" &
app_pid=$!
window=$(timeout $((patience * 3)) xdotool search --sync --onlyvisible \
         --name '^Download Application$' | head -n1)
[ -n "$window" ] || fail "brenmark.exe showed no window titled \"Download Application\""
xdotool windowactivate --sync "$window" 2>/dev/null
wait_app "Enter on a new dialog" Return
[ "$code" -eq 0 ] || fail "Enter without a download ended brenmark.exe with $code, not 0"
[ -d "$prefix/dosdevices" ] || skip "the Wine prefix $prefix has no dosdevices folder"
cp "$sample" "$work/demo64.sre"

# ---- The interactive run, from the registry.

# The Linux cordane's flash of the same file, the reference.
start_sim linux --reader 0 --loader raw --dump "$work/linux.bin"
KORVEL_PORTS_DIR=$work/linux KORVEL_LOG= "$linux_cordane" download --reader 0 "$work/demo64.sre" \
    --port KORVEL01 >"$work/cordane.out" 2>"$work/cordane.err" || fail "the Linux cordane failed"
korvel_wait_sim "$patience" || fail "the Linux cordane's emulator did not end"

reg add "$key" /v FileName /t REG_SZ /d "$(windows_path "$work/demo64.sre")" /f >/dev/null &&
    reg add "$key" /v nCom /t REG_DWORD /d "$com" /f >/dev/null &&
    reg add "$key" /v readerType /t REG_DWORD /d 0 /f >/dev/null || fail "reg add failed"
start_sim windows --reader 0 --loader raw --dump "$work/windows.bin"
(cd "$work" && KORVEL_LOG= exec "$source_dir/cmake/wine-run.sh" "$prefix" "$brenmark") >"$work/app.out" 2>"$work/app.err" &
app_pid=$!
window=$(find_window "Download Application")
[ -n "$window" ] || fail "no window titled \"Download Application\""
# The Cancel command, from the keyboard and from the window manager, never closes the dialog.
xdotool key Escape
sleep 0.3
xdotool key alt+F4
sleep 0.5
kill -0 "$app_pid" 2>/dev/null && xdotool search --onlyvisible --name '^Download Application$' \
    >/dev/null || fail "Escape or the close request closed the dialog"
# The About box, from the dialog's context menu (Shift+F10, then A for its entry); Return closes
# it.
xdotool windowactivate --sync "$window" 2>/dev/null
xdotool key shift+F10
sleep 0.3
xdotool key a
about=$(find_window "A propos de Brenmark")
[ -n "$about" ] || fail "no About box from the context menu"
xdotool key Return
for ((tenth = 0; tenth < 50; tenth++)); do
    xdotool search --onlyvisible --name '^A propos de Brenmark$' >/dev/null 2>&1 || break
    sleep 0.1
done
xdotool search --onlyvisible --name '^A propos de Brenmark$' >/dev/null 2>&1 &&
    fail "Return did not close the About box"
xdotool windowactivate --sync "$window" 2>/dev/null
xdotool key alt+s
korvel_wait_sim "$patience" || fail "the emulated reader does not hold the application"
cmp -s "$work/linux.bin" "$work/windows.bin" ||
    fail "the flash differs from the Linux cordane's: $(cmp "$work/linux.bin" "$work/windows.bin" 2>&1)"
# Quit is enabled again once the dialog is ready: keep asking until the program ends.
xdotool windowactivate --sync "$window" 2>/dev/null
wait_app "Alt+Q" alt+q
[ "$code" -eq 0 ] || fail "Alt+Q after the download ended brenmark.exe with $code, not 0"
reg query "$key" | tr -d '\r' >"$work/reg.out" || fail "reg query failed"
grep -qiE "^ +fileName +REG_SZ +Z:.*\\\\demo64\\.sre" "$work/reg.out" &&
    grep -qiE "^ +nCom +REG_DWORD +0x0*$(printf %x "$com")\$" "$work/reg.out" &&
    grep -qiE "^ +readerType +REG_DWORD +0x0+\$" "$work/reg.out" ||
    fail "the registry does not hold what was remembered: $(cat "$work/reg.out")"
echo "interactive: downloaded through COM$com from the registry's settings, the flash is the" \
     "Linux cordane's; Escape and the close request kept the dialog; About from the context" \
     "menu; Alt+Q: exit code 0"

# ---- An engine error, answered with Return.

reg add "$key" /v readerType /t REG_DWORD /d 1 /f >/dev/null || fail "reg add failed"
start_sim refused --reader 1 --loader addressed --fail-at 3:0x23
(cd "$work" && KORVEL_LOG= exec "$source_dir/cmake/wine-run.sh" "$prefix" "$brenmark") >"$work/app.out" 2>"$work/app.err" &
app_pid=$!
window=$(find_window "Download Application")
[ -n "$window" ] || fail "no window for the second run"
xdotool key alt+s
box=$(find_window "Download error")
[ -n "$box" ] || fail "no \"Download error\" box after the reader refused a frame"
xdotool key Return
# The dialog goes on: ready again, Alt+Q ends it with the failed download's code.
xdotool windowactivate --sync "$window" 2>/dev/null
wait_app "the error box was answered" alt+q
[ "$code" -eq 35 ] || fail "after the refused frame brenmark.exe ended with $code, not 35"
korvel_wait_sim 5
echo "engine error: the \"Download error\" box answered with Return; Alt+Q: exit code 35"

# ---- The automatic kit run: the kit's configuration in lower case, its paths Windows'.

kit=$work/kit
out=$(windows_path "$kit/")
mkdir -p "$kit/kvsdk" "$kit/Download/KvTal/App05"
cp "$sample" "$kit/Download/KvTal/App05/TS2DEMO00502030101.sre"
{
    printf 'CONF:V2.0\x01\xbb\x00\x01\x00'                    # header; one record of 187 bytes
    printf '\x05\x00\x02'; head -c 7 /dev/zero                 # 0: application 5, number 2
    printf '\x00'; head -c 8 /dev/zero                         # 10: reader type 0
    printf '%s' "$out"; head -c $((101 - 19 - ${#out})) /dev/zero   # 19: output directory
    printf "\\x$(printf %02x "$com")\\x00"                     # 101: COM port
    head -c $((171 - 103)) /dev/zero
    printf '\x03DEMO'; head -c $((187 - 176)) /dev/zero        # 171: number 3, short name
} >"$kit/kvsdk/simulator.CFG"
[ ${#out} -lt 82 ] || skip "the scratch path $kit is too long for a kit configuration"
start_sim kit --reader 0 --loader raw --dump "$work/kit.bin"
mkdir -p "$work/run"
(cd "$work/run" && KORVEL_LOG= \
    KORVEL_COMMAND_LINE="\"$(windows_path "$brenmark")\" |PATHMKI=\"$out\" |COM=0" \
    exec "$source_dir/cmake/wine-run.sh" "$prefix" "$launcher") >"$work/app.out" 2>"$work/app.err" &
app_pid=$!
wait_app "the automatic run"
[ "$code" -eq 0 ] || fail "the automatic kit run ended with $code, not 0"
korvel_wait_sim "$patience" || fail "the kit run's emulator did not end"
cmp -s "$work/linux.bin" "$work/kit.bin" || fail "the kit run's flash differs from the Linux cordane's"
echo "kit: |PATHMKI=\"$out\" |COM=0 downloaded by itself through COM$com; exit code 0"
