// CRC-16/X-25 as the program uses it: one 256-entry table of the bit-reversed polynomial 0x8408,
// built once at start-up and shared by the options file's check value and the global files.
#ifndef BRENMARK_CRC16_H
#define BRENMARK_CRC16_H

#include <array>
#include <cstddef>
#include <cstdint>

namespace brenmark {

using Crc16Table = std::array<uint16_t, 256>;

// Builds the table; the program's start-up calls it once. Later calls change nothing.
void BuildCrc16Table();
// The table (built on first use when start-up did not build it).
const Crc16Table& Crc16Entries();

inline constexpr uint16_t kCrc16Start = 0xFFFF;  // CRC-16/X-25's start value

// Processes the bytes least-significant bit first from the register value `start`, and returns
// the register's one's complement: CRC-16/X-25 with start 0xFFFF.
uint16_t Crc16(const uint8_t* data, size_t size, uint16_t start = kCrc16Start);

}  // namespace brenmark

#endif
