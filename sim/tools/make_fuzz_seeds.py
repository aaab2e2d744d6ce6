#!/usr/bin/env python3
"""Writes the seed corpus of the emulator's fuzz target (fuzz/corpus/sim_frames).

Each seed is a complete or nearly complete conversation, so that the fuzzer starts from inputs
that reach deep into both loaders. The routine bytes are read from the engine's catalogue
(engine/src/routines.cpp). Input format: see fuzz/fuzz_sim_frames.cpp.

    python3 sim/tools/make_fuzz_seeds.py            # from the repository root
"""
import os
import re
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
OUT = os.path.join(ROOT, "fuzz", "corpus", "sim_frames")


def routines():
    text = open(os.path.join(ROOT, "engine", "src", "routines.cpp")).read()
    found = {}
    for name, body in re.findall(r"const std::array<uint8_t, \d+> (k\w+)\{(.*?)\};", text, re.S):
        body = re.sub(r"/\*.*?\*/", "", body)
        found[name] = bytes(int(b, 16) for b in re.findall(r"0x([0-9A-Fa-f]{2})", body))
    return found


R = routines()


def padded(routine, length=241):
    return routine + bytes(length - len(routine))


def image(length):
    return bytes((i * 7 + 3) & 0xFF for i in range(length))


def raw_session(reader, img):
    erase, program = ("kEraseTal64", "kProgramTal64") if reader == 0 else ("kEraseOrb64Raw",
                                                                          "kProgramOrb64Raw")
    frames = [padded(R[erase]), padded(R[program])]
    payload = len(img) - 2
    d = bytearray(65)
    d[0], d[1], d[2] = 0x03, 0x02, 0x20
    d[5], d[6] = (payload // 192) & 0xFF, (payload // 192) >> 8
    d[8], d[10], d[16] = payload % 192, 0x20, 0x02
    frames.append(bytes(d))
    buf = b"\x00" + img
    offset = 0
    while offset < len(img):
        if len(img) - offset - 2 > 192:
            frames.append(buf[offset + 2:offset + 2 + 193])
            offset += 192
        else:
            frames.append(buf[offset + 2:offset + 2 + len(img) - offset - 1])
            offset = len(img)
    return frames + [b"\x00KV", b"\x08"]


def addressed(command, start, load, payload=b""):
    n = len(payload)
    return bytes([n >> 8, n & 0xFF, command, start >> 16, (start >> 8) & 0xFF, start & 0xFF,
                  load >> 16, (load >> 8) & 0xFF, load & 0xFF]) + payload


def addressed_session(reader, img):
    if reader == 0:
        erase, program = padded(R["kEraseTal64"]), padded(R["kProgramTal64"])
    else:
        erase, program = R["kFlashErase"], R["kProgramOrb64"]
    frames = [addressed(0, 0x080000, 0x080000, erase), addressed(1, 0x080000, 0x080000, program)]
    img = b"\xFF\xFF" + img[2:]
    for at in range(0, len(img), 255):
        frames.append(addressed(3, 0, 0x2000 + at, img[at:at + 255]))
    return frames + [addressed(3, 0, 0x2000, b"KV"), addressed(8, 0, 0)]


def record(tag, payload=b""):
    return bytes([tag, len(payload) & 0xFF, len(payload) >> 8]) + payload


def records(config, frames, reset_mode=0):
    return bytes([config]) + record(1, bytes([reset_mode])) + b"".join(record(0, f) for f in frames)


def crc16_x25(data):
    crc = 0xFFFF
    for b in data:
        crc ^= b
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc ^ 0xFFFF


def wire(kind, payload=b""):
    n = len(payload)
    body = bytes([kind, n & 0xFF, n >> 8, 0xFF ^ kind ^ (n & 0xFF) ^ (n >> 8)]) + payload
    crc = crc16_x25(body)
    return b"\xA5\x5A" + body + bytes([crc & 0xFF, crc >> 8])


def wire_stream(config, frames):
    return bytes([config]) + wire(0x10, b"\x00") + b"".join(wire(0x01, f) for f in frames)


SEEDS = {
    "raw_tal_session": records(0x00, raw_session(0, image(2 + 200))),
    "raw_orb_session": records(0x01, raw_session(1, image(2 + 384))),
    "raw_tiny_image": records(0x00, raw_session(0, image(2))),
    "addressed_tal_session": records(0x02, addressed_session(0, image(300))),
    "addressed_orb_session": records(0x03, addressed_session(1, image(600))),
    "addressed_faults": records(0x0B, addressed_session(1, image(300))),
    "raw_faults": records(0x08, raw_session(0, image(50))),
    "wire_raw_session": wire_stream(0x04, raw_session(0, image(2 + 100))),
    "wire_addressed_session": wire_stream(0x07, addressed_session(1, image(300))),
    "leave_and_closed": bytes([0x02]) + record(1, b"\x00") + record(0, addressed_session(0, image(4))[0])
    + record(2) + record(0, b"\x00\x00\x08\x00\x00\x00\x00\x00\x00") + record(4) + record(1, b"\x00")
    + record(0, addressed(8, 0, 0)),
    # A light reset, a program that is not the detection loader, and the reads detection makes.
    "light_reset_read_memory": records(0x50, [
        addressed(1, 0x080000, 0x080000, bytes([1, 2, 3, 4])), addressed(0, 0x080000, 0x080000, b"\x01"),
        addressed(0x0A, 2, 0x1000), addressed(0x0A, 3, 0x86001), addressed(0x0A, 7, 0xF001),
        addressed(0x0A, 2, 0x2000), addressed(8, 0, 0)], reset_mode=3),
    "other_kinds": bytes([0x01]) + record(1, b"\x01") + record(1, b"\x07") + record(1, b"")
    + record(3) + record(5, b"xyz") + record(0x0D) + record(0, b"\x08"),
}


def main():
    os.makedirs(OUT, exist_ok=True)
    for name, data in sorted(SEEDS.items()):
        with open(os.path.join(OUT, name), "wb") as f:
            f.write(data)
    print(f"wrote {len(SEEDS)} seeds to {OUT}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
