// CRC-16/X-25: the bit-reversed polynomial 0x8408, bytes taken least significant bit first, the
// register's complement as the result. The serial frames, the global files' components and the
// options file's seal all use it; the seal starts from a register value of its own.
#ifndef KORVEL_BASE_CRC16_H
#define KORVEL_BASE_CRC16_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace korvel::base {

inline constexpr uint16_t kCrc16X25Polynomial = 0x8408;  // 0x1021 with its bits reversed
inline constexpr uint16_t kCrc16X25Start = 0xFFFF;       // the standard register start

// The CRC of `size` bytes at `data`, the register starting at `start`. To go on over more bytes,
// start from the complement of the CRC so far: Crc16X25(b, n, ~Crc16X25(a, m)) is the CRC of a
// followed by b.
uint16_t Crc16X25(const uint8_t* data, size_t size, uint16_t start = kCrc16X25Start);
inline uint16_t Crc16X25(std::span<const uint8_t> bytes, uint16_t start = kCrc16X25Start) {
    return Crc16X25(bytes.data(), bytes.size(), start);
}

// The register's change for each byte value: entry 1 is 0x1189, entry 128 the polynomial.
const std::array<uint16_t, 256>& Crc16X25Table();

}  // namespace korvel::base

#endif
