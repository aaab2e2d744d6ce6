# Sourced by the scripts that run korvel-sim: `korvel_scratch NAME` makes a scratch directory in
# $work and arranges that every exit stops the emulator whose pid is in $sim_pid and removes the
# directory.

korvel_cleanup() {
    if [ -n "$sim_pid" ] && kill -0 "$sim_pid" 2>/dev/null; then
        kill "$sim_pid" 2>/dev/null
        wait "$sim_pid" 2>/dev/null
    fi
    rm -rf "$work"
}

korvel_scratch() {  # korvel_scratch NAME
    work=$(mktemp -d "${TMPDIR:-/tmp}/$1-XXXXXX") || exit 1
    sim_pid=
    trap korvel_cleanup EXIT
    trap 'exit 130' INT TERM HUP
}

korvel_wait_sim() {  # korvel_wait_sim SECONDS: the emulator's exit code, 124 if it would not end
    local tenth
    for ((tenth = 0; tenth < $1 * 10; tenth++)); do
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.1
    done
    local code=0
    if kill -0 "$sim_pid" 2>/dev/null; then
        kill "$sim_pid" 2>/dev/null  # still running: stopped, and counted as a time-out
        wait "$sim_pid" 2>/dev/null
        code=124
    else
        wait "$sim_pid" || code=$?
    fi
    sim_pid=
    return "$code"
}

korvel_wait_ready() {  # korvel_wait_ready SECONDS OUT: waits for the emulator's ready line in OUT
    local tenth
    for ((tenth = 0; tenth < $1 * 10; tenth++)); do
        grep -q '^ready ' "$2" && return 0
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.1
    done
    grep -q '^ready ' "$2"
}
