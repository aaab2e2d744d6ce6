// The registry of base keys that a job's key selector may name.

#include <gtest/gtest.h>

#include <array>
#include <thread>
#include <vector>

#include "cordane/cordane.h"
#include "key_registry.h"

namespace cordane {
namespace {

using Block = std::array<uint8_t, 8>;

Block FromHex(const char* hex) {
    Block block{};
    for (size_t i = 0; i < block.size(); ++i) {
        block[i] = static_cast<uint8_t>(std::stoul(std::string(hex + 2 * i, 2), nullptr, 16));
    }
    return block;
}

Block BaseKey(uint32_t selector) {
    Block key{};
    EXPECT_TRUE(BaseKeyFor(selector, key.data()));
    return key;
}

TEST(BaseKeys, SelectorsZeroAndOneAreTheBuiltInKeys) {
    Block builtIn{};
    ASSERT_TRUE(BuiltInBaseKey(kBaseKeyB, builtIn.data()));
    EXPECT_EQ(BaseKey(kBaseKeyB), builtIn);
    EXPECT_FALSE(BuiltInBaseKey(2, builtIn.data()));
}

TEST(BaseKeys, Registry) {
    const Block key = FromHex("0011223344556677");
    const Block other = FromHex("8899AABBCCDDEEFF");
    Block out = FromHex("FFFFFFFFFFFFFFFF");

    EXPECT_FALSE(BaseKeyFor(0x0BAD0001, out.data()));
    EXPECT_EQ(out, FromHex("FFFFFFFFFFFFFFFF"));  // untouched when none is registered

    // The built-in selectors cannot be replaced.
    const Block a = BaseKey(kBaseKeyA);
    EXPECT_EQ(RegisterBaseKey(kBaseKeyA, key.data()), -1);
    EXPECT_EQ(RegisterBaseKey(kBaseKeyB, key.data()), -1);
    EXPECT_EQ(BaseKey(kBaseKeyA), a);
    EXPECT_EQ(RegisterBaseKey(0x0BAD0002, nullptr), -1);
    EXPECT_FALSE(BaseKeyFor(0x0BAD0002, out.data()));

    EXPECT_EQ(RegisterBaseKey(0x0BAD0003, key.data()), 0);
    EXPECT_EQ(BaseKey(0x0BAD0003), key);
    EXPECT_EQ(RegisterBaseKey(0x0BAD0003, other.data()), 0);  // replaced
    EXPECT_EQ(BaseKey(0x0BAD0003), other);
    EXPECT_EQ(RegisterBaseKey(0xFFFFFFFF, key.data()), 0);
    EXPECT_EQ(BaseKey(0xFFFFFFFF), key);
    EXPECT_EQ(BaseKey(0x0BAD0003), other);
}

TEST(BaseKeys, RegistryServesSeveralThreads) {
    constexpr uint32_t kFirst = 0x7E570000;
    std::vector<std::thread> threads;
    for (uint32_t t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (uint32_t i = 0; i < 200; ++i) {
                const uint32_t selector = kFirst + t * 1000 + i;
                Block key{};
                key.fill(static_cast<uint8_t>(i));
                key[0] = static_cast<uint8_t>(t);
                EXPECT_EQ(RegisterBaseKey(selector, key.data()), 0);
                Block out{};
                EXPECT_TRUE(BaseKeyFor(selector, out.data()));
                EXPECT_EQ(out, key);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
}

}  // namespace
}  // namespace cordane
