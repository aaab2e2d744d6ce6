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

// Slicing by eight: slice k gives the register's change from a byte followed by k zero bytes,
// so eight bytes take eight look-ups instead of eight dependent steps.
using Crc16Slices = std::array<Crc16Table, 8>;

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
    for (; i + 8 <= size; i += 8) {
        const uint8_t* b = data + i;
        crc =
            static_cast<uint16_t>(t[7][(crc ^ b[0]) & 0xFF] ^ t[6][(crc >> 8) ^ b[1]] ^ t[5][b[2]] ^
                                  t[4][b[3]] ^ t[3][b[4]] ^ t[2][b[5]] ^ t[1][b[6]] ^ t[0][b[7]]);
    }
    for (; i < size; ++i) {
        crc = static_cast<uint16_t>(table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8));
    }
    return static_cast<uint16_t>(~crc);
}

}  // namespace brenmark
