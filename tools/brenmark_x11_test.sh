#!/bin/bash
# Brenmark under a real X server (Xvfb and openbox), driven from the keyboard with xdotool: picks
# "KvTal (64 Kb)" and KORVEL03, types the sample's path and presses Alt+S; the emulated reader must
# then hold the application. A second Alt+S, with the reader gone, must bring the engine's error
# box up from its worker thread; Return answers it, Alt+Q ends the program with that download's
# non-zero status.
# Usage: tools/brenmark_x11_test.sh BUILD_DIR
set -u

if [ $# -ne 1 ]; then
    echo "usage: $0 BUILD_DIR" >&2
    exit 2
fi
build=$(cd "$1" 2>/dev/null && pwd) || { echo "x11 test: no build directory $1" >&2; exit 2; }
root=$(cd "$(dirname "$0")/.." && pwd)
brenmark=$build/bin/brenmark
sim=$build/bin/korvel-sim
patience=10

for tool in Xvfb openbox xdotool; do
    command -v "$tool" >/dev/null || { echo "x11 test: $tool is missing" >&2; exit 2; }
done

. "$(dirname "$0")/sim_scratch.sh"
. "$(dirname "$0")/x11_session.sh"
korvel_scratch brenmark-x11
app_pid=
finish() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null
    x11_stop
    korvel_cleanup
}
trap finish EXIT

fail() {
    echo "x11 test: FAILED: $*" >&2
    for log in sim.err app.err; do [ -s "$work/$log" ] && sed "s/^/  $log: /" "$work/$log" >&2; done
    exit 1
}

x11_start "$work" || fail "Xvfb did not start"
"$sim" --reader 0 --loader raw --virtual 3 --ports-dir "$work" --once \
    >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
korvel_wait_ready "$patience" "$work/sim.out" || fail "the emulator did not come up"
cp "$root/tools/samples/demo64.sre" "$work/demo64.sre"

# Under the sanitizers: the D-Bus library Qt loads under X keeps a buffer to the end.
export LSAN_OPTIONS=${LSAN_OPTIONS:-suppressions=$root/tools/lsan_system.supp}
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
for ((tenth = 0; tenth < patience * 10; tenth++)); do
    kill -0 "$app_pid" 2>/dev/null || break
    ((tenth % 5 == 0)) && xdotool key alt+q 2>/dev/null
    sleep 0.1
done
kill -0 "$app_pid" 2>/dev/null && fail "brenmark did not end after Alt+Q"
code=0
wait "$app_pid" || code=$?
app_pid=
# The program's exit code is the last worker's: the failed second download's status.
[ "$code" -ne 0 ] && [ "$code" -lt 128 ] || fail "brenmark ended with $code after a failed download"
echo "x11 test: downloaded to KORVEL03 under X; the second download's error box answered;" \
     "brenmark exit code $code"
