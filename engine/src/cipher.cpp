#include "cordane/formats/cipher.h"

#include <string.h>  // explicit_bzero, where the C library has it

#include <algorithm>
#include <array>
#include <exception>

namespace cordane {

// explicit_bzero where the C library has it, stores through a volatile pointer elsewhere
// (Windows).
void WipeKey(void* bytes, size_t size) {
#if defined(__GLIBC__)
    explicit_bzero(bytes, size);
#else
    volatile auto* byte = static_cast<volatile unsigned char*>(bytes);
    for (size_t i = 0; i < size; ++i) byte[i] = 0;
#endif
}

namespace {

// ---------------------------------------------------------------------------------------------
// The standard's tables. Bits are numbered from 1 for the most significant bit of a block, a key
// or a word, as the standard numbers them; a permutation table lists, for each output bit in
// turn, the input bit it takes.

// Initial permutation IP; the final permutation is its inverse.
constexpr uint8_t kIp[64] = {
    58, 50, 42, 34, 26, 18, 10, 2,  60, 52, 44, 36, 28, 20, 12, 4,  62, 54, 46, 38, 30, 22,
    14, 6,  64, 56, 48, 40, 32, 24, 16, 8,  57, 49, 41, 33, 25, 17, 9,  1,  59, 51, 43, 35,
    27, 19, 11, 3,  61, 53, 45, 37, 29, 21, 13, 5,  63, 55, 47, 39, 31, 23, 15, 7,
};

// Permuted choice 1: the 56 key bits that make C (first 28) and D (last 28); parity bits left out.
constexpr uint8_t kPc1[56] = {
    57, 49, 41, 33, 25, 17, 9,  1,  58, 50, 42, 34, 26, 18, 10, 2,  59, 51, 43,
    35, 27, 19, 11, 3,  60, 52, 44, 36, 63, 55, 47, 39, 31, 23, 15, 7,  62, 54,
    46, 38, 30, 22, 14, 6,  61, 53, 45, 37, 29, 21, 13, 5,  28, 20, 12, 4,
};

// Permuted choice 2: the 48 bits of a round key, taken from C and D (56 bits).
constexpr uint8_t kPc2[48] = {
    14, 17, 11, 24, 1,  5,  3,  28, 15, 6,  21, 10, 23, 19, 12, 4,  26, 8,  16, 7,  27, 20, 13, 2,
    41, 52, 31, 37, 47, 55, 30, 40, 51, 45, 33, 48, 44, 49, 39, 56, 34, 53, 46, 42, 50, 36, 29, 32,
};

// Left rotations of C and D before each round.
constexpr uint8_t kKeyShifts[16] = {1, 1, 2, 2, 2, 2, 2, 2, 1, 2, 2, 2, 2, 2, 2, 1};

// Permutation P of the 32 S-box output bits (S-box 1 gives bits 1 to 4, S-box 8 bits 29 to 32).
constexpr uint8_t kP[32] = {
    16, 7, 20, 21, 29, 12, 28, 17, 1,  15, 23, 26, 5,  18, 31, 10,
    2,  8, 24, 14, 32, 27, 3,  9,  19, 13, 30, 6,  22, 11, 4,  25,
};

// S-boxes 1 to 8, each as four rows of sixteen. For a 6-bit input b1..b6 the row is b1 b6 and
// the column b2 b3 b4 b5.
constexpr uint8_t kSBoxes[8][64] = {
    {14, 4,  13, 1, 2,  15, 11, 8, 3, 10, 6, 12, 5,  9,  0,  7,  0,  15, 7,  4,  14, 2,
     13, 1,  10, 6, 12, 11, 9,  5, 3, 8,  4, 1,  14, 8,  13, 6,  2,  11, 15, 12, 9,  7,
     3,  10, 5,  0, 15, 12, 8,  2, 4, 9,  1, 7,  5,  11, 3,  14, 10, 0,  6,  13},
    {15, 1,  8,  14, 6,  11, 3,  4, 9,  7,  2, 13, 12, 0,  5,  10, 3,  13, 4,  7, 15, 2,
     8,  14, 12, 0,  1,  10, 6,  9, 11, 5,  0, 14, 7,  11, 10, 4,  13, 1,  5,  8, 12, 6,
     9,  3,  2,  15, 13, 8,  10, 1, 3,  15, 4, 2,  11, 6,  7,  12, 0,  5,  14, 9},
    {10, 0,  9,  14, 6, 3,  15, 5,  1,  13, 12, 7, 11, 4,  2,  8,  13, 7, 0,  9, 3, 4,
     6,  10, 2,  8,  5, 14, 12, 11, 15, 1,  13, 6, 4,  9,  8,  15, 3,  0, 11, 1, 2, 12,
     5,  10, 14, 7,  1, 10, 13, 0,  6,  9,  8,  7, 4,  15, 14, 3,  11, 5, 2,  12},
    {7, 13, 14, 3, 0, 6,  9, 10, 1,  2, 8,  5, 11, 12, 4,  15, 13, 8,  11, 5, 6, 15,
     0, 3,  4,  7, 2, 12, 1, 10, 14, 9, 10, 6, 9,  0,  12, 11, 7,  13, 15, 1, 3, 14,
     5, 2,  8,  4, 3, 15, 0, 6,  10, 1, 13, 8, 9,  4,  5,  11, 12, 7,  2,  14},
    {2,  12, 4, 1,  7,  10, 11, 6, 8, 5,  3, 15, 13, 0,  14, 9,  14, 11, 2,  12, 4,  7,
     13, 1,  5, 0,  15, 10, 3,  9, 8, 6,  4, 2,  1,  11, 10, 13, 7,  8,  15, 9,  12, 5,
     6,  3,  0, 14, 11, 8,  12, 7, 1, 14, 2, 13, 6,  15, 0,  9,  10, 4,  5,  3},
    {12, 1,  10, 15, 9,  2,  6, 8,  0, 13, 3,  4,  14, 7,  5, 11, 10, 15, 4, 2, 7, 12,
     9,  5,  6,  1,  13, 14, 0, 11, 3, 8,  9,  14, 15, 5,  2, 8,  12, 3,  7, 0, 4, 10,
     1,  13, 11, 6,  4,  3,  2, 12, 9, 5,  15, 10, 11, 14, 1, 7,  6,  0,  8, 13},
    {4, 11, 2,  14, 15, 0,  8,  13, 3, 12, 9,  7, 5,  10, 6,  1,  13, 0,  11, 7,  4, 9,
     1, 10, 14, 3,  5,  12, 2,  15, 8, 6,  1,  4, 11, 13, 12, 3,  7,  14, 10, 15, 6, 8,
     0, 5,  9,  2,  6,  11, 13, 8,  1, 4,  10, 7, 9,  5,  0,  15, 14, 2,  3,  12},
    {13, 2, 8,  4, 6, 15, 11, 1,  10, 9,  3, 14, 5,  0,  12, 7,  1,  15, 13, 8, 10, 3,
     7,  4, 12, 5, 6, 11, 0,  14, 9,  2,  7, 11, 4,  1,  9,  12, 14, 2,  0,  6, 10, 13,
     15, 3, 5,  8, 2, 1,  14, 7,  4,  10, 8, 13, 15, 12, 9,  0,  3,  5,  6,  11},
};

// Where P puts the four output bits of each S-box, for S-boxes 1 to 8.
constexpr uint32_t kSBoxMasks[8] = {
    0x00808202, 0x40084010, 0x04010104, 0x80401040, 0x21040080, 0x10202008, 0x02100401, 0x08020820,
};

// ---------------------------------------------------------------------------------------------
// Building blocks, usable at compile time.

// Output bit i (from the top) of an `outBits`-bit result is input bit table[i] of an `inBits`-bit
// value.
constexpr uint64_t Permute(uint64_t in, int inBits, const uint8_t* table, int outBits) {
    uint64_t out = 0;
    for (int i = 0; i < outBits; ++i) out = (out << 1) | ((in >> (inBits - table[i])) & 1);
    return out;
}

constexpr unsigned RotateLeft6(unsigned x) {
    return ((x << 1) | (x >> 5)) & 0x3F;
}
constexpr unsigned RotateRight6(unsigned x) {
    return ((x >> 1) | (x << 5)) & 0x3F;
}

// S-box `box` (0 for S-box 1) for the 6-bit input b1..b6.
constexpr unsigned SBox(int box, unsigned input) {
    const unsigned row = ((input >> 4) & 2) | (input & 1);
    const unsigned column = (input >> 1) & 0xF;
    return kSBoxes[box][row * 16 + column];
}

constexpr std::array<uint8_t, 64> Inverse(const uint8_t (&table)[64]) {
    std::array<uint8_t, 64> inverse{};
    for (int i = 0; i < 64; ++i) inverse[table[i] - 1] = static_cast<uint8_t>(i + 1);
    return inverse;
}

constexpr std::array<uint8_t, 64> kFp = Inverse(kIp);

// ---------------------------------------------------------------------------------------------
// The combined S-box table.
//
// Expansion E hands S-box k (k = 1..8) the bits 4k-4 .. 4k+1 of the right half R (1-indexed from
// the top, wrapping round): S-box 1 gets R32 R1 R2 R3 R4 R5, S-box 8 gets R28 R29 R30 R31 R32 R1,
// and S-boxes 2 to 7 get six neighbouring bits, which one shift and mask gather in order.
// The two wrapping groups are gathered as their bits stand in the word, without rotating R:
//   S-box 1: R1 R2 R3 R4 R5 R32, E's input rotated left one place: ((R >> 26) & 0x3E) | (R & 1)
//   S-box 8: R1 R28 .. R32, E's input rotated right one place: ((R >> 26) & 0x20) | (R & 0x1F)
// So entry x of one table can serve all eight S-boxes: it holds, already moved by P, S-box 1's
// output for x rotated right one place (undoing the left rotation of its gathering), S-box 8's for
// x rotated left one place, and S-boxes 2 to 7's for x itself. Each S-box's share is taken out
// with its mask. The round keys are gathered the same way (their S-box 1 and S-box 8 chunks
// rotated like the data), so that key bit and data bit still meet at the same S-box input.

constexpr std::array<uint32_t, 64> MakeSpTable() {
    std::array<uint32_t, 64> table{};
    for (unsigned x = 0; x < 64; ++x) {
        uint32_t outputs = 0;  // before P: S-box 1's four bits on top, S-box 8's at the bottom
        for (int box = 0; box < 8; ++box) {
            const unsigned input = box == 0 ? RotateRight6(x) : box == 7 ? RotateLeft6(x) : x;
            outputs |= static_cast<uint32_t>(SBox(box, input)) << (28 - 4 * box);
        }
        table[x] = static_cast<uint32_t>(Permute(outputs, 32, kP, 32));
    }
    return table;
}

constexpr std::array<uint32_t, 64> kSpTable = MakeSpTable();

// Checks on the tables as typed: every S-box row a permutation of 0..15, IP a permutation, and
// the masks exactly where P puts each S-box's output bits.
constexpr bool SBoxRowsArePermutations() {
    for (const auto& box : kSBoxes) {
        for (int row = 0; row < 4; ++row) {
            unsigned seen = 0;
            for (int column = 0; column < 16; ++column) seen |= 1u << box[row * 16 + column];
            if (seen != 0xFFFF) return false;
        }
    }
    return true;
}
static_assert(SBoxRowsArePermutations(), "an S-box row is mistyped");

constexpr bool IpIsPermutation() {
    uint64_t seen = 0;
    for (uint8_t bit : kIp) {
        if (bit < 1 || bit > 64) return false;
        seen |= uint64_t{1} << (bit - 1);
    }
    return seen == ~uint64_t{0};
}
static_assert(IpIsPermutation(), "IP is mistyped");

constexpr bool MasksMatchP() {
    uint32_t all = 0;
    for (int box = 0; box < 8; ++box) {
        const uint64_t placed = Permute(uint64_t{0xF} << (28 - 4 * box), 32, kP, 32);
        if (placed != kSBoxMasks[box] || (all & placed) != 0) return false;
        all |= static_cast<uint32_t>(placed);
    }
    return all == 0xFFFFFFFF;
}
static_assert(MasksMatchP(), "P or an S-box mask is mistyped");

// ---------------------------------------------------------------------------------------------
// DES proper.

uint64_t Load64(const uint8_t* bytes) {
    uint64_t value = 0;
    for (size_t i = 0; i < 8; ++i) value = (value << 8) | bytes[i];
    return value;
}

void Store64(uint64_t value, uint8_t* bytes) {
    for (size_t i = 8; i-- > 0; value >>= 8) bytes[i] = static_cast<uint8_t>(value);
}

// The sixteen round keys, each as the eight 6-bit chunks that meet S-boxes 1 to 8, gathered like
// the data (see the combined S-box table). Wiped when it goes.
class KeySchedule {
  public:
    explicit KeySchedule(const uint8_t key[kDesKeySize]) {
        const uint64_t cd = Permute(Load64(key), 64, kPc1, 56);
        uint32_t c = static_cast<uint32_t>(cd >> 28);
        uint32_t d = static_cast<uint32_t>(cd & 0xFFFFFFF);
        for (int round = 0; round < 16; ++round) {
            for (int s = 0; s < kKeyShifts[round]; ++s) {
                c = ((c << 1) | (c >> 27)) & 0xFFFFFFF;
                d = ((d << 1) | (d >> 27)) & 0xFFFFFFF;
            }
            const uint64_t roundKey = Permute((uint64_t{c} << 28) | d, 56, kPc2, 48);
            for (int box = 0; box < 8; ++box) {
                const unsigned chunk = static_cast<unsigned>(roundKey >> (42 - 6 * box)) & 0x3F;
                chunks_[round][box] = static_cast<uint8_t>(box == 0   ? RotateLeft6(chunk)
                                                           : box == 7 ? RotateRight6(chunk)
                                                                      : chunk);
            }
        }
    }
    ~KeySchedule() { WipeKey(chunks_, sizeof chunks_); }
    KeySchedule(const KeySchedule&) = delete;
    KeySchedule& operator=(const KeySchedule&) = delete;

    // One DES operation on a block held as a big-endian 64-bit number.
    uint64_t Run(uint64_t block, bool decrypt) const {
        const uint64_t permuted = Permute(block, 64, kIp, 64);
        uint32_t left = static_cast<uint32_t>(permuted >> 32);
        uint32_t right = static_cast<uint32_t>(permuted);
        for (int round = 0; round < 16; ++round) {
            const uint32_t f = Feistel(right, chunks_[decrypt ? 15 - round : round]);
            const uint32_t next = left ^ f;
            left = right;
            right = next;
        }
        // The halves are not swapped after the last round: the output is R16 L16.
        return Permute((uint64_t{right} << 32) | left, 64, kFp.data(), 64);
    }

  private:
    static uint32_t Feistel(uint32_t r, const uint8_t key[8]) {
        const unsigned inputs[8] = {
            (((r >> 26) & 0x3E) | (r & 0x01)) ^ key[0],  // R1..R5, R32
            ((r >> 23) & 0x3F) ^ key[1],                 // R4..R9
            ((r >> 19) & 0x3F) ^ key[2],                 // R8..R13
            ((r >> 15) & 0x3F) ^ key[3],                 // R12..R17
            ((r >> 11) & 0x3F) ^ key[4],                 // R16..R21
            ((r >> 7) & 0x3F) ^ key[5],                  // R20..R25
            ((r >> 3) & 0x3F) ^ key[6],                  // R24..R29
            (((r >> 26) & 0x20) | (r & 0x1F)) ^ key[7],  // R1, R28..R32
        };
        uint32_t f = 0;
        for (int box = 0; box < 8; ++box) f |= kSpTable[inputs[box]] & kSBoxMasks[box];
        return f;
    }

    uint8_t chunks_[16][8];
};

void RunDes(const uint8_t key[kDesKeySize], const uint8_t in[kDesBlockSize],
            uint8_t out[kDesBlockSize], bool decrypt) {
    const KeySchedule schedule(key);
    Store64(schedule.Run(Load64(in), decrypt), out);
}

// Two-key triple DES with the schedules of K1 and K2 made once.
class TripleDes {
  public:
    explicit TripleDes(const uint8_t key[kImageKeySize]) : k1_(key), k2_(key + 8) {}

    uint64_t Decipher(uint64_t block) const {
        return k1_.Run(k2_.Run(k1_.Run(block, true), false), true);
    }
    uint64_t Encipher(uint64_t block) const {
        return k1_.Run(k2_.Run(k1_.Run(block, false), true), false);
    }

  private:
    KeySchedule k1_;
    KeySchedule k2_;
};

bool TransformRegion(uint8_t* image, size_t imageSize, size_t offset, size_t length,
                     const uint8_t base[kBaseKeySize], bool decipher) {
    if (image == nullptr || base == nullptr) return false;
    if (offset < 2 || offset > imageSize) return false;
    const size_t blocks = CipherBlocks(length);
    if (blocks > (imageSize - offset) / kDesBlockSize) return false;

    uint8_t key[kImageKeySize];
    DeriveImageKey(base, image[0], image[1], key);
    const TripleDes cipher(key);
    WipeKey(key, sizeof key);
    uint8_t* block = image + offset;
    for (size_t i = 0; i < blocks; ++i, block += kDesBlockSize) {
        const uint64_t value = Load64(block);
        Store64(decipher ? cipher.Decipher(value) : cipher.Encipher(value), block);
    }
    return true;
}

// ---------------------------------------------------------------------------------------------
// Base keys.

// Base keys A and B. Every image for automatic binary loading must be enciphered with one of them
// ("cordane encipher --key-selector 0" or "1" does it); an image enciphered with any other key
// deciphers to noise. Never change the seeds or the computation below: every image enciphered so
// far would become unreadable.
//
// The keys are not kept as they stand: each is computed when asked for, the output function of a
// splitmix64 generator applied to its seed, and the seeds are read through a volatile so that the
// compiler cannot fold the keys into the library as plain constants.
const volatile uint64_t kBuiltInKeySeeds[2] = {
    0x5C1D7E93A4B2F068,  // base key A
    0xE3917A4C0B6D2F85,  // base key B
};

}  // namespace

void DesEncrypt(const uint8_t key[kDesKeySize], const uint8_t in[kDesBlockSize],
                uint8_t out[kDesBlockSize]) {
    RunDes(key, in, out, false);
}

void DesDecrypt(const uint8_t key[kDesKeySize], const uint8_t in[kDesBlockSize],
                uint8_t out[kDesBlockSize]) {
    RunDes(key, in, out, true);
}

void TripleDesDecipher(const uint8_t key[kImageKeySize], const uint8_t in[kDesBlockSize],
                       uint8_t out[kDesBlockSize]) {
    Store64(TripleDes(key).Decipher(Load64(in)), out);
}

void TripleDesEncipher(const uint8_t key[kImageKeySize], const uint8_t in[kDesBlockSize],
                       uint8_t out[kDesBlockSize]) {
    Store64(TripleDes(key).Encipher(Load64(in)), out);
}

void DeriveImageKey(const uint8_t base[kBaseKeySize], uint8_t d0, uint8_t d1,
                    uint8_t key[kImageKeySize]) {
    uint8_t* k1 = key;
    uint8_t* k2 = key + 8;
    for (size_t i = 0; i < 8; ++i) k1[i] = base[i] ^ (i % 2 == 0 ? d0 : d1);
    const unsigned lowest = ((k1[6] >> 3) ^ (k1[6] >> 7) ^ (k1[7] >> 4)) & 1;
    for (size_t j = 0; j < 7; ++j) k2[j] = static_cast<uint8_t>((k1[j] << 1) | (k1[j + 1] >> 7));
    k2[7] = static_cast<uint8_t>((k1[7] << 1) | lowest);
}

bool DecipherImageRegion(uint8_t* image, size_t imageSize, size_t offset, size_t length,
                         const uint8_t base[kBaseKeySize]) {
    return TransformRegion(image, imageSize, offset, length, base, true);
}

bool EncipherImageRegion(uint8_t* image, size_t imageSize, size_t offset, size_t length,
                         const uint8_t base[kBaseKeySize]) {
    return TransformRegion(image, imageSize, offset, length, base, false);
}

bool BuiltInBaseKey(uint32_t selector, uint8_t out[kBaseKeySize]) {
    if (out == nullptr || (selector != kBaseKeyA && selector != kBaseKeyB)) return false;
    uint64_t z = kBuiltInKeySeeds[selector] + 0x9E3779B97F4A7C15;
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EB;
    Store64(z ^ (z >> 31), out);
    return true;
}

}  // namespace cordane
