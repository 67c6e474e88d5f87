#include <functional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "media/Encode.hpp"
#include "media/Thumbnail.hpp"
#include "tests/support/Fixtures.hpp"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

vips::VImage inProfile(const char* profile)
{
    return patchImage(160, 48).icc_transform(
        profile, vips::VImage::option()->set("input_profile", "srgb")->set("intent", VIPS_INTENT_RELATIVE));
}

void saveJpeg(const vips::VImage& picture, const fs::path& file, bool withoutProfile = false)
{
    picture.jpegsave(file.c_str(), vips::VImage::option()->set("Q", 98)->set("strip", withoutProfile));
}

std::string sizeText(double width, double height)
{
    return std::to_string(int(width)) + "x" + std::to_string(int(height));
}

std::string headerSize(const fs::path& file)
{
    const auto size = imagePixelSize(file);
    return size ? sizeText(size->width, size->height) : "none";
}

// A JPEG whose top-left quarter is red and the rest blue, with the given orientation tag (0: none),
// camera metadata and GPS.
void writeTaggedJpeg(const fs::path& file, int orientation)
{
    const vips::VImage xy = vips::VImage::xyz(40, 30);
    saveJpeg(((xy[0] < 20) & (xy[1] < 15)).ifthenelse(std::vector<double>{230, 20, 20}, std::vector<double>{20, 40, 220})
                 .cast(VIPS_FORMAT_UCHAR).copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB)),
             file, true);
    ASSERT_EQ(run("exiftool -q -overwrite_original -Make=Quillontest -GPSLatitude=48.85 -GPSLatitudeRef=N "
                  "-XMP-dc:Creator=Fixture -Orientation#=" + std::to_string(orientation) + " " + shellQuote(file.string())), 0);
}

// The colours of the four corners (top left, top right, bottom left, bottom right) as letters.
std::string corners(const Image& image)
{
    const int l = image.width() / 8, r = image.width() - 1 - l, t = image.height() / 8, b = image.height() - 1 - t;
    return {colourLetter(image, l, t), colourLetter(image, r, t), colourLetter(image, l, b), colourLetter(image, r, b)};
}

}  // namespace

TEST(ImageFiles, PhotosOfEveryKindAreDecodedTo8BitSrgbWithTheirColours)
{
    const fs::path dir = freshDir("image-kinds");
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> write;
        int channels;
        std::vector<int> stripes;  // CMYK cannot hold the saturated ones; with alpha, the opaque half
        double tolerance;
    };
    const Case cases[] = {
        {"cmyk.jpg", [](const fs::path& f) { saveJpeg(inProfile("cmyk"), f); }, 3, {3, 5, 6}, 10},
        {"cmyk-bare.jpg", [](const fs::path& f) { saveJpeg(inProfile("cmyk"), f, true); }, 3, {3, 5, 6}, 10},
        {"p3.jpg", [](const fs::path& f) { saveJpeg(inProfile("p3"), f); }, 3, kAllStripes, 6},
        {"p3.png", [](const fs::path& f) { inProfile("p3").pngsave(f.c_str()); }, 3, kAllStripes, 6},
        {"16bit.png", [](const fs::path& f) { patchImage(160, 48).colourspace(VIPS_INTERPRETATION_RGB16).pngsave(f.c_str()); },
         3, kAllStripes, 1},
        {"grey.png", [](const fs::path& f) { patchImage(160, 48).colourspace(VIPS_INTERPRETATION_B_W).pngsave(f.c_str()); },
         3, {3, 4, 5}, 1},
        {"rgba.png", [](const fs::path& f) { patchImage(160, 48, true).pngsave(f.c_str()); }, 4, {0, 1, 2, 3}, 3},
        {"palette.png", [&](const fs::path& f) { run("convert " + shellQuote((dir / "rgba.png").string()) + " PNG8:" + f.string()); },
         4, {0, 1, 2, 3}, 3},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        c.write(dir / c.name);
        const Image image = loadImageOriented(dir / c.name, 100000).value_or(Image());
        ASSERT_FALSE(image.empty());
        EXPECT_EQ(image.pixels().format(), VIPS_FORMAT_UCHAR);
        EXPECT_EQ(image.pixels().interpretation(), VIPS_INTERPRETATION_sRGB);
        EXPECT_EQ(image.pixels().get_typeof(VIPS_META_ICC_NAME), 0u);
        EXPECT_EQ(image.channels(), c.channels);
        EXPECT_LE(patchError(image.pixels(), c.stripes), c.tolerance);
        if (c.channels == 4) {
            EXPECT_NEAR(regionMean(image.pixels(), 10, 10, 20, 20)[3], 255, 0.5);
            EXPECT_NEAR(regionMean(image.pixels(), 130, 10, 20, 20)[3], 0, 0.5);
        }
    }
    // The P3 numbers really differ from sRGB, so reading them as sRGB would have failed above.
    EXPECT_GT(patchError(inProfile("p3")), 15);
    EXPECT_EQ(capture("exiftool -s3 -ColorType " + shellQuote((dir / "palette.png").string())), "Palette\n");
}

TEST(ImageFiles, EveryImageExtensionIsReadable)
{
    const fs::path dir = freshDir("image-extensions");
    const vips::VImage picture = patchImage(160, 48);
    picture.pngsave((dir / "source.png").c_str());
    for (const std::string ext : {"png", "jpg", "jpeg", "tiff", "tif", "heic", "heif", "bmp", "webp", "jp2", "psd"}) {
        SCOPED_TRACE(ext);
        const fs::path file = dir / ("picture." + ext);
        if (ext == "bmp" || ext == "psd")
            ASSERT_EQ(run("convert " + shellQuote((dir / "source.png").string()) + " " + shellQuote(file.string())), 0);
        else if (ext == "webp" || ext == "jp2")
            picture.write_to_file(file.c_str(), vips::VImage::option()->set("lossless", true));
        else if (ext == "heic" || ext == "heif")
            picture.heifsave(file.c_str(), vips::VImage::option()->set("compression", VIPS_FOREIGN_HEIF_COMPRESSION_HEVC));
        else
            picture.write_to_file(file.c_str());
        EXPECT_EQ(headerSize(file), "160x48");
        const auto image = loadImageOriented(file, 160);
        ASSERT_TRUE(image) << "pixels not readable";
        ASSERT_EQ(image->width(), 160);
        const double tolerance = (ext == "jpg" || ext == "jpeg") ? 10 : (ext == "heic" || ext == "heif") ? 16 : 0;
        EXPECT_LE(patchError(image->pixels()), tolerance);
    }
}

TEST(ImageFiles, EveryOrientationIsTurnedUprightAndReduced)
{
    const fs::path dir = freshDir("image-orientation");
    const char* upright[] = {"", "RBBB", "BRBB", "BBBR", "BBRB", "RBBB", "BRBB", "BBBR", "BBRB"};  // by orientation tag
    for (int orientation = 1; orientation <= 8; ++orientation) {
        SCOPED_TRACE("orientation " + std::to_string(orientation));
        const fs::path file = dir / ("o" + std::to_string(orientation) + ".jpg");
        writeTaggedJpeg(file, orientation);
        const bool turned = orientation >= 5;
        EXPECT_EQ(headerSize(file), turned ? "30x40" : "40x30");
        const Image full = loadImageOriented(file, 1000).value_or(Image());  // never enlarged
        EXPECT_EQ(sizeText(full.width(), full.height()), turned ? "30x40" : "40x30");
        EXPECT_EQ(corners(full), upright[orientation]);
        const Image small = loadImageOriented(file, 20).value_or(Image());
        EXPECT_EQ(sizeText(small.width(), small.height()), turned ? "15x20" : "20x15");
        EXPECT_EQ(corners(small), upright[orientation]);
    }
}

TEST(ImageFiles, WrittenFilesAreUprightWithoutSourceMetadata)
{
    const fs::path dir = freshDir("image-written");
    writeTaggedJpeg(dir / "tagged.jpg", 6);
    ASSERT_NE(capture("exiftool -s3 -GPSLatitude " + shellQuote((dir / "tagged.jpg").string())), "");
    const auto upright = loadImageOriented(dir / "tagged.jpg", 40);
    ASSERT_TRUE(upright);
    for (const char* format : {"jpg", "png", "tiff", "heic"}) {
        SCOPED_TRACE(format);
        const fs::path out = dir / ("out." + extForFormat(format));
        writeBytes(out, *encodeImage(*upright, format, 0.9));
        EXPECT_EQ(capture("exiftool -s -s -GPSLatitude -Make -Creator " + shellQuote(out.string())), "");
        // A TIFF always records its row order; "as stored" (1) is the only orientation allowed.
        const std::string orientation = capture("exiftool -s3 -n -Orientation " + shellQuote(out.string()));
        EXPECT_TRUE(orientation.empty() || orientation == "1\n") << orientation;
        const Image back(vips::VImage::new_from_file(out.c_str()));
        EXPECT_EQ(sizeText(back.width(), back.height()), "30x40");
        EXPECT_EQ(corners(back), "BRBB");
    }
}

TEST(ThumbnailDataURL, ReducesToTheExactRoundedSizeKeepingColours)
{
    struct Case {
        int width, height, limit, expectedWidth, expectedHeight;
    };
    for (const Case& c : {Case{4000, 3000, 360, 360, 270}, Case{3000, 4000, 360, 270, 360}, Case{5000, 3, 360, 360, 1},
                          Case{1000, 10, 360, 360, 4}, Case{32, 8, 0, 16, 4}, Case{200, 100, 360, 200, 100},
                          Case{1001, 999, 360, 360, 359}, Case{1920, 1080, 360, 360, 203}}) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " at " + std::to_string(c.limit));
        const vips::VImage picture = previewPicture(thumbnailDataURL(Image(patchImage(c.width, c.height)), c.limit));
        ASSERT_NE(picture.get_image(), nullptr) << "not a JPEG data URL";
        EXPECT_EQ(picture.width(), c.expectedWidth);
        EXPECT_EQ(picture.height(), c.expectedHeight);
        if (c.height >= 100) {
            EXPECT_LE(patchError(picture), 10);
        }
    }
    EXPECT_EQ(thumbnailDataURL(Image(), 360), "");
    // Transparent pixels show the window's dark background (the right half here).
    const vips::VImage transparent = previewPicture(thumbnailDataURL(Image(patchImage(1600, 480, true)), 360));
    ASSERT_EQ(transparent.bands(), 3);
    EXPECT_LE(patchError(transparent, {0, 1, 2, 3}), 10);
    for (double level : regionMean(transparent, 240, 30, 100, 60))
        EXPECT_NEAR(level, 15, 5);
}
