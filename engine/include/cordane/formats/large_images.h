// The whole of a large reader's download as values, built before the reader is reset: every
// region image from the driver and application files, the progress total, and the check of the
// resulting writes against the reader's flash. What the loader would refuse, and a download that
// would leave the reader with a wrong or partial image, are found here, while the reader still
// holds its application.
#ifndef CORDANE_LARGE_IMAGES_H
#define CORDANE_LARGE_IMAGES_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "cordane/cordane.h"
#include "cordane/formats/large_plan.h"

namespace cordane::large {

// The files of a download, already read (and deciphered for download type 1).
struct Inputs {
    uint32_t downloadType = 0;  // 0: S-record files; any other: a binary download file
    std::string appPath;
    std::string driverPath;
    std::span<const uint8_t> appText;     // type 0: the application's S-record text
    std::span<const uint8_t> driverText;  // type 0: the driver library's S-record text
    std::span<const uint8_t> binary;      // other types: the whole binary file
};

struct RegionImage {
    Region region = Region::DriverLow;
    std::vector<uint8_t> bytes;  // image index i is the region's first address + i
};

struct DownloadImages {
    // Driver low, driver high, application, application upper: the sending order. The driver's
    // first two bytes (the signature's place) are already 0xFF.
    std::array<RegionImage, 4> regions;
    uint64_t total = 0;  // progress total of the download
    // Image indices of the driver-low region that the application's overlay (0x4300-0x471F)
    // covers; empty when the application has nothing there.
    size_t overlayBegin = 0;
    size_t overlayEnd = 0;
    bool appHasData = false;     // a byte other than 0xFF in what the application file gives
    bool driverHasData = false;  // the same for the driver library

    const RegionImage& Of(Region region) const { return regions[static_cast<size_t>(region)]; }
};

// Builds every region image, or answers why the files cannot make them.
[[nodiscard]] std::variant<DownloadImages, std::string> BuildImages(const Inputs& inputs);

// What stands in the way of downloading the images to a reader of `type`: nothing to download,
// data the download would never send, a write outside the reader's flash, or two writes to the
// same flash byte. Nothing when the download can go ahead. For a refused write, `faultAddress`
// (when given) receives the reader address it was for.
[[nodiscard]] std::optional<std::string> CheckImages(const DownloadImages& images,
                                                     const Inputs& inputs, eReaderType type,
                                                     uint32_t* faultAddress = nullptr);

}  // namespace cordane::large

#endif
