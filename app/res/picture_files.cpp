#include "brenmark/picture_files.h"

#include <string>

namespace brenmark::pictures {
namespace {

using korvel::base::Cause;
using korvel::base::Expected;
using korvel::base::Fail;

constexpr uint32_t kFileHeaderSize = 14;  // "BM", file size, two reserved words, pixel offset
constexpr uint32_t kInfoHeaderSize = 40;  // the DIB header every reader knows
constexpr uint32_t kIconDirSize = 6;
constexpr uint32_t kIconEntrySize = 16;
constexpr int32_t kPixelsPerMetre96Dpi = 3780;

void Put16(std::vector<uint8_t>& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value));
    out.push_back(static_cast<uint8_t>(value >> 8));
}

void Put32(std::vector<uint8_t>& out, uint32_t value) {
    Put16(out, value & 0xFFFF);
    Put16(out, value >> 16);
}

uint32_t Stride(uint32_t bytesPerRow) {
    return (bytesPerRow + 3) & ~3u;
}

Expected<void> CheckPixels(const Picture& picture, int maxSide, const char* what) {
    if (picture.width <= 0 || picture.height <= 0 || picture.width > maxSide ||
        picture.height > maxSide) {
        return Fail(std::string(what) + " of " + std::to_string(picture.width) + " x " +
                        std::to_string(picture.height) + " pixels: a side must be 1 to " +
                        std::to_string(maxSide),
                    {}, Cause::BadInput);
    }
    const auto wanted = static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height);
    if (picture.pixels.size() != wanted) {
        return Fail(std::string(what) + " of " + std::to_string(picture.width) + " x " +
                        std::to_string(picture.height) + " pixels given " +
                        std::to_string(picture.pixels.size()) + " pixels",
                    {}, Cause::BadInput);
    }
    return {};
}

// BITMAPINFOHEADER: uncompressed, `bits` per pixel, `rows` rows (an icon counts its mask's too).
void PutInfoHeader(std::vector<uint8_t>& out, int width, int rows, int bits, uint32_t imageSize,
                   int32_t pixelsPerMetre) {
    Put32(out, kInfoHeaderSize);
    Put32(out, static_cast<uint32_t>(width));
    Put32(out, static_cast<uint32_t>(rows));  // positive: the bottom row comes first
    Put16(out, 1);                            // planes
    Put16(out, static_cast<uint32_t>(bits));
    Put32(out, 0);  // BI_RGB
    Put32(out, imageSize);
    Put32(out, static_cast<uint32_t>(pixelsPerMetre));
    Put32(out, static_cast<uint32_t>(pixelsPerMetre));
    Put32(out, 0);  // colours used: all
    Put32(out, 0);  // important colours: all
}

bool Transparent(uint32_t argb) {
    return (argb >> 24) == 0;
}

// One icon image as it follows the icon directory: header, colour rows, mask rows.
std::vector<uint8_t> IconImage(const Picture& image) {
    const auto width = static_cast<uint32_t>(image.width);
    const auto height = static_cast<uint32_t>(image.height);
    const uint32_t maskStride = Stride((width + 7) / 8);
    const uint32_t colourSize = width * 4 * height;
    std::vector<uint8_t> out;
    out.reserve(kInfoHeaderSize + colourSize + maskStride * height);
    PutInfoHeader(out, image.width, 2 * image.height, 32, colourSize + maskStride * height, 0);
    for (uint32_t row = height; row-- > 0;) {
        for (uint32_t x = 0; x < width; ++x) Put32(out, image.pixels[row * width + x]);  // B G R A
    }
    for (uint32_t row = height; row-- > 0;) {
        std::vector<uint8_t> mask(maskStride, 0);
        for (uint32_t x = 0; x < width; ++x) {
            if (Transparent(image.pixels[row * width + x])) {
                mask[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
            }
        }
        out.insert(out.end(), mask.begin(), mask.end());
    }
    return out;
}

}  // namespace

Expected<std::vector<uint8_t>> BmpFile(const Picture& picture) {
    KORVEL_TRY(CheckPixels(picture, 32767, "a bitmap"));
    const auto width = static_cast<uint32_t>(picture.width);
    const auto height = static_cast<uint32_t>(picture.height);
    const uint32_t stride = Stride(width * 3);
    const uint32_t offset = kFileHeaderSize + kInfoHeaderSize;
    // At most 32767 x 32767 pixels: about 3 GB, within the header's 32 bits.
    const uint32_t fileSize = offset + stride * height;

    std::vector<uint8_t> out;
    out.reserve(fileSize);
    out.push_back('B');
    out.push_back('M');
    Put32(out, fileSize);
    Put32(out, 0);  // reserved
    Put32(out, offset);
    PutInfoHeader(out, picture.width, picture.height, 24, stride * height, kPixelsPerMetre96Dpi);
    for (uint32_t row = height; row-- > 0;) {
        for (uint32_t x = 0; x < width; ++x) {
            const uint32_t argb = picture.pixels[row * width + x];
            out.push_back(static_cast<uint8_t>(argb));        // blue
            out.push_back(static_cast<uint8_t>(argb >> 8));   // green
            out.push_back(static_cast<uint8_t>(argb >> 16));  // red
        }
        out.resize(out.size() + (stride - width * 3), 0);
    }
    return out;
}

Expected<std::vector<uint8_t>> IcoFile(std::span<const Picture> images) {
    if (images.empty() || images.size() > 0xFFFF) {
        return Fail(
            "an icon file of " + std::to_string(images.size()) + " images: it holds 1 to 65535", {},
            Cause::BadInput);
    }
    std::vector<std::vector<uint8_t>> bodies;
    for (const Picture& image : images) {
        KORVEL_TRY(CheckPixels(image, 256, "an icon image"));
        bodies.push_back(IconImage(image));
    }

    std::vector<uint8_t> out;
    Put16(out, 0);  // reserved
    Put16(out, 1);  // an icon, not a cursor
    Put16(out, static_cast<uint32_t>(images.size()));
    uint32_t offset = kIconDirSize + kIconEntrySize * static_cast<uint32_t>(images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        // A side of 256 is written as 0.
        out.push_back(static_cast<uint8_t>(images[i].width & 0xFF));
        out.push_back(static_cast<uint8_t>(images[i].height & 0xFF));
        out.push_back(0);  // no palette
        out.push_back(0);  // reserved
        Put16(out, 1);     // planes
        Put16(out, 32);    // bits per pixel
        Put32(out, static_cast<uint32_t>(bodies[i].size()));
        Put32(out, offset);
        offset += static_cast<uint32_t>(bodies[i].size());
    }
    for (const auto& body : bodies) out.insert(out.end(), body.begin(), body.end());
    return out;
}

}  // namespace brenmark::pictures
