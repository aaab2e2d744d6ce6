// Fuzz target for the options file "Brenmark.ini" and its seal. The input is the file; the reader
// must answer without crashing and keep its promises: values within their ranges, and a file it
// seals checks as correct with only its value changed.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "brenmark/options_file.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const brenmark::Options options = brenmark::ReadOptions(text, false);
    Require(options.askQuestion == 0 || options.askQuestion == 1);
    Require(options.eraseDataFlash == 0 || options.eraseDataFlash == 1);
    Require(options.downloadType >= 0 && options.downloadType <= 3);
    Require(options.serialPort <= 127 - '0');
    Require(brenmark::ReadProfileString(text, "OPTIONS", "DownloadType", "-1", 4).size() <= 3);
    brenmark::ReadApplicationNumbers(text);

    std::vector<uint8_t> bytes(data, data + size);
    const std::optional<korvel::kit::SealValue> value =
        korvel::kit::FindSealValue(bytes.data(), bytes.size());
    const korvel::kit::SealState state = korvel::kit::CheckSeal(bytes);
    Require(value.has_value() == (state != korvel::kit::SealState::NoMarker));
    switch (korvel::kit::Seal(bytes)) {
        case korvel::kit::SealResult::Sealed: {
            // Only the value changed: the bytes before it and after it are those of the input.
            Require(value && value->size <= korvel::kit::kSealValueSize);
            Require(bytes.size() == size - value->size + korvel::kit::kSealValueSize);
            Require(std::equal(data, data + value->at, bytes.begin()));
            Require(std::equal(data + value->at + value->size, data + size,
                               bytes.begin() + static_cast<std::ptrdiff_t>(
                                                   value->at + korvel::kit::kSealValueSize)));
            Require(korvel::kit::CheckSeal(bytes) == korvel::kit::SealState::Correct);
            break;
        }
        case korvel::kit::SealResult::NoMarker:
            Require(!value);
            break;
        case korvel::kit::SealResult::ValueTooLong:
        case korvel::kit::SealResult::ValueNotText:
            // Refused: nothing changed, and the seal cannot be correct as it stands.
            Require(value && state == korvel::kit::SealState::Wrong);
            Require(bytes.size() == size && std::equal(data, data + size, bytes.begin()));
            break;
    }
    const size_t slash = text.find('/');
    if (slash != std::string::npos) brenmark::BinaryImageNumber(text.substr(slash));
    return 0;
}
