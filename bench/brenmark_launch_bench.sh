#!/bin/bash
# Time from launching brenmark to its window showing, under Xvfb with openbox: the program is
# started, xdotool waits for the visible "Download Application" window, then Alt+Q ends it.
# Usage: bench/brenmark_launch_bench.sh BUILD_DIR [RUNS]
set -u

build=$(cd "${1:-}" 2>/dev/null && pwd) || { echo "usage: $0 BUILD_DIR [RUNS]" >&2; exit 2; }
runs=${2:-10}
brenmark=$build/bin/brenmark
. "$(dirname "$0")/../scripts/sim_scratch.sh"
. "$(dirname "$0")/../scripts/x11_session.sh"
x11_require "launch bench"
x11_scratch brenmark-launch
x11_start "$work" || { echo "launch bench: Xvfb did not start" >&2; exit 1; }

times=()
for ((run = 0; run < runs; run++)); do
    start=$(date +%s%N)
    KORVEL_PORTS_DIR=$work "$brenmark" 2>/dev/null &
    app_pid=$!
    # Polled here: xdotool's own --sync waits half a second between looks.
    for ((look = 0; look < 2000; look++)); do
        xdotool search --onlyvisible --name '^Download Application$' >/dev/null 2>&1 && break
        sleep 0.005
    done
    shown=$(date +%s%N)
    times+=($(((shown - start) / 1000000)))
    xdotool key alt+q
    for ((tenth = 0; tenth < 50; tenth++)); do
        kill -0 "$app_pid" 2>/dev/null || break
        sleep 0.1
        ((tenth % 5 == 4)) && xdotool key alt+q
    done
    kill "$app_pid" 2>/dev/null
    wait "$app_pid" 2>/dev/null
    app_pid=
done
sorted=$(printf '%s\n' "${times[@]}" | sort -n)
echo "launch to window, ms over $runs runs: min $(echo "$sorted" | head -n1)," \
     "median $(echo "$sorted" | sed -n "$(((runs + 1) / 2))p"), max $(echo "$sorted" | tail -n1)"
