#include "sim/reader_layout.h"

#include <array>

#include "cordane/formats/large_layout.h"

namespace korvel::sim {
namespace {

namespace large = cordane::large;
using cordane::kReaders;

constexpr uint32_t kSmallDump = 0x10000;
constexpr uint32_t kLargeDump = large::kUpperEnd;  // every large model: 0 .. 0x17FFFF
constexpr uint32_t kDataFlash = 0x10000;           // 64 KB of data flash on every large model
// The 64 Kb readers' application starts at 0x2000 with its two signature bytes; a large reader's
// image starts with the driver library's low part.
constexpr uint32_t kSmallSignature = 0x2000;
constexpr uint32_t kLargeSignature = large::kDriverLowStart;

// Large and modem resets start the same addressed loader; the light reset of reader detection is
// taken by every large model. The KvTalModem sits on its modem base and is reached only through
// the modem reset.
constexpr uint8_t kLargeResets = kResetLarge | kResetLight;
constexpr uint8_t kModemResets = kResetModem | kResetLight;

// Reader detection finds types 8 and 9 beside the models they resemble: 8 with the 512 Kb
// models (2, 3), 9 with the 1 Mb ones (4, 5, 6). The three 1 Mb models named in the
// terminal-type list (4, 5, 6) erase their data flash on the link's EraseData request; every
// other large model through its loader's data-flash routines.
constexpr std::array<ReaderLayout, 10> kLayouts{{
    {&kReaders[0], kResetSmall, kSmallDump, kSmallSignature, 0, DataErase::None},
    {&kReaders[1], kResetSmall, kSmallDump, kSmallSignature, 0, DataErase::None},
    {&kReaders[2], kLargeResets, kLargeDump, kLargeSignature, kDataFlash, DataErase::Routines},
    {&kReaders[3], kLargeResets, kLargeDump, kLargeSignature, kDataFlash, DataErase::Routines},
    {&kReaders[4], kLargeResets, kLargeDump, kLargeSignature, kDataFlash, DataErase::Request},
    {&kReaders[5], kLargeResets, kLargeDump, kLargeSignature, kDataFlash, DataErase::Request},
    {&kReaders[6], kLargeResets, kLargeDump, kLargeSignature, kDataFlash, DataErase::Request},
    {&kReaders[7], kModemResets, kLargeDump, kLargeSignature, kDataFlash, DataErase::Routines},
    {&kReaders[8], kLargeResets, kLargeDump, kLargeSignature, kDataFlash, DataErase::Routines},
    {&kReaders[9], kLargeResets, kLargeDump, kLargeSignature, kDataFlash, DataErase::Routines},
}};
static_assert(kLayouts.size() == kReaders.size());

}  // namespace

const ReaderLayout* FindLayout(int type) {
    for (const ReaderLayout& layout : kLayouts) {
        if (layout.reader->type == type) return &layout;
    }
    return nullptr;
}

std::span<const ReaderLayout> AllLayouts() {
    return kLayouts;
}

std::vector<Region> CodeRegions(const ReaderLayout& layout) {
    const std::span<const cordane::FlashBank> banks = layout.reader->banks;
    std::vector<Region> regions;
    regions.reserve(banks.size() + 1);
    regions.push_back({"loader", 0x0000, banks.empty() ? 0 : banks.front().start, false});
    for (const cordane::FlashBank& bank : banks) {
        regions.push_back({bank.name, bank.start, bank.end, true});
    }
    return regions;
}

}  // namespace korvel::sim
