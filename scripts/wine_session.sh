# Sourced, after x11_session.sh, by the scripts that show brenmark.exe on a real X server under
# Wine: `wine_scratch ROOT PREFIX COM`, after x11_scratch, takes the Wine prefix PREFIX for the
# script, whose Wine session is ended on every exit (with the program, COM's link and the X
# server), so that each run's session starts on its own display; `wine_stop` ends it now (before
# the first program, whatever of the prefix still runs from another display); `wine_run PROGRAM
# ARGS...` runs a program in it (cmake/wine-run.sh); `wine_link_com DEVICE` shows DEVICE to the
# prefix as COM<COM>; `windows_path PATH` is Wine's name for a Linux path, on its drive Z:.

wine_scratch() {  # wine_scratch ROOT PREFIX COM
    wine_root=$1 wine_prefix=$2 wine_com=$3
    trap wine_finish EXIT
}

wine_stop() {
    WINEPREFIX=$wine_prefix "${KORVEL_WINESERVER:-/usr/lib/wine/wineserver}" -k 2>/dev/null
}

wine_finish() {
    wine_stop
    rm -f "$wine_prefix/dosdevices/com$wine_com"
    x11_finish
}

wine_run() { "$wine_root/cmake/wine-run.sh" "$wine_prefix" "$@"; }

# Wine finds the prefix's devices by their lower-case names only.
wine_link_com() { ln -sfn "$1" "$wine_prefix/dosdevices/com$wine_com"; }

windows_path() { printf 'Z:%s' "${1//\//\\}"; }
