// Hexadecimal text: numbers and bytes written as the messages show them, and read back with
// refusals that say which digit is wrong.
#ifndef KORVEL_BASE_HEX_H
#define KORVEL_BASE_HEX_H

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"

namespace korvel::base {

// "0x" and at least `width` upper-case digits: HexNumber(0x2A, 4) is "0x002A", HexNumber(0x2A)
// "0x2A".
std::string HexNumber(uint64_t value, int width = 0);

enum class HexLetters : uint8_t { Upper, Lower };

// Two digits a byte, `separator` between bytes: "05 00 FF"; "" for no bytes.
std::string HexBytes(std::span<const uint8_t> bytes, std::string_view separator = " ",
                     HexLetters letters = HexLetters::Upper);

// The value of one hexadecimal digit (either case), or -1.
int HexDigitValue(char c);

// Bytes from pairs of digits with nothing between them ("0A1b"), at most `most` bytes. Refused
// (Cause::BadInput, the message quoting the text): an odd number of digits, a character that is
// no digit (named with its place), more than `most` bytes.
Expected<std::vector<uint8_t>> ParseHexBytes(std::string_view text, size_t most = SIZE_MAX);

}  // namespace korvel::base

#endif
