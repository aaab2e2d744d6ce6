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
