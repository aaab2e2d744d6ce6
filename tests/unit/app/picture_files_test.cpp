#include "brenmark/picture_files.h"

#include <gtest/gtest.h>

#include <vector>

namespace brenmark::pictures {
namespace {

uint32_t U16(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8);
}
uint32_t U32(const std::vector<uint8_t>& b, size_t at) {
    return U16(b, at) | (U16(b, at + 2) << 16);
}

// A picture of one colour but for the top-left pixel.
Picture Filled(int width, int height, uint32_t colour, uint32_t topLeft) {
    Picture picture{width, height, std::vector<uint32_t>(size_t(width) * size_t(height), colour)};
    picture.pixels[0] = topLeft;
    return picture;
}

TEST(PictureFiles, BmpIsBottomUp24BitWithRowsPaddedToFourBytes) {
    // 3 pixels a row: 9 bytes, padded to 12.
    const auto bmp = BmpFile(Filled(3, 2, 0xFF102030, 0xFFAABBCC));
    ASSERT_TRUE(bmp) << bmp.error().message;
    const std::vector<uint8_t>& b = *bmp;
    ASSERT_EQ(b.size(), 54u + 2 * 12);
    EXPECT_EQ(b[0], 'B');
    EXPECT_EQ(b[1], 'M');
    EXPECT_EQ(U32(b, 2), b.size());
    EXPECT_EQ(U32(b, 10), 54u);  // the pixels' offset
    EXPECT_EQ(U32(b, 14), 40u);  // BITMAPINFOHEADER
    EXPECT_EQ(U32(b, 18), 3u);
    EXPECT_EQ(U32(b, 22), 2u);  // positive: bottom-up
    EXPECT_EQ(U16(b, 26), 1u);
    EXPECT_EQ(U16(b, 28), 24u);
    EXPECT_EQ(U32(b, 30), 0u);  // uncompressed
    EXPECT_EQ(U32(b, 34), 24u);

    // The bottom row comes first; the top-left pixel opens the second row, blue first.
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 54, b.begin() + 57),
              (std::vector<uint8_t>{0x30, 0x20, 0x10}));
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + 66, b.begin() + 69),
              (std::vector<uint8_t>{0xCC, 0xBB, 0xAA}));
    for (size_t pad : {63u, 64u, 65u, 75u, 76u, 77u}) EXPECT_EQ(b[pad], 0) << pad;
}

TEST(PictureFiles, IcoDirectoryMatchesItsImages) {
    const std::vector<Picture> images{Filled(16, 16, 0xFF000000, 0), Filled(32, 32, 0xFF000000, 0),
                                      Filled(48, 48, 0xFF000000, 0)};
    const auto ico = IcoFile(images);
    ASSERT_TRUE(ico) << ico.error().message;
    const std::vector<uint8_t>& b = *ico;
    EXPECT_EQ(U16(b, 0), 0u);
    EXPECT_EQ(U16(b, 2), 1u);  // an icon
    ASSERT_EQ(U16(b, 4), 3u);

    size_t expectedOffset = 6 + 3 * 16;
    for (int i = 0; i < 3; ++i) {
        const size_t entry = 6 + 16 * size_t(i);
        const int side = images[i].width;
        EXPECT_EQ(b[entry], side);
        EXPECT_EQ(b[entry + 1], side);
        EXPECT_EQ(U16(b, entry + 6), 32u);
        const uint32_t size = U32(b, entry + 8), offset = U32(b, entry + 12);
        const uint32_t maskStride = ((side + 31) / 32) * 4;
        EXPECT_EQ(size, 40u + side * side * 4 + maskStride * side) << side;
        EXPECT_EQ(offset, expectedOffset) << side;
        expectedOffset = offset + size;
        // The image's own header: twice the height (colours and mask), 32 bits a pixel.
        ASSERT_LE(offset + 40, b.size());
        EXPECT_EQ(U32(b, offset), 40u);
        EXPECT_EQ(U32(b, offset + 4), uint32_t(side));
        EXPECT_EQ(U32(b, offset + 8), uint32_t(2 * side));
        EXPECT_EQ(U16(b, offset + 14), 32u);
    }
    EXPECT_EQ(expectedOffset, b.size());
}

TEST(PictureFiles, IcoMaskMarksTransparentPixelsOnly) {
    // 16 x 2: the top-left pixel fully transparent, one half-transparent pixel, the rest opaque.
    Picture picture = Filled(16, 2, 0xFF112233, 0x00445566);
    picture.pixels[9] = 0x80112233;
    const auto ico = IcoFile(std::vector<Picture>{picture});
    ASSERT_TRUE(ico);
    const std::vector<uint8_t>& b = *ico;
    const size_t image = U32(b, 6 + 12);
    const size_t colours = image + 40, mask = colours + 16 * 2 * 4;
    ASSERT_EQ(b.size(), mask + 2 * 4);  // 16 mask bits, padded to 4 bytes a row
    // Bottom-up: the top row is the second; its first pixel BGRA as given.
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + colours + 64, b.begin() + colours + 68),
              (std::vector<uint8_t>{0x66, 0x55, 0x44, 0x00}));
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + mask, b.begin() + mask + 4),
              (std::vector<uint8_t>{0, 0, 0, 0}));  // the bottom row: all opaque
    EXPECT_EQ(std::vector<uint8_t>(b.begin() + mask + 4, b.end()),
              (std::vector<uint8_t>{0x80, 0, 0, 0}));  // the half-transparent pixel is drawn
}

TEST(PictureFiles, RefusesPixelsThatDoNotFitTheirSize) {
    Picture short_ = Filled(4, 4, 0, 0);
    short_.pixels.pop_back();
    EXPECT_FALSE(BmpFile(short_));
    EXPECT_FALSE(BmpFile(Picture{0, 4, {}}));
    EXPECT_FALSE(IcoFile(std::vector<Picture>{short_}));
    EXPECT_FALSE(IcoFile(std::vector<Picture>{Filled(257, 1, 0, 0)}));
    EXPECT_FALSE(IcoFile(std::vector<Picture>{}));
}

}  // namespace
}  // namespace brenmark::pictures
