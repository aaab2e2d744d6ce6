#include "crc16.h"

namespace brenmark {

namespace {

constexpr uint16_t kPolynomial = 0x8408;  // 0x1021 with its bits reversed

Crc16Table MakeTable() {
    Crc16Table table{};
    for (unsigned i = 0; i < 256; ++i) {
        uint16_t value = static_cast<uint16_t>(i);
        for (int bit = 0; bit < 8; ++bit) {
            value = (value & 1) ? static_cast<uint16_t>((value >> 1) ^ kPolynomial)
                                : static_cast<uint16_t>(value >> 1);
        }
        table[i] = value;
    }
    return table;
}

// Slicing by sixteen: slice k gives the register's change from a byte followed by k zero bytes,
// so sixteen bytes take sixteen independent look-ups instead of sixteen dependent steps.
constexpr size_t kSlices = 16;
using Crc16Slices = std::array<Crc16Table, kSlices>;

Crc16Slices MakeSlices(const Crc16Table& table) {
    Crc16Slices slices{};
    slices[0] = table;
    for (size_t k = 1; k < slices.size(); ++k) {
        for (unsigned i = 0; i < 256; ++i) {
            const uint16_t previous = slices[k - 1][i];
            slices[k][i] = static_cast<uint16_t>((previous >> 8) ^ table[previous & 0xFF]);
        }
    }
    return slices;
}

const Crc16Slices& Slices() {
    static const Crc16Slices slices = MakeSlices(Crc16Entries());
    return slices;
}

}  // namespace

const Crc16Table& Crc16Entries() {
    static const Crc16Table table = MakeTable();
    return table;
}

void BuildCrc16Table() {
    (void)Crc16Entries();
    (void)Slices();
}

uint16_t Crc16(const uint8_t* data, size_t size, uint16_t start) {
    const Crc16Table& table = Crc16Entries();
    const Crc16Slices& t = Slices();
    uint16_t crc = start;
    size_t i = 0;
    for (; i + kSlices <= size; i += kSlices) {
        const uint8_t* b = data + i;
        // The register meets the first two bytes; the other fourteen only shift through.
        uint16_t next =
            static_cast<uint16_t>(t[15][(crc ^ b[0]) & 0xFF] ^ t[14][((crc >> 8) ^ b[1]) & 0xFF]);
        for (size_t k = 2; k < kSlices; ++k) next ^= t[kSlices - 1 - k][b[k]];
        crc = next;
    }
    for (; i < size; ++i) {
        crc = static_cast<uint16_t>(table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8));
    }
    return static_cast<uint16_t>(~crc);
}

}  // namespace brenmark
