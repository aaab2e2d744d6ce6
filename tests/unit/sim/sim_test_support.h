// Frames as the download engine sends them, built independently of the emulator, so that a full
// session can be played against the loaders and the resulting flash compared byte for byte.
#ifndef KORVEL_TESTS_SIM_TEST_SUPPORT_H
#define KORVEL_TESTS_SIM_TEST_SUPPORT_H

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <iterator>
#include <span>
#include <string>
#include <vector>

#include "cordane/protocol.h"
#include "cordane/routines.h"

namespace simtest {

using Bytes = std::vector<uint8_t>;

// "" when `got` equals `want`; else where they first differ and how many bytes do, so that a
// failing comparison of whole flash images stays readable.
inline std::string Difference(const Bytes& got, const Bytes& want) {
    if (got.size() != want.size()) {
        return std::to_string(got.size()) + " bytes, expected " + std::to_string(want.size());
    }
    size_t first = got.size();
    size_t count = 0;
    for (size_t i = 0; i < got.size(); ++i) {
        if (got[i] == want[i]) continue;
        if (count++ == 0) first = i;
    }
    if (count == 0) return "";
    char text[128];
    std::snprintf(text, sizeof text,
                  "%zu bytes differ, the first at 0x%zX: 0x%02X, expected 0x%02X", count, first,
                  got[first], want[first]);
    return text;
}

inline Bytes Padded(std::span<const uint8_t> routine, size_t length) {
    Bytes out(routine.begin(), routine.end());
    out.resize(length, 0);
    return out;
}

// An image of `length` bytes for address 0x2000 upwards; its own first two bytes are not 'K','V'.
inline Bytes TestImage(size_t length) {
    Bytes image(length);
    for (size_t i = 0; i < length; ++i) image[i] = static_cast<uint8_t>(i * 7 + 3);
    return image;
}

// The 64 Kb flash after a complete download of `image`: signature, payload, 0xFF elsewhere.
inline Bytes ExpectedDump(const Bytes& image) {
    Bytes dump(0x10000, 0xFF);
    for (size_t i = 2; i < image.size(); ++i) dump[0x2000 + i] = image[i];
    dump[0x2000] = 'K';
    dump[0x2001] = 'V';
    return dump;
}

inline Bytes RawDescriptor(size_t imageLength) {
    const size_t payload = imageLength - 2;
    Bytes d(cordane::raw::kDescriptorFrame, 0);
    d[0] = 0x03;
    d[1] = 0x02;
    d[2] = 0x20;
    d[5] = static_cast<uint8_t>((payload / 192) & 0xFF);
    d[6] = static_cast<uint8_t>((payload / 192) >> 8);
    d[8] = static_cast<uint8_t>(payload % 192);
    d[9] = 0x00;
    d[10] = 0x20;
    d[16] = 0x02;
    return d;
}

// Every frame of a raw download of `image` to reader type `type`, in order.
inline std::vector<Bytes> RawSession(int type, const Bytes& image) {
    namespace r = cordane::routines;
    std::vector<Bytes> frames;
    frames.push_back(type == 0 ? Padded(r::kEraseTal64, 241) : Padded(r::kEraseOrb64Raw, 241));
    frames.push_back(type == 0 ? Padded(r::kProgramTal64, 241) : Padded(r::kProgramOrb64Raw, 241));
    frames.push_back(RawDescriptor(image.size()));
    Bytes buffer(1, 0);  // the 0 byte in front of the image
    buffer.insert(buffer.end(), image.begin(), image.end());
    const size_t length = image.size();
    size_t offset = 0;
    while (offset < length) {
        // Image index i is buffer index i + 1; each frame starts one byte before its block.
        const size_t from = offset + 2;
        if (length - offset - 2 > 192) {
            frames.emplace_back(buffer.begin() + from, buffer.begin() + from + 193);
            offset += 192;
        } else {
            frames.emplace_back(buffer.begin() + from,
                                buffer.begin() + from + (length - offset - 1));
            offset = length;
        }
    }
    frames.push_back({0, 'K', 'V'});
    frames.push_back({0x08});
    return frames;
}

inline Bytes Addressed(cordane::LoaderCommand command, uint32_t start, uint32_t load,
                       std::span<const uint8_t> payload) {
    const uint8_t header[] = {static_cast<uint8_t>(payload.size() >> 8),
                              static_cast<uint8_t>(payload.size()),
                              static_cast<uint8_t>(command),
                              static_cast<uint8_t>(start >> 16),
                              static_cast<uint8_t>(start >> 8),
                              static_cast<uint8_t>(start),
                              static_cast<uint8_t>(load >> 16),
                              static_cast<uint8_t>(load >> 8),
                              static_cast<uint8_t>(load)};
    Bytes frame(sizeof header + payload.size());
    std::copy(std::begin(header), std::end(header), frame.begin());
    std::copy(payload.begin(), payload.end(), frame.begin() + sizeof header);
    return frame;
}

inline Bytes Write(uint32_t address, std::span<const uint8_t> bytes) {
    return Addressed(cordane::LoaderCommand::WriteBlock, 0, address, bytes);
}

inline Bytes EraseRoutine(int type) {
    namespace r = cordane::routines;
    return Addressed(cordane::LoaderCommand::RunRoutine, 0x080000, 0x080000,
                     type == 0 ? Padded(r::kEraseTal64, 241)
                               : Bytes(r::kFlashErase.begin(), r::kFlashErase.end()));
}

inline Bytes ProgramRoutine(int type) {
    namespace r = cordane::routines;
    return Addressed(cordane::LoaderCommand::LoadRoutine, 0x080000, 0x080000,
                     type == 0 ? Padded(r::kProgramTal64, 241)
                               : Bytes(r::kProgramOrb64.begin(), r::kProgramOrb64.end()));
}

inline Bytes EndSession() {
    return Addressed(cordane::LoaderCommand::EndSession, 0, 0, {});
}

// Every frame of an addressed download of `image` to reader type `type`, in order.
inline std::vector<Bytes> AddressedSession(int type, Bytes image) {
    std::vector<Bytes> frames{EraseRoutine(type), ProgramRoutine(type)};
    image[0] = 0xFF;  // the signature is blanked first and written last
    image[1] = 0xFF;
    for (size_t at = 0; at < image.size(); at += 255) {
        const size_t size = std::min<size_t>(255, image.size() - at);
        frames.push_back(Write(static_cast<uint32_t>(0x2000 + at),
                               std::span<const uint8_t>(image).subspan(at, size)));
    }
    const uint8_t signature[] = {'K', 'V'};
    frames.push_back(Write(0x2000, signature));
    frames.push_back(EndSession());
    return frames;
}

// ---- The large readers' frames.

inline Bytes Routine(cordane::LoaderCommand command, std::span<const uint8_t> routine,
                     uint32_t load = 0x080000) {
    return Addressed(command, 0x080000, load, routine);
}

inline Bytes FlashErase() {
    return Routine(cordane::LoaderCommand::RunRoutine, cordane::routines::kFlashErase);
}

inline Bytes ProgramLarge() {
    return Routine(cordane::LoaderCommand::LoadRoutine, cordane::routines::kProgramLarge);
}

inline Bytes DataFlashEraseCore() {
    return Routine(cordane::LoaderCommand::LoadRoutine, cordane::routines::kDataFlashEraseCore);
}

inline Bytes DataFlashEraseStart(uint32_t load = 0x0800F5) {
    return Routine(cordane::LoaderCommand::RunRoutine, cordane::routines::kDataFlashEraseStart,
                   load);
}

// AppNumberCheck with its three digit groups filled from three-character texts.
inline Bytes AppNumberCheck(const char* number, const char* previous1, const char* previous2) {
    auto routine = cordane::routines::kAppNumberCheck;
    const char* groups[3] = {number, previous1, previous2};
    for (size_t g = 0; g < 3; ++g) {
        for (size_t i = 0; i < 3; ++i) {
            routine[cordane::routines::kAppNumberDigits[g][i]] = static_cast<uint8_t>(groups[g][i]);
        }
    }
    return Routine(cordane::LoaderCommand::RunRoutine, routine);
}

}  // namespace simtest

#endif
