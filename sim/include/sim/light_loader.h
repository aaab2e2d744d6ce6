// The loader a light reset starts on a large reader, for reader detection: it takes a program
// into RAM from 0x80000 with LoadRoutine, runs it with RunRoutine, and once the program it runs
// is the detection loader, answers ReadMemory from the reader's identification bytes.
//
//   LoadRoutine   start 0x80000, load 0x80000 + offset, 1 to 255 bytes within 0x80000-0x82FFF
//   RunRoutine    start and load 0x80000, one byte equal to the byte at 0x80000; the program
//                 loaded must be the detection loader (its size and digest), else refused
//   ReadMemory    start = the byte count, load = the address; answered with the bytes read from
//                 the identification memory, a shorter answer when it holds fewer
//   EndSession    ends the session
//
// The identification memory holds the detection bytes g and r at 0x1000 and the answers of the
// second read at 0x86001 (3 bytes, read when g < 5) and 0xF001 (7 bytes, flags first).
#ifndef KORVEL_SIM_LIGHT_LOADER_H
#define KORVEL_SIM_LIGHT_LOADER_H

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "cordane/protocol.h"
#include "cordane/readers.h"
#include "sim/loader.h"

namespace korvel::sim {

// Where LoadRoutine puts programs: the loader protocol's RAM (cordane/protocol.h).
inline constexpr uint32_t kRamStart = cordane::detection::kRamStart;
inline constexpr uint32_t kRamEnd = cordane::detection::kRamEnd;
// Where the identification bytes are read: the reader table's identification reads.
inline constexpr uint32_t kIdentityAddress = cordane::kDetectionBytesRead.address;
inline constexpr uint32_t kIdentity512Address = cordane::kSecondRead512.address;
inline constexpr uint32_t kIdentity1MbAddress = cordane::kSecondRead1Mb.address;
inline constexpr size_t kMaxSecondRead = cordane::kSecondRead1Mb.count;  // bytes at 0xF001

// What a reader answers to the identification reads.
struct IdentityBytes {
    std::vector<uint8_t> first;   // at 0x1000: g and r (fewer for a short answer)
    std::vector<uint8_t> second;  // at 0x86001 (its first 3) and at 0xF001 (up to 7)
};

// The bytes by which reader detection finds `type` (2 to 9), from the reader table; nothing for
// the 64 Kb readers, which take no light reset. The KvTalModem (7) is a KvTal (512 Kb) on a modem
// base: it answers as one, and detection, whose decision has no outcome 7, finds type 3.
std::optional<IdentityBytes> DefaultIdentity(int type);

// --id-bytes: "FIRST:SECOND", each hexadecimal byte pairs (possibly none), FIRST at most 2 bytes,
// SECOND at most 7. Anything else is refused, saying why.
base::Expected<IdentityBytes> ParseIdentityBytes(std::string_view text);

// The FNV-1a digest (64 bits) by which the detection loader is known.
uint64_t Fnv1a64(const uint8_t* bytes, size_t size);

class LightLoader final : public Loader {
  public:
    // `detectionLoaderRuns`: as if the detection loader had been loaded and started already (for
    // the tests and the fuzzer, which reach ReadMemory without sending the whole loader).
    explicit LightLoader(IdentityBytes identity, bool detectionLoaderRuns = false);

    FrameReport Describe(std::span<const uint8_t> frame) const override;
    FrameReport Take(std::span<const uint8_t> frame) override;

    bool DetectionLoaderRuns() const { return running_; }

  private:
    FrameReport TakeLoad(uint32_t start, uint32_t load, std::span<const uint8_t> payload,
                         FrameReport report);
    FrameReport TakeRun(uint32_t start, uint32_t load, std::span<const uint8_t> payload,
                        FrameReport report);
    FrameReport TakeRead(uint32_t count, uint32_t address, size_t length, FrameReport report);

    IdentityBytes identity_;
    std::vector<uint8_t> ram_;
    size_t loadedEnd_ = 0;  // one past the highest RAM offset loaded
    bool running_ = false;  // the detection loader runs
    bool ended_ = false;
};

}  // namespace korvel::sim

#endif
