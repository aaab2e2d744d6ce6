#include "base/hex.h"

#include <cinttypes>
#include <cstdio>

namespace korvel::base {
namespace {

constexpr char kUpper[] = "0123456789ABCDEF";
constexpr char kLower[] = "0123456789abcdef";

}  // namespace

std::string HexNumber(uint64_t value, int width) {
    char text[32];
    std::snprintf(text, sizeof text, "0x%0*" PRIX64,
                  width < 0    ? 0
                  : width > 16 ? 16
                               : width,
                  value);
    return text;
}

std::string HexBytes(std::span<const uint8_t> bytes, std::string_view separator,
                     HexLetters letters) {
    const char* digits = letters == HexLetters::Upper ? kUpper : kLower;
    std::string text;
    text.reserve(bytes.size() * (2 + separator.size()));
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0) text += separator;
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0xF];
    }
    return text;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

Expected<std::vector<uint8_t>> ParseHexBytes(std::string_view text, size_t most) {
    // Appended piece by piece: GCC 12 at -O3 warns falsely on "literal" + std::string.
    std::string quoted = "\"";
    quoted.append(text);
    quoted += '"';
    for (size_t i = 0; i < text.size(); ++i) {
        if (HexDigitValue(text[i]) < 0) {
            return Fail(quoted + " is not hexadecimal: character " + std::to_string(i + 1) +
                            " is not a digit 0-9 or a letter A-F",
                        "write each byte as two hexadecimal digits", Cause::BadInput);
        }
    }
    if (text.size() % 2 != 0) {
        return Fail(quoted + " has an odd number of hexadecimal digits",
                    "write whole bytes, two digits each", Cause::BadInput);
    }
    if (text.size() / 2 > most) {
        return Fail(quoted + " holds " + std::to_string(text.size() / 2) + " bytes, more than " +
                        std::to_string(most),
                    "give at most " + std::to_string(most) + " bytes", Cause::BadInput);
    }
    std::vector<uint8_t> bytes(text.size() / 2);
    for (size_t i = 0; i < bytes.size(); ++i) {
        bytes[i] =
            static_cast<uint8_t>(HexDigitValue(text[2 * i]) << 4 | HexDigitValue(text[2 * i + 1]));
    }
    return bytes;
}

}  // namespace korvel::base
