#include "kit/options_seal.h"

#include <algorithm>
#include <cstring>
#include <string_view>

#include "base/crc16.h"

namespace korvel::kit {
namespace {

// The 8 bytes the check value is computed with in its place.
constexpr char kPlaceholder[] = "KORVVROK";

}  // namespace

std::optional<SealValue> FindSealValue(const uint8_t* data, size_t size) {
    const auto* begin = reinterpret_cast<const char*>(data);
    const std::string_view text(begin, size);
    const size_t marker = text.find(std::string_view(kSealMarker, kSealMarkerSize));
    if (marker == std::string_view::npos) return std::nullopt;
    const size_t at = marker + kSealMarkerSize;
    size_t end = text.find_first_of("\r\n", at);
    if (end == std::string_view::npos) end = size;
    return SealValue{at, end - at};
}

std::string ComputeSealValue(const uint8_t* data, size_t size, size_t valueAt) {
    // The CRC runs over every byte of the file, the value's 8 bytes read as the placeholder; a
    // value cut short by the end of the file has only its first bytes in the file.
    const uint8_t* placeholder = reinterpret_cast<const uint8_t*>(kPlaceholder);
    uint16_t crc = kSealCrcStart;
    auto feed = [&crc](const uint8_t* bytes, size_t count) {
        // Crc16X25 answers the register's complement: complement it back to go on.
        crc = static_cast<uint16_t>(~korvel::base::Crc16X25(bytes, count, crc));
    };
    const size_t before = std::min(valueAt, size);
    feed(data, before);
    const size_t inFile = size > valueAt ? std::min(kSealValueSize, size - valueAt) : 0;
    feed(placeholder, inFile);
    if (valueAt + inFile < size) feed(data + valueAt + inFile, size - valueAt - inFile);
    crc = static_cast<uint16_t>(~crc);
    const uint32_t value = (static_cast<uint32_t>(crc ^ 0x4E29u) << 16) | (crc ^ 0xD4E7u);
    char text[9];
    static const char kDigits[] = "0123456789abcdef";
    for (int i = 0; i < 8; ++i) text[i] = kDigits[(value >> (28 - 4 * i)) & 0xF];
    return std::string(text, 8);
}

SealState CheckSeal(const std::vector<uint8_t>& bytes) {
    const std::optional<SealValue> value = FindSealValue(bytes.data(), bytes.size());
    if (!value) return SealState::NoMarker;
    // A value cut short by the end of the file or a line end is wrong, and so is one that runs on.
    if (value->size != kSealValueSize) return SealState::Wrong;
    const std::string expected = ComputeSealValue(bytes.data(), bytes.size(), value->at);
    return std::memcmp(expected.data(), bytes.data() + value->at, kSealValueSize) == 0
               ? SealState::Correct
               : SealState::Wrong;
}

SealResult Seal(std::vector<uint8_t>& bytes) {
    const std::optional<SealValue> value = FindSealValue(bytes.data(), bytes.size());
    if (!value) return SealResult::NoMarker;
    if (value->size > kSealValueSize) return SealResult::ValueTooLong;
    for (size_t i = value->at; i < value->at + value->size; ++i) {
        if ((bytes[i] < 0x20 && bytes[i] != '\t') || bytes[i] > 0x7E) {
            return SealResult::ValueNotText;
        }
    }
    // The old value makes way for 8 placeholder bytes; the digits are computed over the file as
    // it will be written.
    const auto at = static_cast<std::ptrdiff_t>(value->at);
    bytes.erase(bytes.begin() + at, bytes.begin() + at + static_cast<std::ptrdiff_t>(value->size));
    bytes.insert(bytes.begin() + at, kPlaceholder, kPlaceholder + kSealValueSize);
    const std::string digits = ComputeSealValue(bytes.data(), bytes.size(), value->at);
    std::memcpy(bytes.data() + value->at, digits.data(), kSealValueSize);
    return SealResult::Sealed;
}

}  // namespace korvel::kit
