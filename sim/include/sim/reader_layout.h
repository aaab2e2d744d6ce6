// What the emulator knows of each reader type beyond the engine's reader table (cordane/readers.h:
// its name, whether it is large, its flash banks, its identification): which resets start its
// loader, how much a dump holds, where a complete image carries its signature, and its data flash.
// One table, in reader_layout.cpp.
#ifndef KORVEL_SIM_READER_LAYOUT_H
#define KORVEL_SIM_READER_LAYOUT_H

#include <cstdint>
#include <span>
#include <vector>

#include "cordane/readers.h"

namespace korvel::sim {

// One stretch of code flash: a bank of the reader table, or the loader's own area below them.
struct Region {
    const char* name;
    uint32_t start;
    uint32_t end;   // one past the last byte
    bool writable;  // the loader programs it; other regions refuse writes
};

// Bits of ReaderLayout::resetModes, one per ResetLoader mode byte.
inline constexpr uint8_t kResetSmall = 1u << 0;  // 64 Kb reset
inline constexpr uint8_t kResetLarge = 1u << 1;  // large reset
inline constexpr uint8_t kResetModem = 1u << 2;  // modem reset
inline constexpr uint8_t kResetLight = 1u << 3;  // light reset of reader detection

// How a reader's data flash is erased.
enum class DataErase : uint8_t {
    None,      // no data flash
    Request,   // the link-level EraseData request, answered by EraseDataDone
    Routines,  // the loader routines DataFlashEraseCore, then DataFlashEraseStart
};

struct ReaderLayout {
    // Its type, name (as the terminal-type list shows it), whether it is large (addressed frames
    // after a large or modem reset) and its code flash banks: the engine's reader table.
    const cordane::ReaderFacts* reader;
    uint8_t resetModes;         // kReset... bits of the resets that start its loader
    uint32_t dumpSize;          // a dump holds addresses 0 .. dumpSize - 1
    uint32_t signatureAddress;  // 'K', 'V' here mark a complete image
    uint32_t dataFlashSize;     // bytes of data flash, 0 when the reader has none
    DataErase dataErase;
};

// The code flash of a reader: the loader's own area (not writable) from address 0 up to the first
// bank, then its banks (writable), lowest first.
std::vector<Region> CodeRegions(const ReaderLayout& layout);

// The layout of reader type `type`, or nullptr when no such type exists.
const ReaderLayout* FindLayout(int type);

// Every known type, in type order.
std::span<const ReaderLayout> AllLayouts();

}  // namespace korvel::sim

#endif
