#include <gtest/gtest.h>

#include "media/HeifEncode.hpp"
#include "tests/support/Fixtures.hpp"

using namespace quillon;
using namespace quillon::test;

// Pictures that are not 8-bit sRGB (grey, 16 bits) and odd sizes, which HEVC codes in blocks of
// 8 and libheif crops back, and every preset: the file shows the picture at its own size, with its
// own levels and transparency.
TEST(HeifEncode, EveryPictureAndPresetKeepsItsSizeLevelsAndAlpha)
{
    const vips::VImage stripes = patchImage(161, 47), grey = stripes.colourspace(VIPS_INTERPRETATION_B_W),
                       clear = patchImage(128, 64, true);  // right half transparent
    const vips::VImage grey16 = withInterpretation((grey * 257).cast(VIPS_FORMAT_USHORT),
                                                   VIPS_INTERPRETATION_GREY16);
    for (const auto& [picture, expected, preset] :
         {std::tuple{grey16, grey, HevcPreset::Medium},
          {stripes.colourspace(VIPS_INTERPRETATION_RGB16), stripes, HevcPreset::Medium},
          {stripes, stripes, HevcPreset::Medium},
          {clear, clear, HevcPreset::Ultrafast},
          {clear, clear, HevcPreset::Veryfast},
          {clear, clear, HevcPreset::Fast},
          {clear, clear, HevcPreset::Medium},
          {clear, clear, HevcPreset::Slow}}) {
        SCOPED_TRACE(sizeOf(picture) + " " + std::to_string(picture.bands()) + " bands, " +
                     hevcPresetName(preset));
        const vips::VImage decoded = decodeBytes(encodeHeif(Image(picture.copy_memory()), 90, preset));
        ASSERT_EQ(sizeOf(decoded), sizeOf(picture));
        // Mean error over the whole picture: HEVC with 4:2:0 colour smears the stripes' edges, but
        // a wrong scale (16-bit levels cut to their low byte) or lost channels are off by far more.
        const vips::VImage colours = decoded.extract_band(0,
                                                          vips::VImage::option()->set("n", expected.bands()));
        EXPECT_LT((colours.cast(VIPS_FORMAT_INT) - expected.cast(VIPS_FORMAT_INT)).abs().avg(), 6.0);
        if (picture.bands() == 4) {
            EXPECT_EQ(decoded[3].crop(0, 0, 32, 64).min(), 255);  // the opaque left half
            EXPECT_EQ(decoded[3].crop(96, 0, 32, 64).max(), 0);   // the transparent right half
        }
    }
}
