#include "cordane/formats/srec.h"

#include <array>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

namespace cordane {

namespace {

constexpr char kBanner[] = "\nConversion fichier ...     ";  // shown before each conversion

// Characters of a record, as the parser reads them.
constexpr uint8_t kRecordStart = 'S';    // every other character outside a record is skipped
constexpr uint8_t kTypeS2 = '2';         // the only record type taken into the image
constexpr uint32_t kCountOverhead = 4;   // S2 bytes that are not data: 3 address, 1 checksum
constexpr unsigned kChecksumOk = 0xFF;   // count + every byte, checksum included, modulo 256
constexpr size_t kPrefetchAhead = 1024;  // bytes of text requested before the parser needs them

// Address bytes of each record type S0..S9. S4 is reserved and carries none.
constexpr std::array<uint8_t, 10> kAddressBytes = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};

bool IsEndRecord(uint8_t type) {
    return type == '7' || type == '8' || type == '9';  // start addresses of S3, S2, S1 files
}

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

#ifdef __SSE2__
// ReadByte's digit values of 16 characters at once.
inline __m128i DigitValues(__m128i c) {
    // Signed comparisons: characters from 0x80 up are below every bound and count as 15.
    const __m128i isDigit = _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('0' - 1)),
                                          _mm_cmplt_epi8(c, _mm_set1_epi8('9' + 1)));
    const __m128i isUpper = _mm_and_si128(_mm_cmpgt_epi8(c, _mm_set1_epi8('A' - 1)),
                                          _mm_cmplt_epi8(c, _mm_set1_epi8('F' + 1)));
    const __m128i digit = _mm_and_si128(isDigit, _mm_sub_epi8(c, _mm_set1_epi8('0')));
    const __m128i upper = _mm_and_si128(isUpper, _mm_sub_epi8(c, _mm_set1_epi8('A' - 10)));
    const __m128i other = _mm_andnot_si128(_mm_or_si128(isDigit, isUpper), _mm_set1_epi8(15));
    return _mm_or_si128(_mm_or_si128(digit, upper), other);
}

// Each 16-bit lane's two digits (first one in its low byte) as one byte value, 0 to 255.
inline __m128i PairValues(__m128i digits) {
    const __m128i first = _mm_and_si128(digits, _mm_set1_epi16(0x00FF));
    return _mm_or_si128(_mm_slli_epi16(first, 4), _mm_srli_epi16(digits, 8));
}

// ReadByte of 16 bytes from the 32 characters at `p`, stored at `out`; answers their sum. A
// record's bytes are most of the text, and this is most of the conversion's time.
inline unsigned ReadSixteen(const uint8_t* p, uint8_t* out) {
    const __m128i a = DigitValues(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)));
    const __m128i b = DigitValues(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)));
    const __m128i bytes = _mm_packus_epi16(PairValues(a), PairValues(b));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
    const __m128i sums = _mm_sad_epu8(bytes, _mm_setzero_si128());
    return static_cast<unsigned>(_mm_cvtsi128_si32(sums) +
                                 _mm_cvtsi128_si32(_mm_srli_si128(sums, 8)));
}
#endif

// The one parser behind both forms. The plain form is the window [0x2000, 2^32), which holds
// every 24-bit address from 0x2000 on.
SrecResult Convert(const uint8_t* text, size_t textLength, uint8_t* image, size_t capacity,
                   uint32_t lower, uint32_t upper) {
    SrecResult result;
    if (textLength == 0) return result;

    const uint8_t* p = text;
    const uint8_t* const end = text + textLength;
    size_t length = 0;               // image length so far; the next address is lower + length
    uint8_t lastType = 0;            // type digit of the last record read; 0 before the first
    std::array<uint8_t, 256> bytes;  // one record's bytes after its count

    auto refuse = [&](SrecError error, const uint8_t* record, uint32_t address) {
        result.error = error;
        result.offset = static_cast<size_t>(record - text);
        result.address = address;
        result.length = length;
        return result;
    };

    while (p < end) {
        // Skip to the next "S". Between records lie a line end at most, so look at a few
        // characters in place before handing a longer stretch to memchr.
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
        // The text comes from memory once, in order: ask for it ahead of the parser, beyond the
        // page boundaries where the processor's own prefetching stops.
        __builtin_prefetch(p + kPrefetchAhead);
        // A text cut right after an "S" may have lost a record: refuse rather than guess.
        if (p == end) return refuse(SrecError::Truncated, record, 0);
        const uint8_t type = *p;
        if (type < '0' || type > '9') continue;  // not a record: an "S" in stray text
        ++p;
        if (end - p < 2) return refuse(SrecError::Truncated, record, 0);
        const uint32_t count = ReadByte(p);
        p += 2;
        const size_t addressBytes = kAddressBytes[type - '0'];
        const size_t available = static_cast<size_t>(end - p) / 2;  // whole bytes left
        uint32_t address = 0;
        if (available >= addressBytes) {
            for (size_t i = 0; i < addressBytes; ++i)
                address = (address << 8) | ReadByte(p + 2 * i);
        }
        if (count < addressBytes + 1) return refuse(SrecError::ShortCount, record, address);
        if (available < count) return refuse(SrecError::Truncated, record, address);

        unsigned sum = count;
        size_t i = 0;
#ifdef __SSE2__
        for (; i + 16 <= count; i += 16) sum += ReadSixteen(p + 2 * i, bytes.data() + i);
#endif
        for (; i < count; ++i) {
            bytes[i] = ReadByte(p + 2 * i);
            sum += bytes[i];
        }
        p += 2 * size_t{count};
        if ((sum & 0xFF) != kChecksumOk) return refuse(SrecError::BadChecksum, record, address);
        lastType = type;
        if (type != kTypeS2) continue;

        const size_t dataLength = count - kCountOverhead;
        const uint64_t dataEnd = uint64_t{address} + dataLength;
        // Part of a record on each side of a bound would be lost: the image would be wrong.
        if ((address < lower && dataEnd > lower) ||
            (address >= lower && address < upper && dataEnd > upper)) {
            return refuse(SrecError::CrossesWindow, record, address);
        }
        if (address < lower || address >= upper) continue;  // outside the window: skipped

        const size_t at = address - lower;  // image index of the record's first data byte
        if (at < length) return refuse(SrecError::OutOfOrder, record, address);
        if (at > capacity || dataLength > capacity - at) {
            return refuse(SrecError::ImageTooLarge, record, address);
        }
        // Only a real gap is filled: an empty image may have no buffer at all.
        if (at > length) std::memset(image + length, 0xFF, at - length);
        if (dataLength > 0) std::memcpy(image + at, bytes.data() + 3, dataLength);
        length = at + dataLength;
    }
    if (lastType != 0 && !IsEndRecord(lastType)) {
        return refuse(SrecError::MissingEnd, end, 0);
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
            return "has a byte count too small for its address and checksum";
        case SrecError::Truncated:
            return "is cut off by the end of the file";
        case SrecError::ImageTooLarge:
            return "would make the image longer than its buffer";
        case SrecError::BadChecksum:
            return "has a wrong checksum (the file is damaged or was edited by hand)";
        case SrecError::CrossesWindow:
            return "runs across the boundary of the memory region it belongs to";
        case SrecError::MissingEnd:
            return "is missing: the file has no end record (S7, S8 or S9) and may have been cut "
                   "short";
    }
    return "has an unknown fault";
}

std::string SrecRefusal(const std::string& what, const std::string& path,
                        const SrecResult& result) {
    char place[96];
    if (result.error == SrecError::MissingEnd) {
        std::snprintf(place, sizeof place, "the end record after byte %zu", result.offset);
    } else {
        std::snprintf(place, sizeof place, "the record at byte %zu (address 0x%06" PRIX32 ")",
                      result.offset, result.address);
    }
    return "The " + what + " " + path + " is not a valid S-record file: " + place + " " +
           SrecErrorText(result.error) + ". Rebuild the file and try again.";
}

}  // namespace cordane
