// Motorola S-record text made up for samples and benchmarks: an S0 header, S2 data records of
// made-up program bytes from a start address upwards without gaps, and an S8 end record, written
// by the tests' S-record writer.
#ifndef KORVEL_BENCH_SREC_TEXT_H
#define KORVEL_BENCH_SREC_TEXT_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "support/srec_writer.h"

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

// S-record text holding `data` from options.start on.
inline std::string MakeSrecText(const std::vector<uint8_t>& data, const SrecTextOptions& options) {
    return testkit::SrecText({{options.start, data}}, {.recordData = options.recordData,
                                                       .header = std::string(options.header),
                                                       .end = options.start,
                                                       .lineEnd = options.crlf ? "\r\n" : "\n"});
}

// Number of data bytes whose S-record text is about `textSize` characters long.
inline size_t DataBytesForText(size_t textSize, const SrecTextOptions& options) {
    const size_t line = 2 + 2 + 6 + 2 * options.recordData + 2 + (options.crlf ? 2 : 1);
    return textSize / line * options.recordData;
}

}  // namespace korvel

#endif
