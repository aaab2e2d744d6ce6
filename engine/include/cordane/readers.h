// The reader types, each once: its name in the terminal-type list, whether it is a large reader,
// the flash banks its loader programs, and the identification by which reader detection finds
// it; beside them, the large readers' flash image as a global file lays it out. The engine's
// procedures, the emulator, the kit's global files and detection, the tools and the program all
// read this table.
#ifndef CORDANE_READERS_H
#define CORDANE_READERS_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "cordane/cordane.h"

namespace cordane {

inline constexpr int kLastReaderType = KvLarge9;  // types run from 0 to 9

// Addresses [start, end) that a loader programs. Below the first bank the loader keeps its own
// code and never writes.
struct FlashBank {
    uint32_t start;
    uint32_t end;
    const char* name;  // in messages: "driver and application"
};

// Reader detection's identification reads: how many bytes, from where.
struct IdentificationRead {
    uint8_t count;
    uint32_t address;
};
inline constexpr IdentificationRead kDetectionBytesRead{2, 0x1000};  // the detection bytes g, r
inline constexpr IdentificationRead kSecondRead512{3, 0x86001};      // read when g < 5
inline constexpr IdentificationRead kSecondRead1Mb{7, 0xF001};       // when g >= 5; byte 0 flags

// The second identification read the detection bytes call for.
constexpr const IdentificationRead& SecondReadFor(uint8_t g) {
    return g < 5 ? kSecondRead512 : kSecondRead1Mb;
}

// What a reader answers to the identification reads, which detection maps to its type: the
// detection bytes g and r, then the answer to SecondReadFor(g) (the first count bytes of second).
struct Identification {
    uint8_t g;
    uint8_t r;
    std::array<uint8_t, 7> second;
};

struct ReaderFacts {
    eReaderType type;
    const char* name;  // as in the terminal-type list; "reader type 8" for a type only detected
    bool large;        // driver library and application (types 2 to 9)
    bool listed;       // in the terminal-type list (0 to 7); 8 and 9 are set only by detection
    std::span<const FlashBank> banks;  // lowest first
    // The answers detection finds this type by; null for the types it never finds: the 64 Kb
    // readers refuse its light reset, and a KvTalModem answers as a KvTal (512 Kb).
    const Identification* identification;
};

// The 64 Kb readers: the loader keeps the first 8 Kb; the application starts at 0x2000.
inline constexpr FlashBank kSmallBanks[] = {{0x2000, 0x10000, "application"}};
// The large readers: the loader keeps everything below 0x4000; one bank holds the driver library
// (0x4000 on, and 0x70000-0x7FFFF) and the application (0xD000 on). The 1 Mb models add the
// upper application bank at 0x100000; 0x80000-0xFFFFF is flash on no model.
inline constexpr FlashBank k512Banks[] = {{0x4000, 0x80000, "driver and application"}};
inline constexpr FlashBank k1MbBanks[] = {{0x4000, 0x80000, "driver and application"},
                                          {0x100000, 0x180000, "upper application"}};

// g below 5: the second read is at 0x86001; byte 0 set for a KvTal (512 Kb), byte 2 for a type 8,
// neither for a KvOrb (512Kb). g 5 or above: 0xF001, flags 0x08 and 0x40 both set for a KvOrb1Mb
// (a type 9 when g is 5 and r is 0), 0x08 alone for a KvQuin3, 0x08 clear for a KvTal (1Mb).
inline constexpr Identification kOrb512Identity{0x02, 0x00, {0x00, 0x01, 0x00}};
inline constexpr Identification kTal512Identity{0x03, 0x00, {0x01, 0x00, 0x00}};
inline constexpr Identification kQuin3Identity{0x05, 0x02, {0x08}};
inline constexpr Identification kOrb1MbIdentity{0x05, 0x01, {0x48}};
inline constexpr Identification kTal1MbIdentity{0x06, 0x00, {0x40}};
inline constexpr Identification kLarge8Identity{0x04, 0x00, {0x00, 0x00, 0x01}};
inline constexpr Identification kLarge9Identity{0x05, 0x00, {0x48}};

// Types 8 and 9 are set only by reader detection: 8 is built like the 512 Kb models, 9 like the
// 1 Mb ones.
inline constexpr std::array<ReaderFacts, kLastReaderType + 1> kReaders{{
    {KvTal64, "KvTal (64 Kb)", false, true, kSmallBanks, nullptr},
    {KvOrb64, "KvOrb (64 Kb)", false, true, kSmallBanks, nullptr},
    {KvOrb512, "KvOrb (512Kb)", true, true, k512Banks, &kOrb512Identity},
    {KvTal512, "KvTal (512 Kb)", true, true, k512Banks, &kTal512Identity},
    {KvQuin3, "KvQuin3", true, true, k1MbBanks, &kQuin3Identity},
    {KvOrb1Mb, "KvOrb1Mb", true, true, k1MbBanks, &kOrb1MbIdentity},
    {KvTal1Mb, "KvTal (1Mb)", true, true, k1MbBanks, &kTal1MbIdentity},
    {KvTalModem, "KvTalModem", true, true, k512Banks, nullptr},
    {KvLarge8, "reader type 8", true, false, k512Banks, &kLarge8Identity},
    {KvLarge9, "reader type 9", true, false, k1MbBanks, &kLarge9Identity},
}};

// The facts of reader type `type`, or null when there is no such type.
constexpr const ReaderFacts* FindReader(int type) {
    return type >= 0 && type <= kLastReaderType ? &kReaders[static_cast<size_t>(type)] : nullptr;
}

// The facts of a reader type; any value outside 0 to 9 is served as a small reader, as reader
// type 1 is.
const ReaderFacts& FactsOf(eReaderType type);

inline bool IsLargeReader(eReaderType type) {
    return type >= KvOrb512 && type <= KvLarge9;
}

// "KvOrb (512Kb)" for a type of the table, "reader type 12" for any other value.
std::string ReaderName(eReaderType type);

// The bank that holds `address`, or null.
const FlashBank* BankOf(const ReaderFacts& facts, uint32_t address);

// The reader type detection decides from the detection bytes and the answer to the second read,
// which holds at least SecondReadFor(g).count bytes.
eReaderType IdentifiedReader(uint8_t g, uint8_t r, const uint8_t* second);

// ---- A global file's flash image for a large reader: where each component goes.

// Reader-specific components fill slots 1, 3 and 6, common ones slots 2, 4, 5 and 7; a component
// at any other load address has no place.
struct GlobalSlot {
    bool common;       // filled by common components; the others by reader-specific ones
    uint32_t address;  // the component's load address in the reader
    size_t offset;     // in the flash image: the address - 0x4000, but 0x100000 follows 0x7C000
    size_t capacity;
};
inline constexpr std::array<GlobalSlot, 7> kGlobalSlots{{
    {false, 0x4000, 0x000000, 0x300},
    {true, 0x4300, 0x000300, 0x420},
    {false, 0x4720, 0x000720, 0xDB8E0},
    {true, 0xE000, 0x00A000, 0x1000},
    {true, 0x10000, 0x00C000, 0x70000},
    {false, 0x70000, 0x06C000, 0x10000},
    {true, 0x100000, 0x07C000, 0x80000},
}};
// Left blank between slot 4 and slot 5 whatever slot 3 put there.
inline constexpr size_t kGlobalBlankStart = 0x00B000;
inline constexpr size_t kGlobalBlankEnd = 0x00C000;

}  // namespace cordane

#endif
