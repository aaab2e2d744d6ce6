// The reader types the engine serves: each one's name in the terminal-type list, the procedure
// that downloads to it, and the flash banks its loader can program. One table, used to check a
// download's plan before the reader is reset.
#ifndef CORDANE_READER_TYPES_H
#define CORDANE_READER_TYPES_H

#include <cstdint>
#include <span>
#include <string>

#include "cordane/cordane.h"

namespace cordane {

// Addresses [start, end) that a loader programs.
struct FlashBank {
    uint32_t start;
    uint32_t end;
};

struct ReaderFacts {
    const char* name;  // as in the terminal-type list
    bool large;        // driver library and application (types 2 to 9)
    std::span<const FlashBank> banks;
};

// The facts of a reader type; any value outside 0 to 9 is served as a small reader.
const ReaderFacts& FactsOf(eReaderType type);

inline bool IsLargeReader(eReaderType type) {
    return type >= KvOrb512 && type <= KvLarge9;
}

// "KvOrb (512Kb)" for a listed type, "reader type 8" for the others.
std::string ReaderName(eReaderType type);

// The bank that holds `address`, or null.
const FlashBank* BankOf(const ReaderFacts& facts, uint32_t address);

}  // namespace cordane

#endif
