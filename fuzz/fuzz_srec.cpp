// Fuzz target for the S-record conversion. The input's first 9 bytes choose the form, the window
// and the image capacity; the rest is the text. An input shorter than that is converted whole by
// the plain form into a 256-byte image.
//
//   byte 0      bit 0: windowed form; bit 1: upper bound 2^32 - 1 instead of bytes 4-6
//   bytes 1-3   lower bound, 24-bit, most significant first
//   bytes 4-6   upper bound, 24-bit, most significant first
//   bytes 7-8   image capacity in bytes, 16-bit, most significant first
//
// Each conversion is checked against a plain re-statement of the algorithm (checksums, end
// record, window bounds and all), and the image bytes from the result's length on must be left
// untouched.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "cordane/formats/srec.h"

namespace {

using cordane::SrecError;

constexpr uint8_t kCanary = 0xA5;

struct Expected {
    SrecError error = SrecError::None;
    size_t offset = 0;
    uint32_t address = 0;
    std::vector<uint8_t> image;
};

uint32_t Digit(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 15;
}

// The conversion written for clarity rather than speed.
Expected Reference(const uint8_t* text, size_t n, size_t capacity, uint32_t lower, uint32_t upper) {
    Expected e;
    auto fail = [&](SrecError error, size_t offset, uint32_t address) {
        e.error = error;
        e.offset = offset;
        e.address = address;
        return e;
    };
    static const size_t kAddressBytes[10] = {2, 2, 3, 4, 0, 2, 3, 4, 3, 2};
    auto byteAt = [&](size_t pos) { return Digit(text[pos]) * 16 + Digit(text[pos + 1]); };
    uint64_t next = lower;
    size_t pos = 0;
    int lastType = -1;
    while (pos < n) {
        const size_t record = pos;
        if (text[pos++] != 'S') continue;
        if (pos >= n) return fail(SrecError::Truncated, record, 0);
        if (text[pos] < '0' || text[pos] > '9') continue;
        const int type = text[pos++] - '0';
        if (n - pos < 2) return fail(SrecError::Truncated, record, 0);
        const uint32_t count = byteAt(pos);
        pos += 2;
        const size_t addressBytes = kAddressBytes[type];
        uint32_t address = 0;
        if ((n - pos) / 2 >= addressBytes) {
            for (size_t i = 0; i < addressBytes; ++i) address = address * 256 + byteAt(pos + 2 * i);
        }
        if (count < addressBytes + 1) return fail(SrecError::ShortCount, record, address);
        if ((n - pos) / 2 < count) return fail(SrecError::Truncated, record, address);
        uint32_t sum = count;
        std::vector<uint8_t> bytes;
        for (size_t i = 0; i < count; ++i, pos += 2) {
            bytes.push_back(static_cast<uint8_t>(byteAt(pos)));
            sum += bytes.back();
        }
        if (sum % 256 != 255) return fail(SrecError::BadChecksum, record, address);
        lastType = type;
        if (type != 2) continue;
        const uint64_t data = count - 4;
        const uint64_t dataEnd = address + data;
        const bool inside = address >= lower && address < upper;
        if ((address < lower && dataEnd > lower) || (inside && dataEnd > upper)) {
            return fail(SrecError::CrossesWindow, record, address);
        }
        if (!inside) continue;
        if (address < next) return fail(SrecError::OutOfOrder, record, address);
        if (address - lower + data > capacity) {
            return fail(SrecError::ImageTooLarge, record, address);
        }
        e.image.resize(address - lower, 0xFF);
        e.image.insert(e.image.end(), bytes.begin() + 3, bytes.end() - 1);
        next = dataEnd;
    }
    if (lastType >= 0 && lastType != 7 && lastType != 8 && lastType != 9) {
        return fail(SrecError::MissingEnd, n, 0);
    }
    return e;
}

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    bool windowed = false;
    uint32_t lower = cordane::kPlainStart;
    uint32_t upper = UINT32_MAX;
    size_t capacity = 256;
    if (size >= 9) {
        windowed = (data[0] & 1) != 0;
        if (windowed) {
            lower = (uint32_t{data[1]} << 16) | (uint32_t{data[2]} << 8) | data[3];
            upper = (data[0] & 2) != 0
                        ? UINT32_MAX
                        : (uint32_t{data[4]} << 16) | (uint32_t{data[5]} << 8) | data[6];
        }
        capacity = (size_t{data[7]} << 8) | data[8];
        data += 9;
        size -= 9;
    }
    // Exactly sized copies, so that the sanitizers see any access past the text or the image.
    const std::vector<uint8_t> text(data, data + size);
    std::vector<uint8_t> image(capacity, kCanary);
    const cordane::SrecResult result =
        windowed ? cordane::ConvertSrecWindow(text.data(), text.size(), image.data(), image.size(),
                                              lower, upper)
                 : cordane::ConvertSrecPlain(text.data(), text.size(), image.data(), image.size());

    Check(result.length <= capacity);
    for (size_t i = result.length; i < capacity; ++i) Check(image[i] == kCanary);

    const Expected expected = Reference(text.data(), text.size(), capacity, lower, upper);
    Check(result.error == expected.error);
    Check(result.offset == expected.offset);
    Check(result.address == expected.address);
    Check(result.length == expected.image.size());
    for (size_t i = 0; i < result.length; ++i) Check(image[i] == expected.image[i]);
    if (result.error != SrecError::None && result.error != SrecError::MissingEnd) {
        Check(text[result.offset] == 'S');
    }
    return 0;
}
