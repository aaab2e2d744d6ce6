#!/bin/bash
# A picture of brenmark.exe under Wine: the dialog with its window manager frame, on Xvfb with
# openbox, in the middle of a download of the sample application to an emulated KvTal (64 Kb)
# reader on COM3 (the emulator answers slowly, so that the bar and the progress text stand
# still long enough to be taken).
# The Wine prefix is $KORVEL_WINE_PREFIX (default ${TMPDIR:-/tmp}/brenmark-wine-shot-prefix),
# made on first use; its Wine session starts on this script's display and ends with it.
# Usage: scripts/brenmark_wine_screenshot.sh LINUX_BUILD WINDOWS_BUILD [OUT.png]
#        (default docs/brenmark-wine.png)
set -u

if [ $# -lt 2 ] || [ $# -gt 3 ]; then
    echo "usage: $0 LINUX_BUILD WINDOWS_BUILD [OUT.png]" >&2
    exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/build_dir.sh"
korvel_build_dir "wine screenshot" "$1"
sim=$build/bin/korvel-sim
korvel_build_dir "wine screenshot" "$2"
brenmark_exe=$build/bin/brenmark.exe
out=${3:-$root/docs/brenmark-wine.png}
prefix=${KORVEL_WINE_PREFIX:-${TMPDIR:-/tmp}/brenmark-wine-shot-prefix}
com=3
patience=60  # seconds for anything to come up; a failure guard only
key='HKLM\Software\Korvel\Brenmark'

korvel_need_programs "wine screenshot" ": build korvel-sim in $1 first" "$sim"
[ -f "$brenmark_exe" ] || { echo "wine screenshot: no $brenmark_exe; cmake --build --preset windows" >&2; exit 2; }
command -v import >/dev/null ||
    { echo "wine screenshot: import is missing; install imagemagick" >&2; exit 2; }
command -v xwininfo >/dev/null ||
    { echo "wine screenshot: xwininfo is missing; install x11-utils" >&2; exit 2; }
. "$root/scripts/sim_scratch.sh"
. "$root/scripts/x11_session.sh"
. "$root/scripts/wine_session.sh"
x11_require "wine screenshot"
x11_scratch brenmark-wine-shot
wine_scratch "$root" "$prefix" "$com"

fail() {
    echo "wine screenshot: FAILED: $*" >&2
    for log in sim.err app.err; do [ -s "$work/$log" ] && sed "s/^/  $log: /" "$work/$log" >&2; done
    exit 1
}
start_app() {
    (cd "$work" && KORVEL_LOG= exec "$root/cmake/wine-run.sh" "$prefix" "$brenmark_exe") \
        >/dev/null 2>>"$work/app.err" &
    app_pid=$!
}
find_window() {
    timeout "$1" xdotool search --sync --onlyvisible --name '^Download Application$' 2>/dev/null |
        head -n1
}

x11_start "$work" || fail "Xvfb did not start"
# A session of this display: whatever of this prefix still runs belongs to another.
wine_stop
# The first start makes the prefix when it is new; Alt+Q ends it.
start_app
window=$(find_window $((patience * 3)))
[ -n "$window" ] || fail "brenmark.exe showed no window titled \"Download Application\""
for ((tenth = 0; tenth < 100; tenth++)); do
    kill -0 "$app_pid" 2>/dev/null || break
    ((tenth % 5 == 0)) && xdotool windowactivate --sync "$window" key alt+q 2>/dev/null
    sleep 0.1
done
wait "$app_pid" 2>/dev/null
app_pid=

# The sample, copied into the scratch directory: the picture shows no path of this checkout.
cp "$root/tools/samples/demo64.sre" "$work/demo64.sre"
wine_run reg add "$key" /v FileName /t REG_SZ /d "$(windows_path "$work/demo64.sre")" /f \
    >/dev/null 2>&1 &&
    wine_run reg add "$key" /v nCom /t REG_DWORD /d "$com" /f >/dev/null 2>&1 &&
    wine_run reg add "$key" /v readerType /t REG_DWORD /d 0 /f >/dev/null 2>&1 || fail "reg add failed"

"$sim" --reader 0 --loader raw --virtual 1 --ports-dir "$work" --once --delay 60 \
    --transcript "$work/frames.json" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
korvel_wait_ready "$patience" "$work/sim.out" || fail "the emulator did not come up"
wine_link_com "$(awk '/^ready /{ print $3; exit }' "$work/sim.out")"

start_app
window=$(find_window "$patience")
[ -n "$window" ] || fail "no window titled \"Download Application\""
xdotool windowactivate --sync "$window" 2>/dev/null
xdotool key alt+s
# About half of the application's frames: the bar in the middle.
for ((tenth = 0; tenth < patience * 10; tenth++)); do
    [ "$(wc -l <"$work/frames.json" 2>/dev/null || echo 0)" -ge 24 ] && break
    kill -0 "$sim_pid" 2>/dev/null || fail "the download ended before the picture"
    sleep 0.1
done
# The window manager's frame: the window's ancestor just below the root.
frame=$window
while :; do
    parent=$(xwininfo -children -id "$frame" 2>/dev/null | awk '/Parent window id:/ { print $4 }')
    root_id=$(xwininfo -children -id "$frame" 2>/dev/null | awk '/Root window id:/ { print $4 }')
    [ -z "$parent" ] || [ "$parent" = "$root_id" ] && break
    frame=$parent
done
mkdir -p "$(dirname "$out")"
import -window "$frame" "$out" 2>"$work/import.err" || { cat "$work/import.err" >&2; fail "import failed"; }
korvel_wait_sim "$patience" || fail "the download did not end with the application in the reader"
echo "screenshot: $out"
