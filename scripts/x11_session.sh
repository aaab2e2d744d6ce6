# Sourced, after sim_scratch.sh, by the scripts that show Brenmark on a real X server:
# `x11_require WHO` ends the script when a program the session needs is missing; `x11_scratch
# NAME` is korvel_scratch NAME that on every exit also ends the program whose pid is in $app_pid
# and the X server; `x11_start DIR` starts Xvfb on a free display with openbox as window manager
# and exports DISPLAY; `x11_wait_app` waits for the program to end, pressing a key; `x11_stop`
# ends the X server and the window manager.

x11_require() {  # x11_require WHO: exit code 2, "WHO: TOOL is missing", without one of them
    local tool
    for tool in Xvfb openbox xdotool; do
        command -v "$tool" >/dev/null || { echo "$1: $tool is missing" >&2; exit 2; }
    done
}

x11_scratch() {  # x11_scratch NAME
    korvel_scratch "$1"
    app_pid=
    trap x11_finish EXIT
}

x11_finish() {
    [ -n "$app_pid" ] && kill "$app_pid" 2>/dev/null && wait "$app_pid" 2>/dev/null
    x11_stop
    korvel_cleanup
}

x11_start() {  # x11_start DIR: 0 when the display is up
    x11_pid= wm_pid=
    exec 9>"$1/display"
    Xvfb -displayfd 9 -screen 0 1024x768x24 -nolisten tcp >"$1/xvfb.log" 2>&1 &
    x11_pid=$!
    local tenth
    for ((tenth = 0; tenth < 50; tenth++)); do
        [ -s "$1/display" ] && break
        sleep 0.1
    done
    exec 9>&-
    [ -s "$1/display" ] || return 1
    export DISPLAY=:$(head -n1 "$1/display")
    unset WAYLAND_DISPLAY QT_QPA_PLATFORM
    openbox >"$1/openbox.log" 2>&1 &
    wm_pid=$!
    sleep 0.5
}

# x11_wait_app SECONDS [KEY]: waits up to SECONDS for the program whose pid is in $app_pid to
# end, pressing KEY every half second when given; its exit code in $code. 1 when it did not end.
x11_wait_app() {
    local tenth
    for ((tenth = 0; tenth < $1 * 10; tenth++)); do
        kill -0 "$app_pid" 2>/dev/null || break
        [ $# -gt 1 ] && ((tenth % 5 == 0)) && xdotool key "$2" 2>/dev/null
        sleep 0.1
    done
    kill -0 "$app_pid" 2>/dev/null && return 1
    code=0
    wait "$app_pid" || code=$?
    app_pid=
}

x11_stop() {
    [ -n "${wm_pid:-}" ] && kill "$wm_pid" 2>/dev/null && wait "$wm_pid" 2>/dev/null
    [ -n "${x11_pid:-}" ] && kill "$x11_pid" 2>/dev/null && wait "$x11_pid" 2>/dev/null
    wm_pid= x11_pid=
}
