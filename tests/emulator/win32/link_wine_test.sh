#!/bin/sh
# The Windows link against the emulator: link_wine_test.sh KORVEL_SIM WINE_RUN WINE_PREFIX TEST
# Starts a Linux build's korvel-sim on COM5 and on virtual reader port 7, shows their terminals to
# the Wine prefix as dosdevices/com5 and dosdevices/korvel_reader_07 (the system's \\.\COM5 and
# \\.\Korvel_reader_07), and one on COM6 that hangs up at the first loader frame, and runs the
# Windows test program TEST under Wine.
set -eu
sim=$1 run=$2 prefix=$3 test=$4
if [ ! -x "$sim" ]; then
  echo "no korvel-sim at $sim: set KORVEL_HOST_TOOLS_DIR to a Linux build's bin/"
  exit 77
fi
work=$(mktemp -d)
pids=
cleanup() {
  for pid in $pids; do kill "$pid" 2>/dev/null || true; done
  rm -f "$prefix/dosdevices/com5" "$prefix/dosdevices/com6" "$prefix/dosdevices/korvel_reader_07"
  rm -rf "$work"
}
trap cleanup EXIT INT TERM

# The prefix is made by its first program.
"$run" cmd /c exit 0 >/dev/null 2>&1 || true
mkdir -p "$prefix/dosdevices"

serve() { # serve NAME OPTION N [MORE...]: one emulator; its terminal becomes dosdevices/NAME
  name=$1 option=$2 number=$3
  shift 3
  "$sim" --reader 2 --"$option" "$number" --ports-dir "$work" "$@" >"$work/$name.out" \
    2>"$work/$name.err" &
  pids="$pids $!"
  for _ in $(seq 100); do
    grep -q '^ready ' "$work/$name.out" 2>/dev/null && break
    sleep 0.05
  done
  device=$(awk '/^ready /{print $3}' "$work/$name.out")
  if [ -z "$device" ]; then
    echo "korvel-sim for $name did not start:"; cat "$work/$name.err"; exit 1
  fi
  ln -sfn "$device" "$prefix/dosdevices/$name"
}
serve com5 com 5
serve korvel_reader_07 virtual 7
serve com6 com 6 --hangup-at 1

KORVEL_WINE_SIM_PORTS=COM5,KORVEL07 KORVEL_WINE_SIM_HANGUP_PORT=COM6 "$run" "$test"
