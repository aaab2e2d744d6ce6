#include "reader_layout.h"

#include <array>

#include "cordane/formats/large_layout.h"

namespace korvel::sim {
namespace {

namespace large = cordane::large;

// The 64 Kb readers: one 64 Kb code flash. The loader lives in the first 8 Kb and never writes
// there; the application starts at 0x2000 with its two signature bytes.
constexpr std::array<Region, 2> kSmallCode{{
    {"loader", 0x0000, 0x2000, false},
    {"application", 0x2000, 0x10000, true},
}};

// The large readers: the loader below 0x4000, then one bank from the driver library's low part
// (0x4000-0xDFFF) through the application (0xD000 on) to the driver's high part (0x70000-0x7FFFF).
// The 1 Mb models add the upper application bank at 0x100000-0x17FFFF; 0x80000-0xFFFFF holds no
// flash on any model.
constexpr std::array<Region, 2> k512Code{{
    {"loader", 0x0000, large::kDriverLowStart, false},
    {"driver and application", large::kDriverLowStart, large::kAppEnd, true},
}};
constexpr std::array<Region, 3> k1MbCode{{
    {"loader", 0x0000, large::kDriverLowStart, false},
    {"driver and application", large::kDriverLowStart, large::kAppEnd, true},
    {"upper application", large::kUpperStart, large::kUpperEnd, true},
}};

constexpr uint32_t kSmallDump = 0x10000;
constexpr uint32_t kLargeDump = large::kUpperEnd;  // every large model: 0 .. 0x17FFFF
constexpr uint32_t kDataFlash = 0x10000;           // 64 KB of data flash on every large model

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
    {0, "KvTal (64 Kb)", false, kResetSmall, kSmallCode, kSmallDump, 0x2000, 0, DataErase::None},
    {1, "KvOrb (64 Kb)", false, kResetSmall, kSmallCode, kSmallDump, 0x2000, 0, DataErase::None},
    {2, "KvOrb (512Kb)", true, kLargeResets, k512Code, kLargeDump, large::kDriverLowStart,
     kDataFlash, DataErase::Routines},
    {3, "KvTal (512 Kb)", true, kLargeResets, k512Code, kLargeDump, large::kDriverLowStart,
     kDataFlash, DataErase::Routines},
    {4, "KvQuin3", true, kLargeResets, k1MbCode, kLargeDump, large::kDriverLowStart, kDataFlash,
     DataErase::Request},
    {5, "KvOrb1Mb", true, kLargeResets, k1MbCode, kLargeDump, large::kDriverLowStart, kDataFlash,
     DataErase::Request},
    {6, "KvTal (1Mb)", true, kLargeResets, k1MbCode, kLargeDump, large::kDriverLowStart, kDataFlash,
     DataErase::Request},
    {7, "KvTalModem", true, kModemResets, k512Code, kLargeDump, large::kDriverLowStart, kDataFlash,
     DataErase::Routines},
    {8, "reader type 8", true, kLargeResets, k512Code, kLargeDump, large::kDriverLowStart,
     kDataFlash, DataErase::Routines},
    {9, "reader type 9", true, kLargeResets, k1MbCode, kLargeDump, large::kDriverLowStart,
     kDataFlash, DataErase::Routines},
}};

}  // namespace

const ReaderLayout* FindLayout(int type) {
    for (const ReaderLayout& layout : kLayouts) {
        if (layout.type == type) return &layout;
    }
    return nullptr;
}

std::span<const ReaderLayout> AllLayouts() {
    return kLayouts;
}

}  // namespace korvel::sim
