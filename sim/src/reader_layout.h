// Facts about each reader type the emulator knows: its name, which resets start its loader, its
// flash banks, its data flash and where a complete image carries its signature. One table, in
// reader_layout.cpp.
#ifndef KORVEL_SIM_READER_LAYOUT_H
#define KORVEL_SIM_READER_LAYOUT_H

#include <cstdint>
#include <span>

namespace korvel::sim {

// One stretch of code flash.
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
    int type;                      // reader type index 0..9
    const char* name;              // as the terminal-type list shows it
    bool large;                    // a large reader: addressed frames after a large/modem reset
    uint8_t resetModes;            // kReset... bits of the resets that start its loader
    std::span<const Region> code;  // code flash banks, lowest first, not overlapping
    uint32_t dumpSize;             // a dump holds addresses 0 .. dumpSize - 1
    uint32_t signatureAddress;     // 'K', 'V' here mark a complete image
    uint32_t dataFlashSize;        // bytes of data flash, 0 when the reader has none
    DataErase dataErase;
};

// The layout of reader type `type`, or nullptr when no such type exists.
const ReaderLayout* FindLayout(int type);

// Every known type, in type order.
std::span<const ReaderLayout> AllLayouts();

}  // namespace korvel::sim

#endif
