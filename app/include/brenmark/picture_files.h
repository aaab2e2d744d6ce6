// Brenmark's pictures as the files a Windows resource compiler takes: 24-bit BMP for the bitmaps
// and the animation, ICO for the icons. No toolkit: a painter hands its pixels over as
// 0xAARRGGBB words (the layout of a QRgb), top row first, and gets the file's bytes back.
#ifndef BRENMARK_PICTURE_FILES_H
#define BRENMARK_PICTURE_FILES_H

#include <cstdint>
#include <span>
#include <vector>

#include "base/error.h"

namespace brenmark::pictures {

// A picture: width x height pixels, 0xAARRGGBB, row by row from the top.
struct Picture {
    int width = 0;
    int height = 0;
    std::vector<uint32_t> pixels;
};

// A 24-bit uncompressed BMP: rows bottom-up, each padded to a multiple of 4 bytes. Alpha is
// dropped: the painter lays the picture over its background first. Refuses an empty picture, one
// whose pixels do not fill width x height, and one of more than 32767 pixels a side.
korvel::base::Expected<std::vector<uint8_t>> BmpFile(const Picture& picture);

// An icon file holding `images` in that order, each a 32-bit BGRA bitmap with its 1-bit mask
// (1 where the pixel is fully transparent), as every Windows version reads them. Refuses no
// image, an empty image or one over 256 pixels a side, and pixels that do not fill their image.
korvel::base::Expected<std::vector<uint8_t>> IcoFile(std::span<const Picture> images);

}  // namespace brenmark::pictures

#endif
