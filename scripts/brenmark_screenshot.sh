#!/bin/bash
# The README's picture of Brenmark: the real dialog, offscreen, during a download of the sample
# application to an emulated KvTal (64 Kb) reader on KORVEL03.
# Usage: scripts/brenmark_screenshot.sh BUILD_DIR [OUT.png]   (default docs/brenmark.png)
set -u

if [ $# -lt 1 ] || [ $# -gt 2 ]; then
    echo "usage: $0 BUILD_DIR [OUT.png]" >&2
    exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/build_dir.sh"
. "$root/scripts/sim_scratch.sh"
korvel_build_dir screenshot "$1"
out=${2:-$root/docs/brenmark.png}
shot=$build/bin/brenmark-screenshot
sim=$build/bin/korvel-sim
patience=10

korvel_need_programs screenshot ": build it first (cmake --build $1)" "$shot" "$sim"
korvel_scratch brenmark-shot

"$sim" --reader 0 --loader raw --virtual 3 --ports-dir "$work" --once \
    >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
if ! korvel_wait_ready "$patience" "$work/sim.out"; then
    cat "$work/sim.err" >&2
    echo "screenshot: the emulator did not come up" >&2
    exit 1
fi

mkdir -p "$(dirname "$out")"
# The sample, copied into the scratch directory: the picture shows no path of this checkout.
cp "$root/tools/samples/demo64.sre" "$work/demo64.sre"
KORVEL_PORTS_DIR=$work QT_QPA_PLATFORM=offscreen "$shot" "$out" "$work/demo64.sre" KORVEL03 2>"$work/shot.err" \
    || { cat "$work/shot.err" >&2; echo "screenshot: FAILED" >&2; exit 1; }
echo "screenshot: $out"
