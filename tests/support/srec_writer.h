// Motorola S-record text written from bytes, each record with its count and checksum: one record
// of any type and address width, the data records of a stretch of bytes, and the whole text of an
// image with holes. Header-only, so that programs outside the tests (make-srec) write the same.
#ifndef KORVEL_TESTS_SUPPORT_SREC_WRITER_H
#define KORVEL_TESTS_SUPPORT_SREC_WRITER_H

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace korvel::testkit {

// How SrecText writes an image.
struct SrecFormat {
    int addressBytes = 3;    // 2: S1 data and an S9 end record; 3: S2 and S8; 4: S3 and S7
    size_t recordData = 32;  // data bytes per record (the last of a stretch may hold fewer)
    std::optional<std::string> header = "HDR";  // the S0 record's text; none: no S0 record
    std::optional<uint32_t> end = 0;            // the end record's address; none: no end record
    std::string lineEnd = "\n";
};

// One record: "S", `type`, the count, the address in `addressBytes` bytes (most significant
// first), the data, the checksum, `lineEnd`. The type is written as given whatever the width, so
// that a test can also write the records a reader must skip or refuse.
inline std::string SrecRecord(char type, uint32_t address, int addressBytes,
                              std::span<const uint8_t> data, std::string_view lineEnd = "\n") {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(6 + 2 * (static_cast<size_t>(addressBytes) + data.size()) + lineEnd.size());
    uint8_t sum = 0;
    const auto put = [&out, &sum](uint8_t byte) {
        out.push_back(kDigits[byte >> 4]);
        out.push_back(kDigits[byte & 15]);
        sum = static_cast<uint8_t>(sum + byte);
    };
    out.push_back('S');
    out.push_back(type);
    put(static_cast<uint8_t>(static_cast<size_t>(addressBytes) + data.size() + 1));
    for (int i = addressBytes - 1; i >= 0; --i) put(static_cast<uint8_t>(address >> (8 * i)));
    for (const uint8_t byte : data) put(byte);
    put(static_cast<uint8_t>(~sum));
    out += lineEnd;
    return out;
}

// The data records of `bytes` from `address` on, format.recordData bytes each.
inline std::string SrecDataRecords(uint32_t address, std::span<const uint8_t> bytes,
                                   const SrecFormat& format = {}) {
    const char type = format.addressBytes == 2 ? '1' : format.addressBytes == 4 ? '3' : '2';
    std::string out;
    for (size_t at = 0; at < bytes.size(); at += format.recordData) {
        const size_t n = std::min(format.recordData, bytes.size() - at);
        out += SrecRecord(type, address + static_cast<uint32_t>(at), format.addressBytes,
                          bytes.subspan(at, n), format.lineEnd);
    }
    return out;
}

// The whole text of an image with holes: the header record, the data records of each stretch
// (address -> bytes) in address order, the end record.
inline std::string SrecText(const std::map<uint32_t, std::vector<uint8_t>>& stretches,
                            const SrecFormat& format = {}) {
    std::string out;
    if (format.header) {
        const std::string& text = *format.header;
        out += SrecRecord('0', 0, 2,
                          std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()),
                          format.lineEnd);
    }
    for (const auto& [address, bytes] : stretches) out += SrecDataRecords(address, bytes, format);
    if (format.end) {
        const char type = format.addressBytes == 2 ? '9' : format.addressBytes == 4 ? '7' : '8';
        out += SrecRecord(type, *format.end, format.addressBytes, {}, format.lineEnd);
    }
    return out;
}

}  // namespace korvel::testkit

#endif
