#!/bin/bash
# Times the README's main job (the bundled sample, tools/samples/demo64.sre, into an emulated
# KvOrb (64 Kb) reader with the addressed loader) downloaded alone and, in the same run, to eight
# emulated readers at once from one "cordane download --port KORVEL01,...,KORVEL08" (one
# korvel-sim --line 8). The two cases alternate, so that both meet the same machine load.
#   ratio     wall time of the eight downloads / wall time of the one download alone
#   parent    CPU time of the process that runs the eight jobs (its own, not its children's, as
#             its JSON summary reports it in parent_cpu_ms) as a share of its wall time
# Goals: ratio <= 1.15; parent < 2 %.
# Usage: bench/parallel_download_bench.sh BUILD_DIR [RUNS]   (RUNS per case, default 5; medians)
set -uo pipefail
build=${1:?usage: $0 BUILD_DIR [RUNS]}
runs=${2:-5}
readers=8
cordane=$build/bin/cordane
sim=$build/bin/korvel-sim
sample=$(cd "$(dirname "$0")/.." && pwd)/tools/samples/demo64.sre
. "$(dirname "$0")/../scripts/build_dir.sh"
korvel_need_programs "$0" "; build the targets cordane-cli and korvel-sim" "$cordane" "$sim"
patience=30  # seconds a run may take before it counts as hung

. "$(dirname "$0")/../scripts/sim_scratch.sh"
korvel_scratch parallel-download-bench

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
now_ms() { date +%s%3N; }

# start_sim DIR ARGS...: an emulator in DIR, ready
start_sim() {
    local dir=$1
    shift
    rm -rf "$dir"
    mkdir -p "$dir"
    "$sim" "$@" --ports-dir "$dir" --once >"$dir/sim.out" 2>"$dir/sim.err" &
    sim_pid=$!
    if ! korvel_wait_ready 10 "$dir/sim.out"; then
        echo "$0: the emulator did not start" >&2
        cat "$dir/sim.err" >&2
        return 1
    fi
    # --line prints its ready lines together, once every reader answers.
    while [ "$(grep -c '^ready ' "$dir/sim.out")" -lt "$2" ] 2>/dev/null; do sleep 0.01; done
}

# run_alone: sets wall to the one download's wall time in ms
run_alone() {
    local dir=$work/alone
    start_sim "$dir" --reader 1 --loader addressed --virtual 1 || return 1
    local start end code
    start=$(now_ms)
    KORVEL_PORTS_DIR=$dir timeout $patience "$cordane" download --port KORVEL01 --reader 1 \
        "$sample" >/dev/null 2>"$dir/cordane.err"
    code=$?
    end=$(now_ms)
    if [ "$code" -ne 0 ]; then
        echo "$0: the download alone ended with exit code $code:" >&2
        cat "$dir/cordane.err" >&2
        return 1
    fi
    korvel_wait_sim "$patience" || { echo "$0: no signed image after the download alone" >&2; return 1; }
    wall=$((end - start))
}

# run_line: sets wall (ms) and cpu (the parent's ms) of the eight downloads at once
run_line() {
    local dir=$work/line
    start_sim "$dir" --line $readers --reader 1 --loader addressed || return 1
    local ports start end code i
    ports=KORVEL01
    for ((i = 2; i <= readers; i++)); do ports+=$(printf ',KORVEL%02d' "$i"); done
    start=$(now_ms)
    KORVEL_PORTS_DIR=$dir timeout $patience "$cordane" download --json --port "$ports" \
        --reader 1 "$sample" >"$dir/cordane.out" 2>"$dir/cordane.err"
    code=$?
    end=$(now_ms)
    if [ "$code" -ne 0 ]; then
        echo "$0: the $readers downloads ended with exit code $code:" >&2
        tail -n 3 "$dir/cordane.err" "$dir/cordane.out" >&2
        return 1
    fi
    korvel_wait_sim "$patience" || { echo "$0: not every reader holds a signed image" >&2; return 1; }
    wall=$((end - start))
    cpu=$(sed -n 's/.*"event":"summary".*"parent_cpu_ms":\([0-9]*\)}.*/\1/p' "$dir/cordane.out")
    [ -n "$cpu" ] || { echo "$0: no summary from the $readers downloads" >&2; return 1; }
}

verdict() {  # verdict VALUE GOAL STRICT: "ok" when VALUE <= GOAL (< with STRICT)
    awk -v v="$1" -v g="$2" -v s="${3:-}" 'BEGIN { print ((s ? v < g : v <= g) ? "ok" : "MISSED") }'
}

alone=()
line=()
cpus=()
shares=()
for ((run = 0; run < runs; run++)); do
    run_alone || exit 1
    alone+=("$wall")
    run_line || exit 1
    line+=("$wall")
    cpus+=("$cpu")
    shares+=("$(awk -v c="$cpu" -v w="$wall" 'BEGIN { printf "%.2f", 100 * c / w }')")
done
alone_ms=$(printf '%s\n' "${alone[@]}" | median)
line_ms=$(printf '%s\n' "${line[@]}" | median)
cpu_ms=$(printf '%s\n' "${cpus[@]}" | median)
share=$(printf '%s\n' "${shares[@]}" | median)
ratio=$(awk -v a="$line_ms" -v b="$alone_ms" 'BEGIN { printf "%.3f", a / b }')

printf 'sample: %s, KvOrb (64 Kb) readers with the addressed loader, %d runs per case, medians\n\n' \
    "$(basename "$sample")" "$runs"
printf '  one download alone        wall %6d ms   (runs: %s)\n' "$alone_ms" "${alone[*]}"
printf '  %d downloads at once       wall %6d ms   (runs: %s)\n' "$readers" "$line_ms" "${line[*]}"
printf '  wall-time ratio           %s (goal <= 1.15: %s)\n' "$ratio" "$(verdict "$ratio" 1.15)"
printf '  parent CPU                %d ms, %s %% of its wall time (goal < 2 %%: %s)\n' "$cpu_ms" \
    "$share" "$(verdict "$share" 2 strict)"
missed=0
[ "$(verdict "$ratio" 1.15)" = ok ] || missed=$((missed + 1))
[ "$(verdict "$share" 2 strict)" = ok ] || missed=$((missed + 1))
[ "$missed" -eq 0 ] && echo "all goals met" || echo "$missed goal(s) missed"
