// Fuzz target for global files: the one-level tag walk, the component reader and the whole
// extraction. Byte 0 picks the reader type (modulo 10); the rest is the file.
//
// An extraction either refuses with a message or gives an image of at least 2 bytes that fits
// the 4 MiB flash image, whose CRC is the image's. Every component read lies inside the file.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "base/crc16.h"
#include "kit/global_file.h"

namespace {

void Require(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const int readerType = data[0] % 10;
    const uint8_t* file = data + 1;
    const size_t fileSize = size - 1;

    // The walk over the whole input, one level deep.
    korvel::kit::GloElement element;
    size_t fault = 0;
    const auto search = korvel::kit::FindTag(file, 0, fileSize, 0xA0, &element, &fault);
    if (search == korvel::kit::TagSearch::Found) Require(element.End() <= fileSize);
    if (search == korvel::kit::TagSearch::Malformed) Require(fault < fileSize);

    const auto contents = korvel::kit::ReadGlobalFile("fuzz.glo", file, fileSize);
    for (const auto& component : contents.components) {
        Require(component.offset < fileSize);
        Require(component.dataOffset + component.dataSize <= fileSize);
        Require(component.name.size() <= korvel::kit::glo::kMaxName);
    }
    if (!contents.Ok()) Require(!contents.refusal.text.empty());

    const auto image = korvel::kit::ExtractImage("fuzz.glo", file, fileSize, readerType);
    if (image.Ok()) {
        Require(contents.Ok());
        Require(image.image.size() >= 2 && image.image.size() <= korvel::kit::glo::kImageSize);
        Require(image.crc == korvel::base::Crc16X25(image.image.data(), image.image.size()));
    } else {
        Require(!image.refusal.text.empty());
        Require(image.image.empty());
    }
    return 0;
}
