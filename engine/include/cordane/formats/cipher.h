// Image cipher: two-key triple DES (K3 = K1) in ECB mode over the enciphered region of a binary
// download file, with a 16-byte key derived per image from an 8-byte base key and the image's first
// two bytes, and the registry of base keys that the key selector names.
//
// DES is FIPS 46-3 DES, written here for the purpose; the parity bits of a key are ignored. Images
// are deciphered in the decrypt direction: b = D(K1, E(K2, D(K1, b))) for every 8-byte block b;
// enciphering is the inverse, b = E(K1, D(K2, E(K1, b))).
//
// Nothing here keeps state between calls except the base-key registry, which a mutex guards: every
// function may be called from any thread.
#ifndef CORDANE_CIPHER_H
#define CORDANE_CIPHER_H

#include <cstddef>
#include <cstdint>

namespace cordane {

inline constexpr size_t kDesBlockSize = 8;   // bytes of one DES block
inline constexpr size_t kDesKeySize = 8;     // bytes of a DES key, parity bits included
inline constexpr size_t kBaseKeySize = 8;    // bytes of a base key
inline constexpr size_t kImageKeySize = 16;  // derived key: K1 (bytes 0..7), then K2 (8..15)

// Key selectors of the built-in base keys; every other selector names a registered key.
inline constexpr uint32_t kBaseKeyA = 0;
inline constexpr uint32_t kBaseKeyB = 1;

// Clears key material with stores the compiler may not drop as dead.
void WipeKey(void* bytes, size_t size);

// Single DES on one block. `in` and `out` may be the same buffer.
void DesEncrypt(const uint8_t key[kDesKeySize], const uint8_t in[kDesBlockSize],
                uint8_t out[kDesBlockSize]);
void DesDecrypt(const uint8_t key[kDesKeySize], const uint8_t in[kDesBlockSize],
                uint8_t out[kDesBlockSize]);

// Two-key triple DES on one block with a derived key (K1, K2). `in` and `out` may be the same.
void TripleDesDecipher(const uint8_t key[kImageKeySize], const uint8_t in[kDesBlockSize],
                       uint8_t out[kDesBlockSize]);
void TripleDesEncipher(const uint8_t key[kImageKeySize], const uint8_t in[kDesBlockSize],
                       uint8_t out[kDesBlockSize]);

// Derives an image's key from a base key B and the image's first two bytes d0, d1:
//   K1[i] = B[i] ^ d0 for even i, B[i] ^ d1 for odd i;
//   K2 = K1 shifted left one bit as a 64-bit big-endian number, the top bit dropped, with the new
//        lowest bit = bit 3 of K1[6] ^ bit 7 of K1[6] ^ bit 4 of K1[7] (bit 0 the least
//        significant of a byte).
void DeriveImageKey(const uint8_t base[kBaseKeySize], uint8_t d0, uint8_t d1,
                    uint8_t key[kImageKeySize]);

// Number of whole blocks that cover `length` bytes: a partial last block is taken whole.
constexpr size_t CipherBlocks(size_t length) {
    return length / kDesBlockSize + (length % kDesBlockSize != 0 ? 1 : 0);
}

// Deciphers (or enciphers) in place the region of `length` bytes at `offset` in an image of
// `imageSize` bytes, with the key derived from `base` and the image's bytes 0 and 1. The length is
// rounded up to whole blocks, so the last block may take up to 7 bytes after the region.
//
// Returns false, and leaves the image untouched, when those whole blocks do not all lie inside the
// image, when the region starts before offset 2 (it would change the bytes its key comes from) or
// when a pointer is null. A region that only partly fits is never half deciphered: a caller either
// gets the whole region or an image as it was. A length of 0 changes nothing and succeeds.
[[nodiscard]] bool DecipherImageRegion(uint8_t* image, size_t imageSize, size_t offset,
                                       size_t length, const uint8_t base[kBaseKeySize]);
[[nodiscard]] bool EncipherImageRegion(uint8_t* image, size_t imageSize, size_t offset,
                                       size_t length, const uint8_t base[kBaseKeySize]);

// Base key A (selector 0) or B (selector 1), the keys built into the engine. False, with `out`
// untouched, for any other selector: those name keys a client registers with the engine.
[[nodiscard]] bool BuiltInBaseKey(uint32_t selector, uint8_t out[kBaseKeySize]);

}  // namespace cordane

#endif
