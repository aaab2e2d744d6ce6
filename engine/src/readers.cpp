#include "cordane/readers.h"

#include <array>

namespace cordane {

namespace {

// The 64 Kb readers: the loader keeps the first 8 Kb; the application starts at 0x2000.
constexpr std::array<FlashBank, 1> kSmallBanks{{{0x2000, 0x10000}}};
// The large readers: the loader keeps everything below 0x4000; one bank holds the driver library
// (0x4000 on, and 0x70000-0x7FFFF) and the application (0xD000 on). The 1 Mb models add the
// upper application bank at 0x100000; 0x80000-0xFFFFF is flash on no model.
constexpr std::array<FlashBank, 1> k512Banks{{{0x4000, 0x80000}}};
constexpr std::array<FlashBank, 2> k1MbBanks{{{0x4000, 0x80000}, {0x100000, 0x180000}}};

// Types 8 and 9 are set only by reader detection: 8 is built like the 512 Kb models, 9 like the
// 1 Mb ones.
const std::array<ReaderFacts, 10> kReaders{{
    {"KvTal (64 Kb)", false, kSmallBanks},
    {"KvOrb (64 Kb)", false, kSmallBanks},
    {"KvOrb (512Kb)", true, k512Banks},
    {"KvTal (512 Kb)", true, k512Banks},
    {"KvQuin3", true, k1MbBanks},
    {"KvOrb1Mb", true, k1MbBanks},
    {"KvTal (1Mb)", true, k1MbBanks},
    {"KvTalModem", true, k512Banks},
    {"reader type 8", true, k512Banks},
    {"reader type 9", true, k1MbBanks},
}};

}  // namespace

const ReaderFacts& FactsOf(eReaderType type) {
    const auto index = static_cast<uint32_t>(type);
    // Any other value takes the small readers' path, as reader type 1 does.
    return index < kReaders.size() ? kReaders[index] : kReaders[KvOrb64];
}

std::string ReaderName(eReaderType type) {
    const auto index = static_cast<uint32_t>(type);
    if (index < kReaders.size()) return kReaders[index].name;
    return "reader type " + std::to_string(static_cast<int32_t>(type));
}

const FlashBank* BankOf(const ReaderFacts& facts, uint32_t address) {
    for (const FlashBank& bank : facts.banks) {
        if (address >= bank.start && address < bank.end) return &bank;
    }
    return nullptr;
}

}  // namespace cordane
