#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "media/Encode.hpp"
#include "media/EncodeDetail.hpp"
#include "tests/support/Fixtures.hpp"

using namespace quillon;
using namespace quillon::test;

namespace {

vips::VImage decode(const Bytes& bytes)
{
    return vips::VImage::new_from_buffer(bytes.data(), bytes.size(), "").copy_memory();
}

}  // namespace

TEST(Encode, FormatNamesSelectTheEncoderAndKeepTheColours)
{
    const Image image(patchImage(160, 48));
    struct Case {
        const char *name, *loader, *ext;
        double tolerance;  // lossless formats are exact; HEIC subsamples chroma and goes through YCbCr twice
    };
    for (const Case& c : {Case{"Jpg", "jpegload_buffer", "jpg", 8}, Case{"JPEG", "jpegload_buffer", "jpg", 8},
                          Case{"PNG", "pngload_buffer", "png", 0}, Case{"tif", "tiffload_buffer", "tiff", 0},
                          Case{"TIFF", "tiffload_buffer", "tiff", 0}, Case{"heic", "heifload_buffer", "heic", 12},
                          Case{"HEIF", "heifload_buffer", "heic", 12}, Case{"webp", "pngload_buffer", "png", 0},
                          Case{"", "pngload_buffer", "png", 0}}) {
        SCOPED_TRACE(std::string("format \"") + c.name + "\"");
        EXPECT_EQ(extForFormat(c.name), c.ext);
        const auto bytes = encodeImage(image, c.name, 0.9);
        ASSERT_TRUE(bytes);
        const vips::VImage back = decode(*bytes);
        EXPECT_EQ(back.get_string("vips-loader"), std::string(c.loader));
        EXPECT_EQ(back.width(), 160);
        EXPECT_LE(patchError(back), c.tolerance);
    }
    EXPECT_FALSE(encodeImage(Image(), "jpg", 0.8));

    const auto tiff = freshDir("encode-tiff") / "out.tiff";
    writeBytes(tiff, *encodeImage(image, "tiff", 0.5));
    EXPECT_EQ(capture("exiftool -s3 -Compression " + shellQuote(tiff.string())), "LZW\n");
}

TEST(Encode, QualityIsClamped)
{
    const Image image(patchImage(160, 48));
    for (const char* format : {"jpg", "heic"}) {
        SCOPED_TRACE(format);
        const Bytes best = *encodeImage(image, format, 1.0), worst = *encodeImage(image, format, 0.0);
        EXPECT_LT(worst.size(), best.size());
        EXPECT_EQ(*encodeImage(image, format, 1.7), best);
        EXPECT_EQ(*encodeImage(image, format, std::numeric_limits<double>::quiet_NaN()), best);
        EXPECT_EQ(*encodeImage(image, format, -0.2), worst);
    }
}

TEST(Encode, FailedHeicFallsBackToJpegOfAtLeastQualityPointNine)
{
    const Image image(patchImage(160, 48));
    const auto failing = [](const Image&, int) -> std::optional<Bytes> { return std::nullopt; };
    const auto low = detail::encodeImageWith(image, "heic", 0.5, failing);
    const auto high = detail::encodeImageWith(image, "HEIF", 0.95, failing);
    ASSERT_TRUE(low && high);
    EXPECT_EQ(*low, *encodeImage(image, "jpg", 0.9));
    EXPECT_EQ(*high, *encodeImage(image, "jpg", 0.95));
}

TEST(Encode, AlphaIsKeptWhereTheFormatHasItAndFlattenedOntoWhiteForJpeg)
{
    const Image image(patchImage(160, 48, true));
    for (const char* format : {"png", "tiff", "heic"}) {
        SCOPED_TRACE(format);
        const vips::VImage back = decode(*encodeImage(image, format, 0.9));
        ASSERT_EQ(back.bands(), 4);
        EXPECT_NEAR(regionMean(back, 10, 10, 20, 20)[3], 255, 1);
        EXPECT_NEAR(regionMean(back, 130, 10, 20, 20)[3], 0, 1);
    }
    const vips::VImage jpeg = decode(*encodeImage(image, "jpg", 0.9));
    ASSERT_EQ(jpeg.bands(), 3);
    EXPECT_LE(patchError(jpeg, {0, 1}), 8);
    for (double v : regionMean(jpeg, 124, 10, 10, 20))
        EXPECT_NEAR(v, 255, 3);
}
