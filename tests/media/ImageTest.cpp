#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "media/Encode.hpp"
#include "media/Image.hpp"
#include "media/Thumbnail.hpp"
#include "tests/support/ImageFixtures.hpp"
#include "tests/support/TestMedia.hpp"

using namespace quillon;
using namespace quillon::test;

namespace {

constexpr int kStripes = 8;

// Loads a file at full size the way image export does.
Image loadFull(const std::filesystem::path& file)
{
    std::optional<Image> image = loadImageOriented(file, 100000);
    EXPECT_TRUE(image.has_value()) << file;
    return image.value_or(Image());
}

void expectInvariant(const Image& image, int channels)
{
    ASSERT_FALSE(image.empty());
    EXPECT_EQ(image.pixels().format(), VIPS_FORMAT_UCHAR);
    EXPECT_EQ(image.pixels().interpretation(), VIPS_INTERPRETATION_sRGB);
    EXPECT_EQ(image.channels(), channels);
    EXPECT_EQ(image.pixels().get_typeof(VIPS_META_ICC_NAME), 0u);
    EXPECT_EQ(image.pixels().get_typeof(VIPS_META_ORIENTATION), 0u);
}

// Every stripe in `indices` of the patch picture must come back within `tolerance` levels.
void expectPatchColours(const vips::VImage& image, const std::vector<int>& indices, double tolerance)
{
    for (int i : indices) {
        const Rgb got = stripeMean(image, i, kStripes);
        EXPECT_LE(colourDistance(got, patchColours()[static_cast<std::size_t>(i)]), tolerance)
            << "stripe " << i << " came back as " << got[0] << "," << got[1] << "," << got[2];
    }
}

const std::vector<int> kAllStripes{0, 1, 2, 3, 4, 5, 6, 7};

}  // namespace

TEST(Image, FromPixelsCopiesTightAndPaddedRows)
{
    // 3x2 RGB with 4 bytes of padding per row; the padding must not leak into the picture.
    std::vector<std::uint8_t> rows = {
        1, 2, 3, 4, 5, 6, 7, 8, 9, 0xEE, 0xEE, 0xEE, 0xEE,
        10, 11, 12, 13, 14, 15, 16, 17, 18, 0xEE, 0xEE, 0xEE, 0xEE,
    };
    std::optional<Image> padded = Image::fromPixels(rows.data(), 3, 2, 13, 3);
    ASSERT_TRUE(padded.has_value());
    expectInvariant(*padded, 3);
    rows[0] = 99;  // the image owns a copy
    EXPECT_EQ(padded->pixels().getpoint(0, 0)[0], 1);
    EXPECT_EQ(padded->pixels().getpoint(2, 1)[2], 18);

    const std::vector<std::uint8_t> rgba = {1, 2, 3, 4, 5, 6, 7, 8};
    std::optional<Image> tight = Image::fromPixels(rgba.data(), 2, 1, 8, 4);
    ASSERT_TRUE(tight.has_value());
    EXPECT_EQ(tight->channels(), 4);
    EXPECT_EQ(tight->pixels().getpoint(1, 0)[3], 8);
}

TEST(Image, FromPixelsRefusesBadArguments)
{
    const std::vector<std::uint8_t> data(64, 0);
    EXPECT_FALSE(Image::fromPixels(nullptr, 2, 2, 6, 3));
    EXPECT_FALSE(Image::fromPixels(data.data(), 0, 2, 6, 3));
    EXPECT_FALSE(Image::fromPixels(data.data(), 2, -1, 6, 3));
    EXPECT_FALSE(Image::fromPixels(data.data(), 2, 2, 5, 3));  // rows shorter than the pixels
    EXPECT_FALSE(Image::fromPixels(data.data(), 2, 2, 8, 2));
    EXPECT_FALSE(Image::fromPixels(data.data(), 100000, 100000, 300000, 3));
}

TEST(Image, FromVipsConvertsGreySixteenBitAndFloatPictures)
{
    // Grey, grey with alpha, 16-bit RGB and a float picture all arrive as 8-bit sRGB.
    vips::VImage grey = vips::VImage::black(8, 8).new_from_image(std::vector<double>{77}).cast(VIPS_FORMAT_UCHAR)
                            .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_B_W));
    std::optional<Image> fromGrey = Image::fromVips(grey);
    ASSERT_TRUE(fromGrey);
    expectInvariant(*fromGrey, 3);
    EXPECT_EQ(fromGrey->pixels().getpoint(3, 3), (std::vector<double>{77, 77, 77}));

    std::optional<Image> fromGreyAlpha = Image::fromVips(grey.bandjoin_const({128}));
    ASSERT_TRUE(fromGreyAlpha);
    expectInvariant(*fromGreyAlpha, 4);
    EXPECT_EQ(fromGreyAlpha->pixels().getpoint(3, 3), (std::vector<double>{77, 77, 77, 128}));

    vips::VImage sixteen = (patchImage(160, 16).cast(VIPS_FORMAT_USHORT) * 257)
                               .cast(VIPS_FORMAT_USHORT)
                               .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_RGB16));
    std::optional<Image> fromSixteen = Image::fromVips(sixteen);
    ASSERT_TRUE(fromSixteen);
    expectInvariant(*fromSixteen, 3);
    expectPatchColours(fromSixteen->pixels(), kAllStripes, 1);

    vips::VImage unlabelled = patchImage(160, 16).copy(
        vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_MULTIBAND));
    std::optional<Image> fromUnlabelled = Image::fromVips(unlabelled);
    ASSERT_TRUE(fromUnlabelled);
    expectPatchColours(fromUnlabelled->pixels(), kAllStripes, 0);

    EXPECT_FALSE(Image::fromVips(vips::VImage()));
}

class ImageFiles : public ::testing::Test {
protected:
    // One folder per test: CTest runs the tests of this fixture in parallel processes.
    void SetUp() override
    {
        dir_ = freshDir(std::string("image-files-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    std::filesystem::path dir_;
};

TEST_F(ImageFiles, CmykJpegWithAndWithoutProfileBecomesSrgb)
{
    const vips::VImage cmyk = patchImage(160, 48).icc_transform(
        "cmyk", vips::VImage::option()->set("input_profile", "srgb")->set("intent", VIPS_INTENT_RELATIVE));
    ASSERT_EQ(cmyk.interpretation(), VIPS_INTERPRETATION_CMYK);
    cmyk.jpegsave((dir_ / "profiled.jpg").c_str(), vips::VImage::option()->set("Q", 98));
    cmyk.jpegsave((dir_ / "bare.jpg").c_str(), vips::VImage::option()->set("Q", 98)->set("strip", true));
    ASSERT_EQ(vips::VImage::new_from_file((dir_ / "bare.jpg").c_str()).get_typeof(VIPS_META_ICC_NAME), 0u);

    // Colours inside the printing gamut (white, grey, skin) come back close; saturated primaries,
    // the light sky blue and pure black are outside it and only keep their hue.
    for (const char* name : {"profiled.jpg", "bare.jpg"}) {
        SCOPED_TRACE(name);
        const Image image = loadFull(dir_ / name);
        expectInvariant(image, 3);
        expectPatchColours(image.pixels(), {3, 5, 6}, 10);
        const Rgb red = stripeMean(image.pixels(), 0, kStripes);
        EXPECT_GT(red[0], red[1] + 100);
        EXPECT_GT(red[0], red[2] + 100);

        // The same file opened directly still has CMYK pixels, which fromVips converts itself.
        std::optional<Image> direct = Image::fromVips(vips::VImage::new_from_file((dir_ / name).c_str()));
        ASSERT_TRUE(direct);
        expectInvariant(*direct, 3);
        expectPatchColours(direct->pixels(), {3, 5, 6}, 10);
    }
}

TEST_F(ImageFiles, SixteenBitPalettedGreyAndAlphaPngs)
{
    (patchImage(160, 48).cast(VIPS_FORMAT_USHORT) * 257)
        .cast(VIPS_FORMAT_USHORT)
        .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_RGB16))
        .pngsave((dir_ / "sixteen.png").c_str());
    ASSERT_EQ(vips::VImage::new_from_file((dir_ / "sixteen.png").c_str()).format(), VIPS_FORMAT_USHORT);
    const Image sixteen = loadFull(dir_ / "sixteen.png");
    expectInvariant(sixteen, 3);
    expectPatchColours(sixteen.pixels(), kAllStripes, 1);

    patchImage(160, 48, true).pngsave((dir_ / "rgba.png").c_str());
    ASSERT_EQ(run("convert " + shellQuote((dir_ / "rgba.png").string()) + " PNG8:" +
                  shellQuote((dir_ / "palette.png").string())), 0);
    ASSERT_EQ(capture("exiftool -s3 -ColorType " + shellQuote((dir_ / "palette.png").string())), "Palette\n");
    for (const char* name : {"rgba.png", "palette.png"}) {
        SCOPED_TRACE(name);
        const Image image = loadFull(dir_ / name);
        expectInvariant(image, 4);
        // Only the left (opaque) half has meaningful colours.
        expectPatchColours(image.pixels(), {0, 1, 2, 3}, 3);
        EXPECT_NEAR(regionMean(image.pixels(), 10, 10, 20, 20)[3], 255, 0.5);
        EXPECT_NEAR(regionMean(image.pixels(), 130, 10, 20, 20)[3], 0, 0.5);
    }

    patchImage(160, 48).colourspace(VIPS_INTERPRETATION_B_W).pngsave((dir_ / "grey.png").c_str());
    const Image grey = loadFull(dir_ / "grey.png");
    expectInvariant(grey, 3);
    const Rgb g = stripeMean(grey.pixels(), 5, kStripes);
    EXPECT_NEAR(g[0], 128, 1);
    EXPECT_EQ(g[0], g[1]);
    EXPECT_EQ(g[1], g[2]);
}

TEST_F(ImageFiles, WideGamutProfileIsAppliedAndSurvivesEveryOutputFormat)
{
    // The patch colours stored as Display P3 numbers with the P3 profile embedded: read as plain
    // sRGB they would look washed out, so the profile must be applied.
    const vips::VImage p3 = patchImage(160, 48).icc_transform(
        "p3", vips::VImage::option()->set("input_profile", "srgb")->set("intent", VIPS_INTENT_RELATIVE));
    ASSERT_NE(p3.get_typeof(VIPS_META_ICC_NAME), 0u);
    const Rgb storedRed = stripeMean(p3, 0, kStripes);
    ASSERT_GT(colourDistance(storedRed, patchColours()[0]), 15) << "P3 numbers should differ from sRGB";
    p3.pngsave((dir_ / "p3.png").c_str());
    p3.jpegsave((dir_ / "p3.jpg").c_str(), vips::VImage::option()->set("Q", 98));

    for (const char* name : {"p3.png", "p3.jpg"}) {
        SCOPED_TRACE(name);
        const Image image = loadFull(dir_ / name);
        expectInvariant(image, 3);
        expectPatchColours(image.pixels(), kAllStripes, 6);

        struct Out {
            const char* format;
            double tolerance;
        };
        for (const Out& out : {Out{"png", 6}, Out{"tiff", 6}, Out{"jpg", 12}, Out{"heic", 16}}) {
            SCOPED_TRACE(out.format);
            const std::filesystem::path written = dir_ / (std::string("out.") + extForFormat(out.format));
            const Bytes bytes = *encodeImage(image, out.format, 0.9);
            writeFileBytes(written, bytes.data(), bytes.size());
            const Image back = loadFull(written);
            expectPatchColours(back.pixels(), kAllStripes, out.tolerance);
        }
    }
}
