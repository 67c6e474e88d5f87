#include <gtest/gtest.h>

#include "media/HeifEncode.hpp"
#include "tests/support/Fixtures.hpp"

using namespace quillon;
using namespace quillon::test;

// Pictures that are not 8-bit sRGB (grey, 16 bits) and odd sizes, which HEVC codes in blocks of
// 8 and libheif crops back: the file shows the picture at its own size, with its own levels.
TEST(HeifEncode, GreyAndSixteenBitPicturesOfOddSizesKeepTheirSizeAndLevels)
{
    const vips::VImage stripes = patchImage(161, 47), grey = stripes.colourspace(VIPS_INTERPRETATION_B_W);
    const vips::VImage grey16 = withInterpretation((grey * 257).cast(VIPS_FORMAT_USHORT),
                                                   VIPS_INTERPRETATION_GREY16);
    for (const auto& [name, picture, expected] :
         {std::tuple{"grey16", grey16, grey},
          {"rgb16", stripes.colourspace(VIPS_INTERPRETATION_RGB16), stripes},
          {"rgb8", stripes, stripes}}) {
        SCOPED_TRACE(name);
        const vips::VImage decoded = decodeBytes(encodeHeif(Image(picture.copy_memory()), 95));
        EXPECT_EQ(sizeOf(decoded), "161x47");
        // Mean error over the whole picture: HEVC at quality 95 with 4:2:0 colour smears the
        // stripes' edges, but a wrong scale (16-bit levels cut to their low byte) or lost
        // channels are off by far more.
        const vips::VImage colours = decoded.extract_band(0,
                                                          vips::VImage::option()->set("n", expected.bands()));
        EXPECT_LT((colours.cast(VIPS_FORMAT_INT) - expected.cast(VIPS_FORMAT_INT)).abs().avg(), 6.0);
    }
}

// Every preset gives a file that decodes to the picture; the slower ones are only smaller.
TEST(HeifEncode, EveryPresetWritesTheSamePicture)
{
    const Image picture(patchImage(128, 64, true));
    for (HevcPreset preset : {HevcPreset::Ultrafast, HevcPreset::Veryfast, HevcPreset::Fast,
                              HevcPreset::Medium, HevcPreset::Slow}) {
        SCOPED_TRACE(hevcPresetName(preset));
        const vips::VImage decoded = decodeBytes(encodeHeif(picture, 90, preset));
        ASSERT_EQ(decoded.bands(), 4);
        EXPECT_LT(patchError(decoded), 12);
        EXPECT_EQ(decoded[3].crop(0, 0, 32, 64).min(), 255);  // the opaque left half
        EXPECT_EQ(decoded[3].crop(96, 0, 32, 64).max(), 0);   // the transparent right half
    }
}
