#include "crc16.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace brenmark {
namespace {

TEST(Crc16, IsCrc16X25) {
    EXPECT_EQ(Crc16Entries()[1], 0x1189);
    EXPECT_EQ(Crc16Entries()[128], 0x8408);
    const std::string check = "123456789";  // the catalogue's check value
    EXPECT_EQ(Crc16(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0x906E);
    EXPECT_EQ(Crc16(nullptr, 0), 0x0000);
}

TEST(Crc16, LongRunsMatchTheBitwiseDefinition) {
    std::vector<uint8_t> data(1000);
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 131 + (i >> 3));
    for (size_t size : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 63u, 1000u}) {
        uint16_t crc = 0xFFFF;
        for (size_t i = 0; i < size; ++i) {
            crc ^= data[i];
            for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
        }
        EXPECT_EQ(Crc16(data.data(), size), static_cast<uint16_t>(~crc)) << size;
        // A run split in two continues from the first part's register.
        const uint16_t first = Crc16(data.data(), size / 2);
        EXPECT_EQ(Crc16(data.data() + size / 2, size - size / 2, static_cast<uint16_t>(~first)),
                  static_cast<uint16_t>(~crc))
            << size;
    }
}

}  // namespace
}  // namespace brenmark
