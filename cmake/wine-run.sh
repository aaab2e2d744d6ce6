#!/bin/sh
# Runs a Windows program under Wine: wine-run.sh PREFIX PROGRAM [ARGUMENTS...]. PREFIX is the Wine
# prefix of one build, made on first use (a new one takes seconds); a wineserver kept running
# there for a while makes each later start take a few hundredths of a second. Wine's own
# messages are off: a test sees only what the program writes.
set -eu
prefix=$1
shift
wine=${KORVEL_WINE:-/usr/lib/wine/wine64}
wineserver=${KORVEL_WINESERVER:-/usr/lib/wine/wineserver}
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
if [ ! -f "$prefix/system.reg" ]; then
  # One maker at a time: tests started side by side would each begin a prefix of their own.
  mkdir -p "$prefix"
  (
    flock 9
    [ -f "$prefix/system.reg" ] || "$wine" wineboot --init >/dev/null 2>&1 || true
  ) 9>"$prefix.lock"
fi
# Kept warm: the server stays 10 minutes after its last program.
"$wineserver" -p600 >/dev/null 2>&1 || true
exec "$wine" "$@"
