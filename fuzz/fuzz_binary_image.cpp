// Fuzz target for the binary download file path: the size checks, the decipherment of the
// enciphered region, the fields the application checks read, the region images and their block
// plans. The input describes a file:
//
//   byte 0      bit 0: decipher with base key B instead of A; bit 1: leave it enciphered;
//               bits 2-7: the reader type (modulo 10) the whole download is checked against
//   bytes 1-3   file size, 24-bit, most significant first (any value: too short and too long
//               files must be refused)
//   the rest    the file's bytes, repeated from offset 0 (so short inputs still fill the key
//               bytes, the numbers and the region heads)
//
// Every planned block must lie inside its region image, hold 1 to 255 bytes, and stay out of
// 0xF000-0xFFFF; the count of handled bytes only grows. The whole download, built as the engine
// builds it before a reset, must be either refused with a message or fit the reader's flash.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "cordane/formats/binary_image.h"
#include "cordane/formats/cipher.h"
#include "cordane/formats/large_images.h"
#include "cordane/formats/large_layout.h"
#include "cordane/formats/large_plan.h"

namespace {

using namespace cordane::large;

void Require(bool condition) {
    if (!condition) std::abort();
}

void CheckPlan(Region region, const std::vector<uint8_t>& image, size_t length, uint64_t& count,
               uint64_t total, uint32_t start, uint32_t end) {
    const RegionPlan plan = PlanRegion(region, image.data() + 1, length, count, total);
    for (const PlannedBlock& block : plan.blocks) {
        Require(block.length >= 1 && block.length <= 255);
        Require(block.offset + block.length <= length);
        Require(block.address >= start && block.address + block.length <= end);
        Require(block.address + block.length <= 0xF000 || block.address >= 0x10000);
        Require(block.percent <= 100);
    }
    Require(plan.countAfter >= count);
    count = plan.countAfter;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const uint8_t mode = data[0];
    const size_t fileSize = (size_t{data[1]} << 16) | (size_t{data[2]} << 8) | data[3];
    const uint8_t* body = data + 4;
    const size_t bodySize = size - 4;
    if (CheckBinarySize("fuzz.bin", fileSize)) return 0;

    std::vector<uint8_t> file(fileSize + kFileSlack, 0);
    for (size_t i = 0; i < fileSize; ++i) file[i] = body[i % bodySize];
    if (!(mode & 2)) {
        uint8_t key[8];
        Require(cordane::BuiltInBaseKey(mode & 1, key));
        Require(cordane::DecipherImageRegion(file.data(), file.size(), kFileApp, kEnciphered, key));
    }
    Require(FileIdentity(file.data()) <= 0xFFFF);
    Require(FileAppNumber(file.data()) <= 999);

    std::vector<uint8_t> image(kImageBufferSize, 0);
    const uint64_t total = fileSize - 2;
    uint64_t count = 0;
    size_t length = BuildDriverImage(file.data(), image.data() + 1);
    CheckPlan(Region::DriverLow, image, length, count, total, kDriverLowStart, kDriverLowEnd);
    length = BuildAppImage(file.data(), fileSize, image.data() + 1);
    Require(length <= kAppEnd - kAppStart);
    CheckPlan(Region::Application, image, length, count, total, kAppStart, kAppEnd);
    length = BuildUpperImage(file.data(), fileSize, image.data() + 1);
    Require(length <= kImageCapacity);
    if (length > 0) CheckPlan(Region::Upper, image, length, count, total, kUpperStart, kUpperEnd);
    Require(image[0] == 0);

    Inputs inputs;
    inputs.downloadType = KV_DOWNLOAD_BINARY;
    inputs.appPath = "fuzz.bin";
    inputs.binary = std::span<const uint8_t>(file.data(), fileSize);
    auto built = BuildImages(inputs);
    if (auto* images = std::get_if<DownloadImages>(&built)) {
        Require(images->total == total);
        const auto problem =
            CheckImages(*images, inputs, static_cast<eReaderType>((mode >> 2) % 10));
        if (problem) Require(!problem->empty());
    }
    return 0;
}
