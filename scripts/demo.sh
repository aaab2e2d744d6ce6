#!/bin/bash
# The main job, end to end: downloads the sample application into an emulated KvOrb (64 Kb)
# reader with the addressed loader, then checks the reader's flash byte for byte against the
# image "cordane convert" makes of the same file.
# Usage: scripts/demo.sh BUILD_DIR
set -u

if [ $# -ne 1 ] || [ "$1" = "--help" ] || [ "$1" = "-h" ]; then
    echo "usage: $0 BUILD_DIR   (the build directory holding bin/cordane and bin/korvel-sim)" >&2
    exit 2
fi
root=$(cd "$(dirname "$0")/.." && pwd)
. "$root/scripts/build_dir.sh"
. "$root/scripts/sim_scratch.sh"
korvel_build_dir demo "$1"
cordane=$build/bin/cordane
sim=$build/bin/korvel-sim
sample=$root/tools/samples/demo64.sre
image_start=$((0x2000))  # the image's first address, where the signature goes
patience=10              # seconds the emulator may take to come up or to finish

korvel_need_programs demo ": build it first (cmake --build $1)" "$cordane" "$sim"
korvel_scratch korvel-demo

fail() {  # fail MESSAGE: exit code 1, or $fail_code when set for the call
    echo "demo: FAILED: $*" >&2
    exit "${fail_code:-1}"
}

# The emulated reader, on virtual reader port 1 of a ports directory of our own.
"$sim" --reader 1 --loader addressed --virtual 1 --ports-dir "$work" --once \
    --dump "$work/flash.bin" >"$work/sim.out" 2>"$work/sim.err" &
sim_pid=$!
if ! korvel_wait_ready "$patience" "$work/sim.out"; then
    cat "$work/sim.err" >&2
    fail "the emulator did not come up within ${patience}s"
fi
echo "demo: emulated reader ready: $(cut -d' ' -f2- "$work/sim.out")"

# The download, with its progress shown.
KORVEL_PORTS_DIR=$work "$cordane" download --port KORVEL01 --reader 1 "$sample"
code=$?
[ "$code" -eq 0 ] || fail_code=$code fail "cordane download ended with exit code $code"

# The emulator leaves once the session is over: 0 when its flash holds a signed image.
korvel_wait_sim "$patience"
sim_code=$?
if [ "$sim_code" -ne 0 ]; then
    cat "$work/sim.err" >&2
    fail "the emulator reports no signed image in its flash (exit code $sim_code)"
fi

# What should be there: the signature, then the image from its third byte on.
"$cordane" convert "$sample" "$work/image.bin" >/dev/null || fail "cordane convert failed"
length=$(stat -c %s "$work/image.bin")
[ "$length" -gt 2 ] || fail "the sample's image is only $length bytes"
[ -s "$work/flash.bin" ] || fail "the emulator wrote no flash dump"

if ! printf 'KV' | cmp -s -n 2 -i "$image_start:0" "$work/flash.bin" -; then
    found=$(od -An -tx1 -j "$image_start" -N 2 "$work/flash.bin")
    fail "no signature KV at 0x2000 (found:$found)"
fi
if ! difference=$(cmp -n $((length - 2)) -i $((image_start + 2)):2 "$work/flash.bin" \
    "$work/image.bin" 2>&1); then
    # cmp counts bytes from 1 after the skipped ones.
    byte=$(sed -n 's/.* differ: byte \([0-9]*\),.*/\1/p' <<<"$difference")
    if [ -n "$byte" ]; then
        printf -v where '0x%X' $((image_start + 2 + byte - 1))
        fail "the flash differs from the image at address $where"
    fi
    fail "the flash does not hold the image: $difference"
fi
printf 'verified: %d bytes at 0x%X-0x%X, signature KV\n' "$length" "$image_start" \
    $((image_start + length - 1))
