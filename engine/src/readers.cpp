#include "cordane/readers.h"

namespace cordane {

const ReaderFacts& FactsOf(eReaderType type) {
    // Any other value takes the small readers' path, as reader type 1 does.
    const ReaderFacts* facts = FindReader(type);
    return facts != nullptr ? *facts : kReaders[KvOrb64];
}

std::string ReaderName(eReaderType type) {
    if (const ReaderFacts* facts = FindReader(type)) return facts->name;
    return "reader type " + std::to_string(static_cast<int32_t>(type));
}

const FlashBank* BankOf(const ReaderFacts& facts, uint32_t address) {
    for (const FlashBank& bank : facts.banks) {
        if (address >= bank.start && address < bank.end) return &bank;
    }
    return nullptr;
}

eReaderType IdentifiedReader(uint8_t g, uint8_t r, const uint8_t* second) {
    if (g < 5) {
        if (second[0] != 0) return KvTal512;
        if (second[2] != 0) return KvLarge8;
        return KvOrb512;
    }
    const uint8_t flags = second[0];
    if ((flags & 0x08) == 0) return KvTal1Mb;
    if ((flags & 0x40) == 0) return KvQuin3;
    if (g == 5 && r == 0) return KvLarge9;
    return KvOrb1Mb;
}

}  // namespace cordane
