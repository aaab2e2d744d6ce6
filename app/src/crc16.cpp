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

}  // namespace

const Crc16Table& Crc16Entries() {
    static const Crc16Table table = MakeTable();
    return table;
}

void BuildCrc16Table() {
    (void)Crc16Entries();
}

uint16_t Crc16(const uint8_t* data, size_t size, uint16_t start) {
    const Crc16Table& table = Crc16Entries();
    uint16_t crc = start;
    for (size_t i = 0; i < size; ++i) {
        crc = static_cast<uint16_t>(table[(crc ^ data[i]) & 0xFF] ^ (crc >> 8));
    }
    return static_cast<uint16_t>(~crc);
}

}  // namespace brenmark
