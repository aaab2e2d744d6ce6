// Memory map of the large readers (types 2 to 9) and the layout of a binary download file: one
// commented place for every address and offset the large-reader download uses.
#ifndef CORDANE_LARGE_LAYOUT_H
#define CORDANE_LARGE_LAYOUT_H

#include <cstddef>
#include <cstdint>

namespace cordane::large {

// Regions of the reader's address space, in sending order, and the conversion window of each.
inline constexpr uint32_t kDriverLowStart = 0x4000;  // driver library, low part
inline constexpr uint32_t kDriverLowEnd = 0xE000;
inline constexpr uint32_t kOverlayStart = 0x4300;  // the application's records laid over it
inline constexpr uint32_t kOverlayEnd = 0x4720;
inline constexpr uint32_t kDriverHighStart = 0x70000;  // driver library, high part
inline constexpr uint32_t kDriverHighEnd = 0x80000;
inline constexpr uint32_t kAppStart = 0xD000;  // application
inline constexpr uint32_t kAppEnd = 0x80000;
inline constexpr uint32_t kUpperStart = 0x100000;  // application, upper part (1 Mb models)
inline constexpr uint32_t kUpperEnd = 0x180000;

// The regions of a large reader's download, in sending order.
enum class Region { DriverLow, DriverHigh, Application, Upper };

// What the download procedure, the checks of its images and `cordane info` know of a region.
struct RegionFacts {
    Region region;
    uint32_t start;     // first address: image index 0 of the region
    uint32_t end;       // end of its conversion window from an S-record file (exclusive)
    bool skipsBlank;    // a full block of 0xFF bytes is skipped, not sent
    bool percentFloor;  // the bar stands at least at a few per cent before its blocks
    const char* name;   // in messages: "driver library (low part)"
    const char* label;  // cordane info's table: "driver, low"
    const char* id;     // cordane info's JSON: "driver-low"
};

// Indexed by Region. The driver's low part is sent whole (its blank blocks too), from the bar's
// floor; its high part moves the bar from 0 (it is the first region with any full block in
// the progress total of a binary file, which has none).
inline constexpr RegionFacts kRegions[] = {
    {Region::DriverLow, kDriverLowStart, kDriverLowEnd, false, true, "driver library (low part)",
     "driver, low", "driver-low"},
    {Region::DriverHigh, kDriverHighStart, kDriverHighEnd, true, false,
     "driver library (high part)", "driver, high", "driver-high"},
    {Region::Application, kAppStart, kAppEnd, true, true, "application", "application",
     "application"},
    {Region::Upper, kUpperStart, kUpperEnd, true, true, "application (upper part)", "upper",
     "upper"},
};

constexpr const RegionFacts& RegionFactsOf(Region region) {
    return kRegions[static_cast<size_t>(region)];
}

// The application's records in the overlay window are laid over the driver's low part and sent
// within that region.
struct OverlayFacts {
    uint32_t start = kOverlayStart;
    uint32_t end = kOverlayEnd;
    const char* label = "overlay";
    const char* id = "overlay";
};
inline constexpr OverlayFacts kOverlay{};

// The application region's irregular blocks: block 16 may be sent from 0xE000, block 32 is cut at
// 0xF000, and the blocks covering 0xF000-0xFFFF are never sent (block 48 resumes at 0x10000).
inline constexpr uint32_t kAppCodeStart = 0xE000;  // where a binary file's application starts
inline constexpr size_t kBlock16 = 16;
inline constexpr size_t kBlock16HeadLength = 16;   // 0xDFF0-0xDFFF, in front of 0xE000
inline constexpr size_t kBlock16CodeLength = 239;  // 0xE000-0xE0EE
inline constexpr size_t kBlock32 = 32;
inline constexpr uint32_t kBlock32Address = 0xEFE0;
inline constexpr size_t kBlock32Length = 32;  // up to 0xEFFF
inline constexpr size_t kBlock48 = 48;
inline constexpr uint32_t kBlock48Address = 0x10000;
inline constexpr size_t kBlock48Length = 207;        // 0x10000-0x100CE
inline constexpr size_t kBlock48Skip = 48;           // 0xFFD0-0xFFFF, never written
inline constexpr size_t kSkippedAfter32 = 15 * 255;  // blocks 33 to 47

// Binary download file (download types 1 and 2).
inline constexpr size_t kFileCipherBytes = 0;  // 2 bytes that diversify the image key
inline constexpr size_t kFileDriver = 2;       // 0xA000 bytes of driver library
inline constexpr size_t kDriverLength = 0xA000;
inline constexpr size_t kFileApp = 0xA002;        // application, low part, from 0xE000
inline constexpr size_t kFileAppNumber = 0xA013;  // three ASCII digits (at 0xE011)
inline constexpr size_t kFileIdentity = 0xA042;   // 16 bits, low byte first (at 0xE040)
inline constexpr size_t kFileUpper = 0x7C002;     // application, upper part, from 0x100000
inline constexpr size_t kEnciphered = 4096;       // bytes enciphered at kFileApp (type 1)
inline constexpr size_t kAppRegionMax = 0x73000;  // application region of a long file
inline constexpr size_t kAppBlankHead = 0x1000;   // 0xD000-0xDFFF: 0xFF in a binary image
inline constexpr size_t kAppImageFill = 0x79000;  // image bytes set to 0xFF before the copy
inline constexpr size_t kFileSlack = 0xA000;      // a binary file is read into size + this

// Working storage of one large-reader download.
inline constexpr size_t kFileBufferSize = 0x400000;  // S-record files: at most 4 MB each
inline constexpr size_t kImageBufferSize = 0x80000;  // one 0 byte, then the region's image
inline constexpr size_t kImageCapacity = kImageBufferSize - 1;

}  // namespace cordane::large

#endif
