#include "crc16.h"

#include <gtest/gtest.h>

#include <string>

namespace brenmark {
namespace {

TEST(Crc16, IsCrc16X25) {
    EXPECT_EQ(Crc16Entries()[1], 0x1189);
    EXPECT_EQ(Crc16Entries()[128], 0x8408);
    const std::string check = "123456789";  // the catalogue's check value
    EXPECT_EQ(Crc16(reinterpret_cast<const uint8_t*>(check.data()), check.size()), 0x906E);
    EXPECT_EQ(Crc16(nullptr, 0), 0x0000);
}

}  // namespace
}  // namespace brenmark
