// Fuzz target for the options file "Brenmark.ini" and its seal. The input is the file; the reader
// must answer without crashing and keep its promises: values within their ranges, and a file it
// seals checks as correct.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "options_file.h"

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
    const bool marked = brenmark::FindSealValue(bytes.data(), bytes.size()).has_value();
    const brenmark::SealState state = brenmark::CheckSeal(bytes);
    Require(marked == (state != brenmark::SealState::NoMarker));
    if (brenmark::Seal(bytes)) {
        Require(marked);
        Require(brenmark::CheckSeal(bytes) == brenmark::SealState::Correct);
        Require(bytes.size() >= size);
    } else {
        Require(!marked);
    }
    const size_t slash = text.find('/');
    if (slash != std::string::npos) brenmark::BinaryImageNumber(text.substr(slash));
    return 0;
}
