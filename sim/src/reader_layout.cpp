#include "reader_layout.h"

#include <array>

namespace korvel::sim {
namespace {

// The 64 Kb readers: one 64 Kb code flash. The loader lives in the first 8 Kb and never writes
// there; the application starts at 0x2000 with its two signature bytes.
constexpr std::array<Region, 2> kSmallCode{{
    {"loader", 0x0000, 0x2000, false},
    {"application", 0x2000, 0x10000, true},
}};

// The large readers get their banks (driver 0x4000-0xDFFF, application up to 0x7FFFF, upper
// application 0x100000-0x17FFFF on the 1 Mb models) and data flash when their loaders are
// emulated; until then they are listed so that a request for them can be named and refused.
constexpr uint8_t kLargeResets = kResetLarge | kResetLight;

constexpr std::array<ReaderLayout, 10> kLayouts{{
    {0, "KvTal (64 Kb)", true, kResetSmall, true, kSmallCode, 0x10000, 0x2000, 0},
    {1, "KvOrb (64 Kb)", true, kResetSmall, true, kSmallCode, 0x10000, 0x2000, 0},
    {2, "KvOrb (512Kb)", false, kLargeResets, false, {}, 0, 0x4000, 0},
    {3, "KvTal (512 Kb)", false, kLargeResets, false, {}, 0, 0x4000, 0},
    {4, "KvQuin3", false, kLargeResets, false, {}, 0, 0x4000, 0},
    {5, "KvOrb1Mb", false, kLargeResets, false, {}, 0, 0x4000, 0},
    {6, "KvTal (1Mb)", false, kLargeResets, false, {}, 0, 0x4000, 0},
    {7, "KvTalModem", false, kLargeResets | kResetModem, false, {}, 0, 0x4000, 0},
    {8, "reader type 8", false, kLargeResets, false, {}, 0, 0x4000, 0},
    {9, "reader type 9", false, kLargeResets, false, {}, 0, 0x4000, 0},
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
