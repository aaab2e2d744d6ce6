#!/bin/bash
# cordane.exe under Wine against korvel-sim, end to end: the emulator (a Linux program) serves a
# pseudo-terminal, which the Wine prefix shows as a COM port (dosdevices/comN); cordane.exe
# downloads to it, and the emulator's flash dump and the exit code must be those of the Linux
# cordane against another emulator run the same way.
# Usage: wine_download_test.sh CASE HOST_BIN WINDOWS_BIN WINE_RUN WINEPREFIX SOURCE_DIR COM_BASE
#   CASE         small-raw, small-addressed, large-srec, large-binary, faults, detect-glo,
#                four-ports
#   HOST_BIN     the Linux build's bin folder (korvel-sim, cordane)
#   WINDOWS_BIN  the Windows build's bin folder (cordane.exe)
#   WINE_RUN     the Windows build's Wine launcher; WINEPREFIX its prefix
#   COM_BASE     the first COM number this case may use (each case has its own four)
# Exit code 77: skipped, with the reason on standard output.
set -u
if [ $# -ne 7 ]; then
    sed -n '2,13p' "$0" >&2
    exit 2
fi
case_name=$1 host_bin=$2 windows_bin=$3 wine_run=$4 prefix=$5 source_dir=$6 com_base=$7
sim=$host_bin/korvel-sim
linux_cordane=$host_bin/cordane
sample=$source_dir/tools/samples/demo64.sre
patience=60  # seconds for anything to come up or end; a failure guard only

skip() {
    echo "SKIPPED: $*"
    exit 77
}
[ -x "$sim" ] && [ -x "$linux_cordane" ] ||
    skip "no Linux build with korvel-sim and cordane in $host_bin (build the Linux tree first, or set KORVEL_HOST_TOOLS_DIR)"
[ -f "$windows_bin/cordane.exe" ] || skip "no cordane.exe in $windows_bin"
command -v python3 >/dev/null || skip "python3 is needed to write the test files"

work=$(mktemp -d)
pids=()
links=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null; done
    for link in "${links[@]}"; do rm -f "$link"; done
    rm -rf "$work"
}
trap cleanup EXIT
failed=0
fail() {
    echo "FAILED: $*" >&2
    failed=1
}

# The prefix is made on first use.
"$wine_run" "$windows_bin/cordane.exe" --version >/dev/null 2>&1 || skip "cordane.exe does not run under Wine"
[ -d "$prefix/dosdevices" ] || skip "the Wine prefix $prefix has no dosdevices folder"

# start_sim NAME COUNT ARGS...: korvel-sim with its entries in $work/NAME, output in NAME.out;
# waits for COUNT ready lines and sets $sim_pid and the array $devices.
start_sim() {
    local name=$1 count=$2
    shift 2
    mkdir -p "$work/$name"
    : >"$work/$name.out"
    "$sim" --ports-dir "$work/$name" "$@" >"$work/$name.out" 2>"$work/$name.err" &
    sim_pid=$!
    pids+=("$sim_pid")
    local waited=0
    while [ "$(grep -c '^ready ' "$work/$name.out")" -lt "$count" ]; do
        if ! kill -0 "$sim_pid" 2>/dev/null || [ "$waited" -ge $((patience * 10)) ]; then
            cat "$work/$name.err" >&2
            echo "korvel-sim $* did not come up" >&2
            exit 1
        fi
        sleep 0.1
        waited=$((waited + 1))
    done
    mapfile -t devices < <(grep '^ready ' "$work/$name.out" | cut -d' ' -f3)
}

# wait_sim PID: the emulator's exit code (it ends with its session: --once). A detection alone
# is no session that ends it: with $detection_only set, it is stopped at once.
detection_only=0
wait_sim() {
    local waited=0
    [ "$detection_only" -eq 1 ] && kill "$1" 2>/dev/null
    while kill -0 "$1" 2>/dev/null && [ "$waited" -lt $((patience * 10)) ]; do
        sleep 0.1
        waited=$((waited + 1))
    done
    kill "$1" 2>/dev/null
    wait "$1"
}

# link_com N DEVICE: the prefix's COM port N leads to DEVICE.
link_com() {
    local link=$prefix/dosdevices/com$1
    ln -sfn "$2" "$link"
    links+=("$link")
}

# linux_run NAME SIM_ARGS -- CORDANE_ARGS: the Linux cordane against an emulator on KORVEL01;
# sets $linux_code, and leaves the flash in $work/NAME-linux.bin.
linux_run() {
    local name=$1-linux sim_args=()
    shift
    while [ "$1" != "--" ]; do
        sim_args+=("$1")
        shift
    done
    shift
    start_sim "$name" 1 --virtual 1 --once --dump "$work/$name.bin" "${sim_args[@]}"
    # Files named for Windows ("Z:/tmp/...") by their Linux path.
    local args=()
    for arg in "$@"; do args+=("${arg#Z:}"); done
    local started=$EPOCHREALTIME
    KORVEL_PORTS_DIR=$work/$name KORVEL_LOG= TMPDIR=$work "$linux_cordane" "${args[@]}" --port KORVEL01 \
        >"$work/$name.cordane.out" 2>"$work/$name.cordane.err"
    linux_code=$?
    linux_seconds=$(echo "$EPOCHREALTIME - $started" | bc)
    wait_sim "$sim_pid" >/dev/null
}

# windows_run NAME COM SIM_ARGS -- CORDANE_ARGS: cordane.exe under Wine against an emulator on
# COM port COM; sets $windows_code, and leaves the flash in $work/NAME-windows.bin.
windows_run() {
    local name=$1-windows com=$2 sim_args=()
    shift 2
    while [ "$1" != "--" ]; do
        sim_args+=("$1")
        shift
    done
    shift
    start_sim "$name" 1 --virtual 1 --once --dump "$work/$name.bin" "${sim_args[@]}"
    link_com "$com" "${devices[0]}"
    local started=$EPOCHREALTIME
    KORVEL_LOG= "$wine_run" "$windows_bin/cordane.exe" "$@" --port "COM$com" \
        >"$work/$name.cordane.out" 2>"$work/$name.cordane.err"
    windows_code=$?
    windows_seconds=$(echo "$EPOCHREALTIME - $started" | bc)
    wait_sim "$sim_pid" >/dev/null
}

# same NAME SIM_ARGS -- CORDANE_ARGS: both runs, the same exit code and the same flash.
same() {
    local name=$1
    shift
    linux_run "$name" "$@"
    windows_run "$name" "$com_base" "$@"
    com_base=$((com_base + 1))
    local was=$failed
    failed=0
    if [ "$linux_code" -ne "$windows_code" ]; then
        fail "$name: exit code $windows_code under Wine, $linux_code on Linux"
        sed 's/^/  windows: /' "$work/$name-windows.cordane.err" >&2
        sed 's/^/  linux: /' "$work/$name-linux.cordane.err" >&2
    fi
    if ! cmp -s "$work/$name-linux.bin" "$work/$name-windows.bin"; then
        fail "$name: the flash differs: $(cmp "$work/$name-linux.bin" "$work/$name-windows.bin" 2>&1)"
    fi
    [ "$failed" -eq 0 ] &&
        printf '%s: exit code %d, flash the same; %.2f s under Wine, %.2f s on Linux\n' "$name" \
            "$windows_code" "$windows_seconds" "$linux_seconds"
    [ "$was" -eq 0 ] || failed=$was
}

# srec FILE ADDRESS:LENGTH:SEED...: an S-record file (S2 records of 32 bytes, an S8 end) whose
# bytes change from one address to the next and are never 0xFF.
srec() {
    python3 - "$@" <<'PY'
import sys
out = []
for part in sys.argv[2:]:
    address, length, seed = (int(x, 0) for x in part.split(':'))
    data = bytes((i * 7 + seed) % 0xFF for i in range(length))
    for at in range(0, length, 32):
        chunk = data[at:at + 32]
        a = address + at
        body = bytes([len(chunk) + 4, a >> 16 & 0xFF, a >> 8 & 0xFF, a & 0xFF]) + chunk
        out.append('S2' + body.hex().upper() + '%02X' % (~sum(body) & 0xFF))
out.append('S804000000FB')
open(sys.argv[1], 'w').write('\n'.join(out) + '\n')
PY
}

# binary FILE SIZE NUMBER: a binary download file of SIZE bytes with application number NUMBER.
binary() {
    python3 - "$@" <<'PY'
import sys
path, size, number = sys.argv[1], int(sys.argv[2], 0), sys.argv[3]
data = bytearray((i * 7 + 11) % 0xFF for i in range(size))
data[0xA013:0xA016] = number.encode()
data[0xA042:0xA044] = b'\x34\x12'
open(path, 'wb').write(data)
PY
}

case $case_name in
small-raw)
    same raw --reader 0 --loader raw -- download --reader 0 "$sample"
    ;;
small-addressed)
    # The JSON events alone on standard output: the engine's banner goes into the pipe that
    # captures it, not between them.
    same addressed --reader 1 --loader addressed -- download --json --reader 1 "$sample"
    if grep -qv '^{' "$work/addressed-windows.cordane.out"; then
        fail "addressed: a line that is no JSON event: $(grep -v '^{' "$work/addressed-windows.cordane.out" | head -1)"
    fi
    grep -q '"event":"output"' "$work/addressed-windows.cordane.out" ||
        fail "addressed: the engine's banner was not passed on as an output event"
    ;;
large-srec)
    srec "$work/driver.sre" 0x4000:0x1800:1 0x70100:0x300:2
    srec "$work/app.sre" 0x4300:0x420:3 0xE000:0x2400:4
    same srec --reader 2 -- download --reader 2 --type 0 --driver "Z:$work/driver.sre" \
        "Z:$work/app.sre"
    ;;
large-binary)
    # A 1 Mb reader's file that fills its upper bank too.
    binary "$work/app.bin" $((0x7C002 + 0x1234)) 042
    same binary --reader 5 -- download --reader 5 --type 2 "Z:$work/app.bin"
    ;;
faults)
    # The loader's own refusal, and an answer that never comes: the exit codes of Linux.
    same refused --reader 1 --loader addressed --fail-at 3:0x23 -- download --reader 1 "$sample"
    [ "$windows_code" -eq 35 ] || fail "refused: exit code $windows_code, not the loader's 35"
    same dropped --reader 1 --loader addressed --drop-at 3 -- download --reader 1 "$sample"
    [ "$windows_code" -eq 5 ] || fail "dropped: exit code $windows_code, not 5 (no response)"
    ;;
detect-glo)
    # Detection, then a global file cut for the reader found and downloaded as a binary file.
    detection_only=1
    linux_run detect --reader 2 -- detect --json
    windows_run detect "$com_base" --reader 2 -- detect --json
    detection_only=0
    com_base=$((com_base + 1))
    if [ "$windows_code" -ne "$linux_code" ] ||
        ! cmp -s "$work/detect-linux.cordane.out" "$work/detect-windows.cordane.out"; then
        fail "detect: exit code $windows_code ($(cat "$work/detect-windows.cordane.out")), on Linux $linux_code ($(cat "$work/detect-linux.cordane.out"))"
    else
        echo "detect: $(cat "$work/detect-windows.cordane.out")"
    fi
    python3 -c "open('$work/common', 'wb').write(bytes(range(1, 201)))"
    python3 -c "open('$work/orb', 'wb').write(bytes(range(2, 202)) * 3)"
    "$linux_cordane" mkglo -o "$work/app.glo" 1::0x10000:APP.SRE="$work/common" \
        2:0x48:0x4720:ORB.SRE="$work/orb" >/dev/null || fail "mkglo failed"
    same glo --reader 2 -- download "Z:$work/app.glo"
    # The "bin" file cut from the global file is removed with its folder, on both systems.
    leftovers=$(find "$work" "$prefix/drive_c/users" -maxdepth 6 -name 'cordane-glo-*' 2>/dev/null)
    [ -z "$leftovers" ] || fail "the global file's temporary folder was left: $leftovers"
    ;;
four-ports)
    linux_run one --reader 1 --loader addressed -- download --reader 1 "$sample"
    [ "$linux_code" -eq 0 ] || fail "the Linux download failed (exit code $linux_code)"
    start_sim station 4 --line 4 --reader 1 --loader addressed --dump "$work/flash%d.bin" --once
    ports=
    for i in 0 1 2 3; do
        link_com $((com_base + i)) "${devices[$i]}"
        ports=${ports:+$ports,}COM$((com_base + i))
    done
    KORVEL_LOG= "$wine_run" "$windows_bin/cordane.exe" download --json --port "$ports" --reader 1 \
        "$sample" >"$work/station.json" 2>"$work/station.err"
    code=$?
    [ "$code" -eq 0 ] || fail "four ports: exit code $code: $(cat "$work/station.err")"
    wait_sim "$sim_pid" >/dev/null || fail "four ports: not every reader holds a signed image"
    for i in 1 2 3 4; do
        cmp -s "$work/one-linux.bin" "$work/flash$i.bin" ||
            fail "four ports: reader $i's flash differs from the Linux download's"
    done
    grep -q '"event":"summary"' "$work/station.json" || fail "four ports: no summary event"
    echo "four ports: exit code $code, every flash the same as the Linux download's"
    ;;
*)
    echo "unknown case $case_name" >&2
    exit 2
    ;;
esac
exit $failed
