#!/bin/sh
# Runs a Windows program under Wine: wine-run.sh PREFIX PROGRAM [ARGUMENTS...]. PREFIX is the Wine
# prefix of one build, made on first use (a new one takes seconds). Its wineserver is kept running
# for ten minutes after the last program, so that each later start takes a few hundredths of a
# second. Wine's own messages are off: a test sees only what the program writes.
set -eu
prefix=$1
shift
wine=${KORVEL_WINE:-/usr/lib/wine/wine64}
wineserver=${KORVEL_WINESERVER:-/usr/lib/wine/wineserver}
export WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" WINEARCH=win64
mkdir -p "$prefix"
# One at a time, and with no stream of the caller's: the server and the services a new Wine
# session starts outlive the program, and would hold a caller's pipe open (a test runner waiting
# for the end of a program's output would wait for them).
(
  flock 9
  # Not the lock: what outlives this would hold it.
  if [ ! -f "$prefix/system.reg" ]; then
    "$wine" wineboot --init 9>&- || true
  fi
  if "$wineserver" -p600 9>&-; then
    # A new server: its session started here, not by the program.
    "$wine" wineboot 9>&- || true
  fi
) 9>"$prefix.lock" </dev/null >/dev/null 2>&1
exec "$wine" "$@"
