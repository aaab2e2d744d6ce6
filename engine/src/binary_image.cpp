#include "cordane/formats/binary_image.h"

#include <cstring>

#include "cordane/formats/large_layout.h"

namespace cordane::large {

std::optional<std::string> CheckBinarySize(const std::string& path, size_t size) {
    // The layout fixes what a download file holds; anything shorter lacks its driver, anything
    // longer would not fit the reader's upper region.
    if (size < kFileApp) {
        return "The binary file " + path + " is " + std::to_string(size) +
               " bytes long: a download file holds at least " + std::to_string(kFileApp) +
               " bytes (2 key bytes and the 40960-byte driver library). Check the file.";
    }
    if (size > kFileUpper + kImageCapacity) {
        return "The binary file " + path + " is " + std::to_string(size) +
               " bytes long: a download file holds at most " +
               std::to_string(kFileUpper + kImageCapacity) +
               " bytes (its upper part ends at 0x17FFFF). Check the file.";
    }
    return std::nullopt;
}

size_t AppRegionLength(size_t size) {
    return size <= kFileUpper ? size - (kFileApp - kAppBlankHead) : kAppRegionMax;
}

size_t UpperRegionLength(size_t size) {
    return size > kFileUpper ? size - kFileUpper : 0;
}

uint32_t FileIdentity(const uint8_t* file) {
    return file[kFileIdentity] + 256u * file[kFileIdentity + 1];
}

uint32_t FileAppNumber(const uint8_t* file) {
    uint32_t number = 0;
    for (size_t i = 0; i < 3; ++i) {
        const uint8_t c = file[kFileAppNumber + i];
        if (c < '0' || c > '9') break;
        number = number * 10 + (c - '0');
    }
    return number;
}

size_t BuildDriverImage(const uint8_t* file, uint8_t* image) {
    std::memcpy(image, file + kFileDriver, kDriverLength);
    return kDriverLength;
}

size_t BuildAppImage(const uint8_t* file, size_t size, uint8_t* image) {
    const size_t length = AppRegionLength(size);
    std::memset(image, 0xFF, kAppImageFill);
    std::memcpy(image + kAppBlankHead, file + kFileApp, length - kAppBlankHead);
    return length;
}

size_t BuildUpperImage(const uint8_t* file, size_t size, uint8_t* image) {
    const size_t length = UpperRegionLength(size);
    if (length > 0) std::memcpy(image, file + kFileUpper, length);
    return length;
}

}  // namespace cordane::large
