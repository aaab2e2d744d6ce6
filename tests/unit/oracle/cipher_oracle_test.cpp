// The image cipher against OpenSSL's two-key triple DES (des-ede-ecb), an independent
// implementation used here as an oracle only.
#include <gtest/gtest.h>
#include <openssl/evp.h>

#include <array>
#include <cstdint>
#include <memory>
#include <random>
#include <vector>

#include "cordane/formats/cipher.h"

namespace cordane {
namespace {

// Where a binary download file carries its enciphered bytes.
constexpr size_t kRegionOffset = 0xA002;
constexpr size_t kRegionLength = 4096;
constexpr size_t kRegionEnd = kRegionOffset + kRegionLength;

struct CipherFree {
    void operator()(EVP_CIPHER* cipher) const { EVP_CIPHER_free(cipher); }
};
struct ContextFree {
    void operator()(EVP_CIPHER_CTX* context) const { EVP_CIPHER_CTX_free(context); }
};

// OpenSSL's DES-EDE-ECB over `data` (a whole number of blocks), without padding. Decrypting gives
// D(K1, E(K2, D(K1, b))) for each block, as the image decipher does.
std::vector<uint8_t> OpenSslEde(const uint8_t key[16], const std::vector<uint8_t>& data,
                                bool decrypt) {
    static const std::unique_ptr<EVP_CIPHER, CipherFree> cipher(
        EVP_CIPHER_fetch(nullptr, "DES-EDE-ECB", nullptr));
    if (cipher == nullptr) {
        ADD_FAILURE() << "OpenSSL offers no DES-EDE-ECB";
        return {};
    }
    std::unique_ptr<EVP_CIPHER_CTX, ContextFree> context(EVP_CIPHER_CTX_new());
    std::vector<uint8_t> out(data.size() + 8);
    int written = 0;
    int last = 0;
    const bool ok = context != nullptr &&
                    EVP_CipherInit_ex2(context.get(), cipher.get(), key, nullptr, decrypt ? 0 : 1,
                                       nullptr) == 1 &&
                    EVP_CIPHER_CTX_set_padding(context.get(), 0) == 1 &&
                    EVP_CipherUpdate(context.get(), out.data(), &written, data.data(),
                                     static_cast<int>(data.size())) == 1 &&
                    EVP_CipherFinal_ex(context.get(), out.data() + written, &last) == 1;
    if (!ok) {
        ADD_FAILURE() << "OpenSSL DES-EDE-ECB failed";
        return {};
    }
    out.resize(static_cast<size_t>(written + last));
    return out;
}

template <size_t N>
std::array<uint8_t, N> RandomBytes(std::mt19937& random) {
    std::array<uint8_t, N> bytes{};
    for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
    return bytes;
}

TEST(CipherOracle, BlocksMatchOpenSslForRandomKeys) {
    std::mt19937 random(20240601);
    for (int round = 0; round < 2000; ++round) {
        const auto key = RandomBytes<16>(random);
        const auto block = RandomBytes<8>(random);
        const std::vector<uint8_t> in(block.begin(), block.end());
        std::array<uint8_t, 8> mine{};

        TripleDesDecipher(key.data(), block.data(), mine.data());
        ASSERT_EQ(std::vector<uint8_t>(mine.begin(), mine.end()), OpenSslEde(key.data(), in, true))
            << "decipher, round " << round;
        TripleDesEncipher(key.data(), block.data(), mine.data());
        ASSERT_EQ(std::vector<uint8_t>(mine.begin(), mine.end()), OpenSslEde(key.data(), in, false))
            << "encipher, round " << round;

        // Single DES: EDE with K1 = K2 collapses to one DES operation with K1.
        std::array<uint8_t, 16> single{};
        std::copy(key.begin(), key.begin() + 8, single.begin());
        std::copy(key.begin(), key.begin() + 8, single.begin() + 8);
        DesEncrypt(key.data(), block.data(), mine.data());
        ASSERT_EQ(std::vector<uint8_t>(mine.begin(), mine.end()),
                  OpenSslEde(single.data(), in, false))
            << "DES encrypt, round " << round;
        DesDecrypt(key.data(), block.data(), mine.data());
        ASSERT_EQ(std::vector<uint8_t>(mine.begin(), mine.end()),
                  OpenSslEde(single.data(), in, true))
            << "DES decrypt, round " << round;
    }
}

TEST(CipherOracle, ImageRegionMatchesOpenSslWithTheDerivedKey) {
    std::mt19937 random(7);
    for (uint32_t selector : {kBaseKeyA, kBaseKeyB}) {
        std::vector<uint8_t> image(kRegionEnd + 13);
        for (uint8_t& byte : image) byte = static_cast<uint8_t>(random());
        std::array<uint8_t, 8> base{};
        ASSERT_TRUE(BuiltInBaseKey(selector, base.data()));
        std::array<uint8_t, 16> key{};
        DeriveImageKey(base.data(), image[0], image[1], key.data());
        const std::vector<uint8_t> region(image.begin() + kRegionOffset,
                                          image.begin() + kRegionEnd);

        ASSERT_TRUE(DecipherImageRegion(image.data(), image.size(), kRegionOffset, kRegionLength,
                                        base.data()));
        EXPECT_EQ(std::vector<uint8_t>(image.begin() + kRegionOffset, image.begin() + kRegionEnd),
                  OpenSslEde(key.data(), region, true))
            << "selector " << selector;
    }
}

}  // namespace
}  // namespace cordane
