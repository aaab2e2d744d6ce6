#include "base/crc16.h"

namespace korvel::base {
namespace {

using Table = std::array<uint16_t, 256>;

constexpr Table MakeTable() {
    Table table{};
    for (unsigned i = 0; i < 256; ++i) {
        auto value = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1) ? static_cast<uint16_t>((value >> 1) ^ kCrc16X25Polynomial)
                                : static_cast<uint16_t>(value >> 1);
        }
        table[i] = value;
    }
    return table;
}

// Slicing by sixteen: slice k gives the register's change from a byte followed by k zero bytes,
// so that sixteen bytes take sixteen independent look-ups instead of sixteen dependent steps.
constexpr size_t kSlices = 16;
using Slices = std::array<Table, kSlices>;

constexpr Slices MakeSlices() {
    Slices slices{};
    slices[0] = MakeTable();
    for (size_t k = 1; k < kSlices; ++k) {
        for (unsigned i = 0; i < 256; ++i) {
            const uint16_t previous = slices[k - 1][i];
            slices[k][i] = static_cast<uint16_t>((previous >> 8) ^ slices[0][previous & 0xFF]);
        }
    }
    return slices;
}

// Made by the compiler: nothing to build at start-up.
constexpr Slices kSliceTables = MakeSlices();
static_assert(kSliceTables[0][1] == 0x1189 && kSliceTables[0][128] == kCrc16X25Polynomial &&
                  kSliceTables[0][255] == 0x0F78,
              "CRC-16/X-25 table");

}  // namespace

const std::array<uint16_t, 256>& Crc16X25Table() {
    return kSliceTables[0];
}

uint16_t Crc16X25(const uint8_t* data, size_t size, uint16_t start) {
    const Slices& t = kSliceTables;
    uint16_t crc = start;
    size_t i = 0;
    for (; i + kSlices <= size; i += kSlices) {
        const uint8_t* b = data + i;
        // The register meets the first two bytes; the other fourteen only shift through.
        auto next =
            static_cast<uint16_t>(t[15][(crc ^ b[0]) & 0xFF] ^ t[14][((crc >> 8) ^ b[1]) & 0xFF]);
        for (size_t k = 2; k < kSlices; ++k) next ^= t[kSlices - 1 - k][b[k]];
        crc = next;
    }
    for (; i < size; ++i) {
        crc = static_cast<uint16_t>(t[0][(crc ^ data[i]) & 0xFF] ^ (crc >> 8));
    }
    return static_cast<uint16_t>(~crc);
}

}  // namespace korvel::base
