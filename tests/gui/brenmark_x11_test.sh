#!/bin/bash
# Brenmark under a real X server (Xvfb and openbox), driven from the keyboard with xdotool: picks
# "KvTal (64 Kb)" and KORVEL03, types the sample's path and presses Alt+S; the emulated reader must
# then hold the application. A second Alt+S, with the reader gone, must bring the engine's error
# box up from its worker thread; Return answers it, Alt+Q ends the program with that download's
# non-zero status.
# Then two automatic kit runs (|COM=0), which on a display show what the interactive run shows:
# a kit without its files brings the engine's "Download error" box up, with the job log on; Return
# answers it and the program ends with the file error's code, its row written. A kit run in erase
# code mode whose options file asks before erasing the data flash puts the question; "y" answers
# Yes and the emulated reader's data flash is erased.
# Usage: tests/gui/brenmark_x11_test.sh BUILD_DIR
set -u

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
root=$(cd "$(dirname "$0")/../.." && pwd)
. "$root/scripts/build_dir.sh"
. "$root/scripts/sim_scratch.sh"
. "$root/scripts/x11_session.sh"
korvel_build_dir "x11 test" "$1"
brenmark=$build/bin/brenmark
sim=$build/bin/korvel-sim
cordane=$build/bin/cordane
patience=10

x11_require "x11 test"
x11_scratch brenmark-x11

fail() {
    echo "x11 test: FAILED: $*" >&2
    for log in sim.err app.err; do [ -s "$work/$log" ] && sed "s/^/  $log: /" "$work/$log" >&2; done
    exit 1
}

# wait_app WHAT [KEY]: waits for the program to end, pressing KEY every half second when given;
# its exit code in $code. Fails, naming WHAT, when it does not end.
wait_app() {
    x11_wait_app "$patience" "${@:2}" || fail "brenmark did not end after $1"
}

x11_start "$work" || fail "Xvfb did not start"
"$sim" --reader 0 --loader raw --virtual 3 --ports-dir "$work" --once \
    >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
korvel_wait_ready "$patience" "$work/sim.out" || fail "the emulator did not come up"
cp "$root/tools/samples/demo64.sre" "$work/demo64.sre"

# Under the sanitizers: the D-Bus library Qt loads under X keeps a buffer to the end.
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/tests/gui/lsan_system.supp}
# The remembered settings stay in the scratch directory, away from the user's own.
KORVEL_PORTS_DIR=$work KORVEL_REGISTRY=$work/brenmark.reg "$brenmark" 2>"$work/app.err" &
app_pid=$!
window=$(timeout "$patience" xdotool search --sync --onlyvisible --name '^Download Application$' | head -n1)
[ -n "$window" ] || fail "no window"
xdotool windowactivate --sync "$window" 2>/dev/null
# The terminal-type list has the focus: Home picks "KvTal (64 Kb)"; Tab to the port list, where
# typing K picks KORVEL03; Tab to the application file.
xdotool key --delay 50 Home Tab K Tab
xdotool type --delay 5 "$work/demo64.sre"
xdotool key alt+s

korvel_wait_sim "$patience" || fail "the emulated reader does not hold the application"
# Start again once the dialog is ready: the reader is gone, so the engine's worker shows its
# "Download error" box, on the dialog, and waits for the answer.
box=
for ((tenth = 0; tenth < patience * 10; tenth++)); do
    box=$(xdotool search --onlyvisible --name '^Download error$' 2>/dev/null | head -n1)
    [ -n "$box" ] && break
    ((tenth % 5 == 0)) && xdotool key alt+s 2>/dev/null
    sleep 0.1
done
[ -n "$box" ] || fail "no \"Download error\" box after the reader went away"
xdotool windowactivate --sync "$box" 2>/dev/null
xdotool key Return
# Quit is enabled again once the dialog is ready: keep asking until the program ends.
wait_app Alt+Q alt+q
# The program's exit code is the last worker's: the failed second download's status.
[ "$code" -ne 0 ] && [ "$code" -lt 128 ] || fail "brenmark ended with $code after a failed download"
echo "x11 test: downloaded to KORVEL03 under X; the second download's error box answered;" \
     "brenmark exit code $code"

# ---- The automatic runs.

# A kit in $1 for reader type $2 on the virtual reader port $3: its simulator configuration names
# $1 as the kit's output directory, with backslashes as a kit made on Windows writes it, and the
# application 5 "DEMO"; no application or driver file is there.
write_kit() {
    local dir=$1 reader=$2 port=$3 out
    out=$(printf '%s/' "$dir" | tr '/' '\\')
    [ ${#out} -lt 82 ] || fail "the kit path $dir is too long for its configuration"
    mkdir -p "$dir/KvSDK"
    {
        printf 'CONF:V2.0\x01\xbb\x00\x01\x00'               # header; one record of 187 bytes
        printf '\x05\x00\x02'; head -c 7 /dev/zero            # 0: application 5, number 2
        printf "\\x$(printf %02x "$reader")"; head -c 8 /dev/zero  # 10: reader type
        printf '%s' "$out"; head -c $((101 - 19 - ${#out})) /dev/zero  # 19: output directory
        printf "\\x$(printf %02x $((port & 0xFF)))\\x$(printf %02x $((port >> 8)))"  # 101: port
        head -c $((171 - 103)) /dev/zero
        printf '\x03DEMO'; head -c $((187 - 176)) /dev/zero   # 171: number 3, short name
    } >"$dir/KvSDK/Simulator.cfg"
}

# Waits for a visible window named exactly $1 and activates it; fails with $2 when none comes.
activate_window() {
    local found
    found=$(timeout "$patience" xdotool search --sync --onlyvisible --name "^$1\$" 2>/dev/null |
            head -n1)
    [ -n "$found" ] || fail "$2"
    xdotool windowactivate --sync "$found" 2>/dev/null
}

start_sim() {  # start_sim ARGS...: the emulator, ready
    "$sim" "$@" --ports-dir "$work" >"$work/sim.out" 2>"$work/sim.err" &
    sim_pid=$!
    korvel_wait_ready "$patience" "$work/sim.out" || fail "the emulator did not come up"
}

# A kit without its files: the engine refuses the missing driver file from its worker, sending
# its last notice before its box, so the end of the download comes while the box is up.
write_kit "$work/kit5" 2 $((0x8005))
start_sim --reader 2 --virtual 5
mkdir -p "$work/run5"
(cd "$work/run5" && KORVEL_PORTS_DIR=$work KORVEL_REGISTRY=$work/brenmark.reg \
    KORVEL_LOG=$work/jobs.db exec "$brenmark" "|PATHMKI=\"$work/kit5/\"" "|COM=0") \
    2>"$work/app.err" &
app_pid=$!
activate_window "Download error" "the automatic run showed no \"Download error\" box"
sleep 0.5  # the end notice's timer ticks while the box is up
xdotool key Return
wait_app "its \"Download error\" box was answered"
[ "$code" -eq 1 ] || fail "the automatic run without files ended with $code, not 1"
"$cordane" log --log "$work/jobs.db" --json >"$work/log.out" 2>&1 || fail "no job log"
grep -q '"exit_code": *1[,}]' "$work/log.out" || fail "no row with exit code 1: $(cat "$work/log.out")"
kill "$sim_pid" 2>/dev/null
wait "$sim_pid" 2>/dev/null
sim_pid=

# Erase code mode with the data-flash question: asked, answered Yes, the data flash erased.
write_kit "$work/kit6" 2 $((0x8006))
mkdir -p "$work/run6"
printf '[OPTIONS]\r\nDownloadType=3\r\n[DATA_FLASH]\r\nAskQuestion=1\r\nErase=1\r\n' \
    >"$work/run6/Brenmark.ini"
start_sim --reader 2 --virtual 6 --once --dump-data "$work/data.bin"
(cd "$work/run6" && KORVEL_PORTS_DIR=$work KORVEL_REGISTRY=$work/brenmark.reg \
    exec "$brenmark" "|PATHMKI=\"$work/kit6/\"" "|COM=0") 2>"$work/app.err" &
app_pid=$!
activate_window "Download" "the automatic run did not ask before erasing the data flash"
xdotool key y
wait_app "the data-flash question was answered"
[ "$code" -eq 0 ] || fail "the automatic erase ended with $code"
korvel_wait_sim "$patience"
[ $? -ne 124 ] || fail "the emulator did not end"
head -c $((0x10000)) /dev/zero | tr '\0' '\377' >"$work/erased.bin"
cmp -s "$work/data.bin" "$work/erased.bin" || fail "the data flash was not erased"
echo "x11 test: automatic runs on a display: the engine's box answered (exit code 1, logged);" \
     "the data-flash question answered Yes, the data flash erased"
