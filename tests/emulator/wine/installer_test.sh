#!/bin/bash
# The Windows installer under Wine: makes cordane-<version>-win64.exe from the Windows build,
# installs it silently into the Wine prefix, runs the installed cordane.exe --version and a
# download to korvel-sim on a COM port of the prefix, checks brenmark.exe and its Start-menu
# shortcut (when the build has brenmark.exe), then uninstalls it silently and checks that the tree
# and the shortcut are gone.
# Usage: installer_test.sh WINDOWS_BUILD HOST_BIN SAMPLE COM VERSION
#   WINDOWS_BUILD  the Windows build folder (CPackConfig.cmake, wine-run, the prefix wine/)
#   HOST_BIN       a Linux build's bin folder (korvel-sim); empty or missing: no download
#   SAMPLE         the S-record file downloaded
#   COM            the COM port number this test may use
# Exit code 77: skipped, with the reason on standard output.
set -u
if [ $# -ne 5 ]; then
    sed -n '2,11p' "$0" >&2
    exit 2
fi
build=$1 host_bin=$2 sample=$3 com=$4 version=$5
run=$build/wine-run
prefix=$build/wine
patience=120  # seconds for a step; a failure guard only

skip() {
    echo "SKIPPED: $*"
    exit 77
}
command -v makensis >/dev/null || skip "makensis is not installed (apt-get install nsis)"
[ -f "$build/CPackConfig.cmake" ] || skip "no CPackConfig.cmake in $build"

work=$(mktemp -d)
sim_pid=
# A folder of the prefix's drive C: of this run's own, as Windows and as Linux see it.
name=korvel-install-$$
target_windows="C:\\$name\\Cordane"
target=$prefix/drive_c/$name/Cordane
cleanup() {
    [ -n "$sim_pid" ] && kill "$sim_pid" 2>/dev/null
    rm -f "$prefix/dosdevices/com$com"
    rm -rf "$work" "$prefix/drive_c/$name"
}
trap cleanup EXIT

fail() {
    echo "FAILED: $*" >&2
    exit 1
}

# The installer, made here so that it holds this build.
cpack --config "$build/CPackConfig.cmake" -G NSIS -B "$work/package" >"$work/cpack.log" 2>&1 ||
    { cat "$work/cpack.log" >&2; fail "cpack -G NSIS"; }
installer=$work/package/cordane-$version-win64.exe
[ -f "$installer" ] || fail "cpack made no $installer: $(ls "$work/package")"

# Silent install: /D= is the last argument, unquoted.
timeout $patience "$run" "$installer" /S "/D=$target_windows" || fail "the installer ended with $?"
for file in bin/cordane.exe bin/cordane-engine.exe bin/cordane.dll bin/zr318.dll \
    include/cordane/cordane.h include/zr318.h lib/libcordane.dll.a \
    lib/cmake/Cordane/CordaneConfig.cmake Uninstall.exe; do
    [ -f "$target/$file" ] || fail "the installed tree has no $file"
done

out=$(timeout $patience "$run" "$target_windows\\bin\\cordane.exe" --version 2>&1) ||
    fail "the installed cordane.exe --version ended with $?: $out"
case $out in
    *"$version"*) ;;
    *) fail "the installed cordane.exe --version printed \"$out\", not version $version" ;;
esac

# Brenmark and its shortcut in the Start menu's folder of the installation.
shortcut=
if [ -f "$build/bin/brenmark.exe" ]; then
    [ -f "$target/bin/brenmark.exe" ] || fail "the installed tree has no bin/brenmark.exe"
    shortcut=$(find "$prefix/drive_c" -path '*Start Menu*' -iname 'Brenmark.lnk' -newer "$installer" |
               head -n1)
    [ -n "$shortcut" ] || fail "the installer made no Brenmark shortcut in the Start menu"
fi

# A download with the installed program, when a Linux build's emulator is at hand.
if [ -x "$host_bin/korvel-sim" ]; then
    "$host_bin/korvel-sim" --reader 1 --com "$com" --ports-dir "$work" --once \
        --dump "$work/flash.bin" >"$work/sim.out" 2>"$work/sim.err" &
    sim_pid=$!
    for _ in $(seq 100); do
        grep -q '^ready ' "$work/sim.out" && break
        sleep 0.1
    done
    device=$(awk '/^ready /{ print $3 }' "$work/sim.out")
    [ -n "$device" ] || { cat "$work/sim.err" >&2; fail "korvel-sim did not start"; }
    # Wine finds the prefix's devices by their lower-case names only.
    ln -sfn "$device" "$prefix/dosdevices/com$com"
    cp "$sample" "$prefix/drive_c/$name/app.sre"
    timeout $patience "$run" "$target_windows\\bin\\cordane.exe" download --port "COM$com" \
        --reader 1 "C:\\$name\\app.sre" >"$work/download.out" 2>&1 ||
        { cat "$work/download.out" >&2; fail "the installed cordane.exe download ended with $?"; }
    for _ in $(seq $((patience * 10))); do
        kill -0 "$sim_pid" 2>/dev/null || break
        sleep 0.1
    done
    wait "$sim_pid"
    code=$?
    sim_pid=
    [ "$code" -eq 0 ] || { cat "$work/sim.err" >&2; fail "the emulator holds no signed image ($code)"; }
else
    echo "no korvel-sim in \"$host_bin\": the installed program downloads nothing"
fi

# Silent uninstall; _?= keeps the uninstaller in place, so that this waits for it.
timeout $patience "$run" "$target_windows\\Uninstall.exe" /S "_?=$target_windows" ||
    fail "the uninstaller ended with $?"
for file in bin/cordane.exe bin/cordane.dll bin/brenmark.exe include/cordane/cordane.h; do
    [ ! -e "$target/$file" ] || fail "the uninstaller left $file"
done
[ -z "$shortcut" ] || [ ! -e "$shortcut" ] || fail "the uninstaller left the shortcut $shortcut"
echo "installed, ran and uninstalled $(basename "$installer")${shortcut:+, with Brenmark in the Start menu}"
