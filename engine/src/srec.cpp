#include "srec.h"

#include <array>
#include <cstdio>
#include <cstring>

namespace cordane {

namespace {

constexpr char kBanner[] = "\nConversion fichier ...     ";  // shown before each conversion

// Characters of a record, as the parser reads them.
constexpr uint8_t kRecordStart = 'S';   // every other character outside a record is skipped
constexpr uint8_t kTypeS2 = '2';        // the only record type taken
constexpr size_t kHeaderDigits = 8;     // byte count (2 digits) and 24-bit address (6 digits)
constexpr uint32_t kCountOverhead = 4;  // counted bytes that are not data: 3 address, 1 checksum

// Value of a character as a hexadecimal digit. Only "0"-"9" and "A"-"F" are digits; anything
// else, lower case included, counts as 15.
constexpr std::array<uint8_t, 256> MakeDigitTable(unsigned shift) {
    std::array<uint8_t, 256> table{};
    for (unsigned c = 0; c < 256; ++c) {
        unsigned value = 15;
        if (c >= '0' && c <= '9') value = c - '0';
        if (c >= 'A' && c <= 'F') value = c - 'A' + 10;
        table[c] = static_cast<uint8_t>(value << shift);
    }
    return table;
}
constexpr std::array<uint8_t, 256> kLowDigit = MakeDigitTable(0);   // second digit of a byte
constexpr std::array<uint8_t, 256> kHighDigit = MakeDigitTable(4);  // first digit, times 16

inline uint8_t ReadByte(const uint8_t* p) {
    return kHighDigit[p[0]] | kLowDigit[p[1]];
}

// The one parser behind both forms. The plain form is the window [0x2000, 2^32), which holds
// every 24-bit address from 0x2000 on.
SrecResult Convert(const uint8_t* text, size_t textLength, uint8_t* image, size_t capacity,
                   uint32_t lower, uint32_t upper) {
    SrecResult result;
    if (textLength == 0) return result;

    const uint8_t* p = text;
    const uint8_t* const end = text + textLength;
    size_t length = 0;  // image length so far; the next address is lower + length

    auto refuse = [&](SrecError error, const uint8_t* record, uint32_t address) {
        result.error = error;
        result.offset = static_cast<size_t>(record - text);
        result.address = address;
        result.length = length;
        return result;
    };

    while (p < end) {
        // Skip to the next "S". Between records lie a checksum and a line end, so look at a few
        // characters in place before handing a longer stretch (a skipped record) to memchr.
        if (*p != kRecordStart) {
            const uint8_t* const near = static_cast<size_t>(end - p) > 8 ? p + 8 : end;
            while (p < near && *p != kRecordStart) ++p;
            if (p == near && p < end) {
                const void* s = std::memchr(p, kRecordStart, static_cast<size_t>(end - p));
                if (s == nullptr) break;
                p = static_cast<const uint8_t*>(s);
            }
            continue;
        }
        const uint8_t* const record = p++;
        // A text cut right after an "S" may have lost an S2 record: refuse rather than guess.
        if (p == end) return refuse(SrecError::Truncated, record, 0);
        if (*p++ != kTypeS2) continue;
        if (static_cast<size_t>(end - p) < kHeaderDigits) {
            return refuse(SrecError::Truncated, record, 0);
        }
        const uint32_t count = ReadByte(p);
        const uint32_t address =
            (uint32_t{ReadByte(p + 2)} << 16) | (uint32_t{ReadByte(p + 4)} << 8) | ReadByte(p + 6);
        p += kHeaderDigits;

        // Outside the window: skipped; its data characters are then passed over as characters
        // outside a record (hex digits never contain an "S").
        if (address < lower || address >= upper) continue;

        if (count < kCountOverhead) return refuse(SrecError::ShortCount, record, address);
        const size_t at = address - lower;  // image index of the record's first data byte
        if (at < length) return refuse(SrecError::OutOfOrder, record, address);
        const size_t dataLength = count - kCountOverhead;
        if (static_cast<size_t>(end - p) / 2 < dataLength) {
            return refuse(SrecError::Truncated, record, address);
        }
        if (at > capacity || dataLength > capacity - at) {
            return refuse(SrecError::ImageTooLarge, record, address);
        }

        // Only a real gap is filled: an empty image may have no buffer at all.
        if (at > length) std::memset(image + length, 0xFF, at - length);
        uint8_t* out = image + at;
        for (size_t i = 0; i < dataLength; ++i) out[i] = ReadByte(p + 2 * i);
        p += 2 * dataLength;
        length = at + dataLength;
    }
    result.length = length;
    return result;
}

}  // namespace

void PrintConversionBanner() {
    std::fwrite(kBanner, 1, sizeof kBanner - 1, stdout);
    std::fflush(stdout);
}

SrecResult ConvertSrecPlain(const uint8_t* text, size_t textLength, uint8_t* image,
                            size_t capacity) {
    return Convert(text, textLength, image, capacity, kPlainStart, UINT32_MAX);
}

SrecResult ConvertSrecWindow(const uint8_t* text, size_t textLength, uint8_t* image,
                             size_t capacity, uint32_t lower, uint32_t upper) {
    return Convert(text, textLength, image, capacity, lower, upper);
}

const char* SrecErrorText(SrecError error) {
    switch (error) {
        case SrecError::None:
            return "was converted without fault";
        case SrecError::OutOfOrder:
            return "overlaps or comes before the previous record";
        case SrecError::ShortCount:
            return "has a byte count below 4, too short for its address and checksum";
        case SrecError::Truncated:
            return "is cut off by the end of the file";
        case SrecError::ImageTooLarge:
            return "would make the image longer than its buffer";
    }
    return "has an unknown fault";
}

}  // namespace cordane
