#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "media/Encode.hpp"
#include "media/EncodeDetail.hpp"
#include "tests/support/ImageFixtures.hpp"
#include "tests/support/TestMedia.hpp"

using namespace quillon;
using namespace quillon::test;

namespace {

enum class Kind { Jpeg, Png, Tiff, Heic, Unknown };

Kind kindOf(const Bytes& bytes)
{
    if (bytes.size() >= 3 && bytes[0] == 0xFF && bytes[1] == 0xD8 && bytes[2] == 0xFF) {
        return Kind::Jpeg;
    }
    if (bytes.size() >= 8 && bytes[0] == 0x89 && bytes[1] == 'P' && bytes[2] == 'N' && bytes[3] == 'G') {
        return Kind::Png;
    }
    if (bytes.size() >= 4 && bytes[0] == 'I' && bytes[1] == 'I' && bytes[2] == 42 && bytes[3] == 0) {
        return Kind::Tiff;
    }
    if (bytes.size() >= 12 && std::string(bytes.begin() + 4, bytes.begin() + 12) == "ftypheic") {
        return Kind::Heic;
    }
    return Kind::Unknown;
}

vips::VImage decode(const Bytes& bytes)
{
    return vips::VImage::new_from_buffer(bytes.data(), bytes.size(), "").copy_memory();
}

Image patches(bool withAlpha = false)
{
    return Image(patchImage(160, 48, withAlpha));
}

std::optional<Bytes> failingHeic(const Image&, int)
{
    return std::nullopt;
}

}  // namespace

TEST(Encode, FormatNamesSelectTheEncoderAndExtensionInAnyCase)
{
    const Image image = patches();
    struct Case {
        const char* name;
        Kind kind;
        const char* ext;
    };
    const Case cases[] = {
        {"jpg", Kind::Jpeg, "jpg"},   {"Jpg", Kind::Jpeg, "jpg"},    {"JPEG", Kind::Jpeg, "jpg"},
        {"jpeg", Kind::Jpeg, "jpg"},  {"png", Kind::Png, "png"},     {"PNG", Kind::Png, "png"},
        {"tif", Kind::Tiff, "tiff"},  {"TIFF", Kind::Tiff, "tiff"},  {"heic", Kind::Heic, "heic"},
        {"HEIF", Kind::Heic, "heic"}, {"webp", Kind::Png, "png"},    {"gif", Kind::Png, "png"},
        {"bmp", Kind::Png, "png"},    {"", Kind::Png, "png"},        {"jpgx", Kind::Png, "png"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("format \"") + c.name + "\"");
        EXPECT_EQ(extForFormat(c.name), c.ext);
        const std::optional<Bytes> bytes = encodeImage(image, c.name, 0.8);
        ASSERT_TRUE(bytes.has_value());
        EXPECT_EQ(kindOf(*bytes), c.kind);
        const vips::VImage back = decode(*bytes);
        EXPECT_EQ(back.width(), 160);
        EXPECT_EQ(back.height(), 48);
    }
}

TEST(Encode, QualityIsClampedAndMapsOntoTheEncoderScale)
{
    EXPECT_EQ(detail::encoderQuality(0.0), 1);
    EXPECT_EQ(detail::encoderQuality(1.0), 100);
    EXPECT_EQ(detail::encoderQuality(0.9), 90);
    EXPECT_EQ(detail::encoderQuality(0.82), 82);
    EXPECT_EQ(detail::encoderQuality(0.5), 51);
    EXPECT_EQ(detail::encoderQuality(1.7), 100);
    EXPECT_EQ(detail::encoderQuality(-0.2), 1);
    EXPECT_EQ(detail::encoderQuality(std::numeric_limits<double>::quiet_NaN()), 100);
    EXPECT_EQ(detail::encoderQuality(std::numeric_limits<double>::infinity()), 100);
    EXPECT_EQ(detail::encoderQuality(-std::numeric_limits<double>::infinity()), 1);

    // The encoders see the clamped value: out-of-range qualities give the same bytes as the bound.
    const Image image = patches();
    for (const char* format : {"jpg", "heic"}) {
        SCOPED_TRACE(format);
        const Bytes best = *encodeImage(image, format, 1.0);
        const Bytes worst = *encodeImage(image, format, 0.0);
        EXPECT_EQ(*encodeImage(image, format, 1.7), best);
        EXPECT_EQ(*encodeImage(image, format, std::numeric_limits<double>::quiet_NaN()), best);
        EXPECT_EQ(*encodeImage(image, format, -0.2), worst);
        EXPECT_LT(worst.size(), best.size());
    }
}

TEST(Encode, QualityDoesNotAffectPngOrTiff)
{
    const Image image = patches();
    EXPECT_EQ(*encodeImage(image, "png", 0.1), *encodeImage(image, "png", 0.9));
    EXPECT_EQ(*encodeImage(image, "tiff", 0.1), *encodeImage(image, "tiff", 0.9));
}

TEST(Encode, TiffIsLzwCompressed)
{
    const std::filesystem::path dir = freshDir("encode-tiff");
    const Bytes bytes = *encodeImage(patches(), "tif", 0.5);
    writeFileBytes(dir / "out.tiff", bytes.data(), bytes.size());
    const std::string compression = capture("exiftool -s3 -Compression " + shellQuote((dir / "out.tiff").string()));
    EXPECT_EQ(compression, "LZW\n");
}

TEST(Encode, JpegColourIsHalfResolutionBelowTheHighestQuality)
{
    auto sampling = [](double quality) {
        const Bytes bytes = *encodeImage(patches(), "jpg", quality);
        const vips::VImage decoded = decode(bytes);
        return std::string(decoded.get_string("jpeg-chroma-subsample"));
    };
    EXPECT_EQ(sampling(0.9), "4:2:0");
    EXPECT_EQ(sampling(0.5), "4:2:0");
    EXPECT_EQ(sampling(1.0), "4:4:4");
}

TEST(Encode, FailedHeicFallsBackToJpegOfAtLeastQualityPointNine)
{
    const Image image = patches();
    const std::optional<Bytes> low = detail::encodeImageWith(image, "heic", 0.5, &failingHeic);
    ASSERT_TRUE(low.has_value());
    EXPECT_EQ(kindOf(*low), Kind::Jpeg);
    EXPECT_EQ(*low, *encodeImage(image, "jpg", 0.9));

    const std::optional<Bytes> high = detail::encodeImageWith(image, "HEIF", 0.95, &failingHeic);
    ASSERT_TRUE(high.has_value());
    EXPECT_EQ(*high, *encodeImage(image, "jpg", 0.95));
    EXPECT_NE(*high, *low);

    // The name still decides the extension, so such a file is JPEG data named .heic.
    EXPECT_EQ(extForFormat("heic"), "heic");
}

TEST(Encode, EmptyImageGivesNothingInEveryFormat)
{
    for (const char* format : {"jpg", "png", "tiff", "heic", "other"}) {
        EXPECT_FALSE(encodeImage(Image(), format, 0.8).has_value()) << format;
    }
}

TEST(Encode, ColoursSurviveEachFormat)
{
    const Image image = patches();
    struct Case {
        const char* format;
        double tolerance;
    };
    // Lossless formats must be exact; lossy ones at quality 0.9 stay within a few levels away from
    // the stripe edges (HEIC subsamples chroma and converts through YCbCr twice).
    for (const Case& c : {Case{"png", 0}, Case{"tiff", 0}, Case{"jpg", 8}, Case{"heic", 12}}) {
        SCOPED_TRACE(c.format);
        const vips::VImage back = decode(*encodeImage(image, c.format, 0.9));
        ASSERT_GE(back.bands(), 3);
        const auto& colours = patchColours();
        for (std::size_t i = 0; i < colours.size(); ++i) {
            const Rgb got = stripeMean(back, static_cast<int>(i), static_cast<int>(colours.size()));
            EXPECT_LE(colourDistance(got, colours[i]), c.tolerance) << "stripe " << i;
        }
    }
}

TEST(Encode, AlphaIsKeptWhereTheFormatHasItAndFlattenedOntoWhiteForJpeg)
{
    const Image image = patches(true);
    for (const char* format : {"png", "tiff", "heic"}) {
        SCOPED_TRACE(format);
        const vips::VImage back = decode(*encodeImage(image, format, 0.9));
        ASSERT_EQ(back.bands(), 4);
        EXPECT_NEAR(regionMean(back, 10, 10, 20, 20)[3], 255, 1);
        EXPECT_NEAR(regionMean(back, 130, 10, 20, 20)[3], 0, 1);
    }
    const vips::VImage jpeg = decode(*encodeImage(image, "jpg", 0.9));
    ASSERT_EQ(jpeg.bands(), 3);
    // Opaque red on the left stays red; the transparent right half reads white.
    const std::vector<double> left = regionMean(jpeg, 4, 10, 10, 20);
    EXPECT_NEAR(left[0], 230, 8);
    EXPECT_NEAR(left[1], 30, 8);
    const std::vector<double> right = regionMean(jpeg, 124, 10, 10, 20);
    for (double v : right) {
        EXPECT_NEAR(v, 255, 3);
    }
}
