#include "cordane/formats/cipher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace cordane {
namespace {

// Where a binary download file carries its enciphered bytes.
constexpr size_t kRegionOffset = 0xA002;
constexpr size_t kRegionLength = 4096;
constexpr size_t kRegionEnd = kRegionOffset + kRegionLength;

using Block = std::array<uint8_t, 8>;

Block FromHex(const char* hex) {
    Block out{};
    for (size_t i = 0; i < 8; ++i)
        out[i] = static_cast<uint8_t>(std::stoul(std::string(hex + 2 * i, 2), nullptr, 16));
    return out;
}

std::array<uint8_t, 16> ImageKey(const char* k1, const char* k2) {
    std::array<uint8_t, 16> key{};
    const Block a = FromHex(k1);
    const Block b = FromHex(k2);
    std::copy(a.begin(), a.end(), key.begin());
    std::copy(b.begin(), b.end(), key.begin() + 8);
    return key;
}

struct DesVector {
    const char* key;
    const char* plain;
    const char* cipher;
};

// Published known answers: the classic worked examples, then a few rows of each table of NIST
// SP 800-17 (variable plaintext, variable key, permutation operation, substitution table).
constexpr DesVector kDesVectors[] = {
    {"0123456789ABCDEF", "4E6F772069732074", "3FA40E8A984D4815"},  // "Now is t"
    {"0123456789ABCDEF", "68652074696D6520", "6A271787AB8883F9"},  // "he time "
    {"0123456789ABCDEF", "666F7220616C6C20", "893D51EC4B563B53"},  // "for all "
    {"133457799BBCDFF1", "0123456789ABCDEF", "85E813540F0AB405"},
    {"0101010101010101", "8000000000000000", "95F8A5E5DD31D900"},
    {"0101010101010101", "4000000000000000", "DD7F121CA5015619"},
    {"0101010101010101", "0000000000000001", "166B40B44ABA4BD6"},
    {"8001010101010101", "0000000000000000", "95A8D72813DAA94D"},
    {"4001010101010101", "0000000000000000", "0EEC1487DD8C26D5"},
    {"0101010101010180", "0000000000000000", "9CC62DF43B6EED74"},
    {"0101010101010102", "0000000000000000", "869EFD7F9F265A09"},
    {"1046913489980131", "0000000000000000", "88D55E54F54C97B4"},
    {"7CA110454A1A6E57", "01A1D6D039776742", "690F5B0D9A26939B"},
    {"0131D9619DC1376E", "5CD54CA83DEF57DA", "7A389D10354BD271"},
    {"07A1133E4A0B2686", "0248D43806F67172", "868EBB51CAB4599A"},
    {"3849674C2602319E", "51454B582DDF440A", "7178876E01F19B2A"},
    {"04B915BA43FEB5B6", "42FD443059577FA2", "AF37FB421F8C4095"},
};

TEST(Des, PublishedKnownAnswersBothWays) {
    for (const DesVector& v : kDesVectors) {
        SCOPED_TRACE(std::string("key ") + v.key + ", plaintext " + v.plain);
        const Block key = FromHex(v.key);
        const Block plain = FromHex(v.plain);
        Block out{};
        DesEncrypt(key.data(), plain.data(), out.data());
        EXPECT_EQ(out, FromHex(v.cipher));
        DesDecrypt(key.data(), out.data(), out.data());  // in place
        EXPECT_EQ(out, plain);
    }
}

TEST(Des, IgnoresTheKeysParityBits) {
    const Block plain = FromHex("4E6F772069732074");
    Block key = FromHex("0123456789ABCDEF");
    for (uint8_t& byte : key) byte ^= 0x01;
    Block out{};
    DesEncrypt(key.data(), plain.data(), out.data());
    EXPECT_EQ(out, FromHex("3FA40E8A984D4815"));
}

TEST(TripleDes, TwoKeyKnownAnswerAndInverse) {
    // Made with OpenSSL's des-ede-ecb, key 0123456789ABCDEF 23456789ABCDEF01.
    const auto key = ImageKey("0123456789ABCDEF", "23456789ABCDEF01");
    const Block block = FromHex("4E6F772069732074");
    Block out{};
    TripleDesDecipher(key.data(), block.data(), out.data());
    EXPECT_EQ(out, FromHex("FB72D15C6F5A5DB6"));
    TripleDesEncipher(key.data(), out.data(), out.data());
    EXPECT_EQ(out, block);
    TripleDesEncipher(key.data(), block.data(), out.data());
    EXPECT_EQ(out, FromHex("B7835779EE26ACB7"));
}

// Derived keys below are worked out by hand from the rules: K1 = base ^ (d0, d1, d0, d1, ...),
// K2 = K1 << 1 with the new lowest bit bit3(K1[6]) ^ bit7(K1[6]) ^ bit4(K1[7]).
std::array<uint8_t, 16> Derive(const char* base, uint8_t d0, uint8_t d1) {
    std::array<uint8_t, 16> key{};
    DeriveImageKey(FromHex(base).data(), d0, d1, key.data());
    return key;
}

TEST(ImageKey, DerivedByHand) {
    // d0 = d1 = 0: K1 is the base key. K1[6] = 0xCD gives bits 3 and 7 set, K1[7] = 0xEF bit 4
    // clear: the new lowest bit is 0. The top bit shifted out is 0.
    EXPECT_EQ(Derive("0123456789ABCDEF", 0, 0), ImageKey("0123456789ABCDEF", "02468ACF13579BDE"));
    // d0 goes to even bytes, d1 to odd ones; 0xA5 has bit 7 set, 0x3C bit 4: new lowest bit 0,
    // and the top bit of A5 shifted out of K1[0] is dropped.
    EXPECT_EQ(Derive("0000000000000000", 0xA5, 0x3C),
              ImageKey("A53CA53CA53CA53C", "4A794A794A794A78"));
}

TEST(ImageKey, NewLowestBitCombinesThreeBits) {
    // Only K1[6] and K1[7] vary; each case gives the expected last byte of K2 (K1[7] << 1 | bit)
    // and K2[6] (K1[6] << 1 | K1[7] >> 7). A set top bit of K1[0] is dropped.
    struct Case {
        const char* base;
        const char* k2;
    };
    const Case cases[] = {
        {"8000000000000800", "0000000000001001"},  // bit 3 of K1[6] alone: 1
        {"8000000000008000", "0000000000010001"},  // bit 7 of K1[6] alone: 1
        {"0000000000000010", "0000000000000021"},  // bit 4 of K1[7] alone: 1
        {"0000000000008800", "0000000000011000"},  // bits 3 and 7: 0
        {"0000000000008810", "0000000000011021"},  // all three: 1
        {"00000000000077EF", "000000000000EFDE"},  // all but those three bits: 0
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.base);
        EXPECT_EQ(Derive(c.base, 0, 0), ImageKey(c.base, c.k2));
    }
}

// An image of `size` bytes with the given first bytes and a counting pattern elsewhere.
std::vector<uint8_t> Image(size_t size, uint8_t d0 = 0x5A, uint8_t d1 = 0xC3) {
    std::vector<uint8_t> image(size);
    for (size_t i = 0; i < size; ++i) image[i] = static_cast<uint8_t>(i * 7 + (i >> 8));
    image[0] = d0;
    image[1] = d1;
    return image;
}

Block BaseKey(uint32_t selector) {
    Block key{};
    EXPECT_TRUE(BuiltInBaseKey(selector, key.data()));
    return key;
}

TEST(ImageRegion, DecipherTakesExactlyTheRoundedUpBlocks) {
    const Block base = BaseKey(kBaseKeyA);
    std::array<uint8_t, 16> key{};
    DeriveImageKey(base.data(), 0x5A, 0xC3, key.data());

    struct Case {
        size_t length;
        size_t blocks;
    };
    for (const Case c : {Case{4096, 512}, Case{1, 1}, Case{8, 1}, Case{9, 2}, Case{0, 0}}) {
        SCOPED_TRACE("length " + std::to_string(c.length));
        const std::vector<uint8_t> original = Image(0xB100);
        std::vector<uint8_t> image = original;
        ASSERT_TRUE(
            DecipherImageRegion(image.data(), image.size(), kRegionOffset, c.length, base.data()));
        const size_t end = kRegionOffset + 8 * c.blocks;
        for (size_t at = kRegionOffset; at < end; at += 8) {
            Block expected{};
            TripleDesDecipher(key.data(), &original[at], expected.data());
            ASSERT_TRUE(std::equal(expected.begin(), expected.end(), &image[at]))
                << "block at " << at;
        }
        EXPECT_TRUE(std::equal(image.begin(), image.begin() + kRegionOffset, original.begin()));
        EXPECT_TRUE(std::equal(image.begin() + end, image.end(), original.begin() + end));
    }
}

TEST(ImageRegion, EncipherThenDecipherGivesTheImageBack) {
    const Block base = BaseKey(kBaseKeyB);
    const std::vector<uint8_t> original = Image(kRegionEnd);
    std::vector<uint8_t> image = original;
    ASSERT_TRUE(
        EncipherImageRegion(image.data(), image.size(), kRegionOffset, kRegionLength, base.data()));
    EXPECT_NE(image, original);
    ASSERT_TRUE(
        DecipherImageRegion(image.data(), image.size(), kRegionOffset, kRegionLength, base.data()));
    EXPECT_EQ(image, original);
}

TEST(ImageRegion, RefusesRegionsThatDoNotFitAndLeavesTheImageAlone) {
    const Block base = BaseKey(kBaseKeyA);
    struct Case {
        const char* what;
        size_t size;
        size_t offset;
        size_t length;
    };
    const Case cases[] = {
        {"region one byte past the end", kRegionEnd - 1, kRegionOffset, 4096},
        {"last partial block past the end", 20, 10, 9},  // needs bytes 10..25
        {"offset past the end", 16, 17, 0},
        {"region over the first two bytes", 64, 1, 8},
        {"length that overflows when rounded", 64, 8, SIZE_MAX},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<uint8_t> original = Image(c.size);
        // An exactly sized heap block lets the address sanitizer catch any access past it.
        std::vector<uint8_t> image = original;
        EXPECT_FALSE(
            DecipherImageRegion(image.data(), image.size(), c.offset, c.length, base.data()));
        EXPECT_FALSE(
            EncipherImageRegion(image.data(), image.size(), c.offset, c.length, base.data()));
        EXPECT_EQ(image, original);
    }
    std::vector<uint8_t> image = Image(16);
    EXPECT_FALSE(DecipherImageRegion(nullptr, 16, 8, 8, base.data()));
    EXPECT_FALSE(DecipherImageRegion(image.data(), image.size(), 8, 8, nullptr));
    // A region that ends exactly at the end of the image is taken.
    EXPECT_TRUE(DecipherImageRegion(image.data(), image.size(), 8, 8, base.data()));
}

TEST(ImageRegion, KeyAndFirstBytesBothMatter) {
    auto decipher = [](uint32_t selector, uint8_t d0, uint8_t d1) {
        std::vector<uint8_t> image = Image(kRegionEnd, d0, d1);
        const Block base = BaseKey(selector);
        EXPECT_TRUE(DecipherImageRegion(image.data(), image.size(), kRegionOffset, kRegionLength,
                                        base.data()));
        return std::vector<uint8_t>(image.begin() + kRegionOffset, image.end());
    };
    const auto reference = decipher(kBaseKeyA, 1, 2);
    EXPECT_NE(decipher(kBaseKeyB, 1, 2), reference);
    EXPECT_NE(decipher(kBaseKeyA, 3, 2), reference);
    EXPECT_NE(decipher(kBaseKeyA, 1, 4), reference);
}

TEST(BaseKeys, BuiltInKeysAreFixedAndDistinct) {
    const Block a = BaseKey(kBaseKeyA);
    const Block b = BaseKey(kBaseKeyB);
    EXPECT_NE(a, b);
    EXPECT_EQ(BaseKey(kBaseKeyA), a);
    EXPECT_NE(a, Block{});
    EXPECT_NE(b, Block{});
}

}  // namespace
}  // namespace cordane
