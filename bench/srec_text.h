// Motorola S-record text made up for tests, samples and benchmarks: an S0 header, S2 data records
// from a start address upwards without gaps, and an S8 end record, with correct checksums.
#ifndef KORVEL_BENCH_SREC_TEXT_H
#define KORVEL_BENCH_SREC_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace korvel {

struct SrecTextOptions {
    uint32_t start = 0x2000;             // address of the first data byte
    size_t recordData = 32;              // data bytes per S2 record, 1 to 251
    bool crlf = false;                   // CR LF line ends instead of LF
    std::string_view header = "demo64";  // S0 record text
    uint64_t seed = 0x4B6F7276656C3634;  // generator seed; a fixed seed gives a fixed file
};

// Bytes that look like a small program: mostly pseudo-random, with the short runs of zero and
// 0xFF bytes that immediates, tables and padding leave in real code. Same seed, same bytes.
inline std::vector<uint8_t> MakeCodeBytes(size_t count, uint64_t seed) {
    std::vector<uint8_t> bytes(count);
    uint64_t state = seed | 1;
    auto next = [&state] {  // xorshift64*
        state ^= state >> 12;
        state ^= state << 25;
        state ^= state >> 27;
        return state * 0x2545F4914F6CDD1DULL;
    };
    for (size_t i = 0; i < count;) {
        const uint64_t r = next();
        size_t run = 1 + (r >> 60) % 4;
        uint8_t fill = 0;
        switch (r & 15) {
            case 0:
                fill = 0x00;
                break;
            case 1:
                fill = 0xFF;
                break;
            default:
                run = 1;
                fill = static_cast<uint8_t>(r >> 8);
                break;
        }
        for (; run > 0 && i < count; --run) bytes[i++] = fill;
    }
    return bytes;
}

namespace detail {

inline void AppendHexByte(std::string& out, uint8_t value, uint8_t& sum) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    out.push_back(kDigits[value >> 4]);
    out.push_back(kDigits[value & 15]);
    sum = static_cast<uint8_t>(sum + value);
}

// One record: type, count, address bytes (2 or 3, most significant first), data, checksum.
inline void AppendRecord(std::string& out, char type, uint32_t address, int addressBytes,
                         const uint8_t* data, size_t dataLength, bool crlf) {
    uint8_t sum = 0;
    out.push_back('S');
    out.push_back(type);
    AppendHexByte(out, static_cast<uint8_t>(addressBytes + dataLength + 1), sum);
    for (int i = addressBytes - 1; i >= 0; --i) {
        AppendHexByte(out, static_cast<uint8_t>(address >> (8 * i)), sum);
    }
    for (size_t i = 0; i < dataLength; ++i) AppendHexByte(out, data[i], sum);
    uint8_t ignored = 0;
    AppendHexByte(out, static_cast<uint8_t>(~sum), ignored);
    if (crlf) out.push_back('\r');
    out.push_back('\n');
}

}  // namespace detail

// S-record text holding `data` from options.start on.
inline std::string MakeSrecText(const std::vector<uint8_t>& data, const SrecTextOptions& options) {
    const size_t per = options.recordData;
    std::string out;
    out.reserve(data.size() / per * (2 * per + 14) + 2 * per + 64 + 2 * options.header.size());
    detail::AppendRecord(out, '0', 0, 2, reinterpret_cast<const uint8_t*>(options.header.data()),
                         options.header.size(), options.crlf);
    for (size_t at = 0; at < data.size(); at += per) {
        const size_t n = data.size() - at < per ? data.size() - at : per;
        detail::AppendRecord(out, '2', static_cast<uint32_t>(options.start + at), 3,
                             data.data() + at, n, options.crlf);
    }
    detail::AppendRecord(out, '8', options.start, 3, nullptr, 0, options.crlf);
    return out;
}

// Number of data bytes whose S-record text is about `textSize` characters long.
inline size_t DataBytesForText(size_t textSize, const SrecTextOptions& options) {
    const size_t line = 2 + 2 + 6 + 2 * options.recordData + 2 + (options.crlf ? 2 : 1);
    return textSize / line * options.recordData;
}

}  // namespace korvel

#endif
