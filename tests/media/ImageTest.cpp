#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "media/Encode.hpp"
#include "media/EncodeDetail.hpp"
#include "media/Thumbnail.hpp"
#include "tests/support/Fixtures.hpp"

using namespace quillon;
using namespace quillon::test;
namespace fs = std::filesystem;

namespace {

vips::VImage decode(const Bytes& bytes)
{
    return vips::VImage::new_from_buffer(bytes.data(), bytes.size(), "").copy_memory();
}

vips::VImage inProfile(const char* profile)
{
    return patchImage(160, 48).icc_transform(
        profile, vips::VImage::option()->set("input_profile", "srgb")->set("intent", VIPS_INTENT_RELATIVE));
}

std::string headerSize(const fs::path& file)
{
    const auto size = imagePixelSize(file);
    return size ? sizeText(size->width, size->height) : "none";
}

// A JPEG whose top-left quarter is red and the rest blue, with an orientation tag, camera
// metadata and GPS.
void writeTaggedJpeg(const fs::path& file, int orientation)
{
    const vips::VImage xy = vips::VImage::xyz(40, 30);
    ((xy[0] < 20) & (xy[1] < 15))
        .ifthenelse(std::vector<double>{230, 20, 20}, std::vector<double>{20, 40, 220})
        .cast(VIPS_FORMAT_UCHAR)
        .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
        .write_to_file((file.string() + "[Q=98,strip]").c_str());
    ASSERT_EQ(run("exiftool -q -overwrite_original -Make=Quillontest -GPSLatitude=48.85 -GPSLatitudeRef=N "
                  "-XMP-dc:Creator=Fixture -Orientation#=" +
                  std::to_string(orientation) + " " + shellQuote(file.string())),
              0);
}

}  // namespace

TEST(Encode, FormatNamesSelectTheEncoderKeepingColoursAndTransparency)
{
    const Image opaque(patchImage(160, 48)),
        transparent(patchImage(160, 48, true));  // right half transparent
    struct Case {
        const char *name, *loader, *ext;
        int bands;
        double tolerance;  // lossless formats are exact; HEIC subsamples chroma and goes through YCbCr twice
    };
    for (const Case& c :
         {Case{"Jpg", "jpegload_buffer", "jpg", 3, 8}, Case{"JPEG", "jpegload_buffer", "jpg", 3, 8},
          Case{"PNG", "pngload_buffer", "png", 4, 0}, Case{"tif", "tiffload_buffer", "tiff", 4, 0},
          Case{"TIFF", "tiffload_buffer", "tiff", 4, 0}, Case{"heic", "heifload_buffer", "heic", 4, 12},
          Case{"HEIF", "heifload_buffer", "heic", 4, 12}, Case{"WebP", "webpload_buffer", "webp", 4, 8},
          Case{"avif", "heifload_buffer", "avif", 4, 12}, Case{"gif", "pngload_buffer", "png", 4, 0},
          Case{"", "pngload_buffer", "png", 4, 0}}) {
        SCOPED_TRACE(std::string("format \"") + c.name + "\"");
        EXPECT_EQ(extForFormat(c.name), c.ext);
        const vips::VImage back = decode(encodeImage(opaque, c.name, 0.9).value_or(Bytes()));
        EXPECT_EQ(back.get_string("vips-loader"), std::string(c.loader));
        EXPECT_EQ(back.width(), 160);
        EXPECT_LE(patchError(back), c.tolerance);
        // Alpha is kept where the format has it; JPEG shows transparent pixels on white.
        const vips::VImage clear = decode(encodeImage(transparent, c.name, 0.9).value_or(Bytes()));
        ASSERT_EQ(clear.bands(), c.bands);
        EXPECT_LE(patchError(clear, {0, 1, 2, 3}), c.tolerance);
        const std::vector<double> right = regionMean(clear, 124, 10, 20, 20);
        if (c.bands == 4) {
            EXPECT_NEAR(right[3], 0, 1);
        } else {
            for (double v : right)
                EXPECT_NEAR(v, 255, 3);
        }
    }
    EXPECT_FALSE(encodeImage(Image(), "jpg", 0.8));
    const auto tiff = freshDir("encode-tiff") / "out.tiff";
    writeBytes(tiff, *encodeImage(opaque, "tiff", 0.5));
    EXPECT_EQ(capture("exiftool -s3 -Compression " + shellQuote(tiff.string())), "LZW\n");
}

TEST(Encode, QualityIsClampedAndAFailedHeicBecomesJpegOfAtLeastPointNine)
{
    const Image image(patchImage(160, 48));
    for (const char* format : {"jpg", "heic", "avif"}) {
        SCOPED_TRACE(format);
        const Bytes best = *encodeImage(image, format, 1.0), worst = *encodeImage(image, format, 0.0);
        EXPECT_LT(worst.size(), best.size());
        EXPECT_EQ(*encodeImage(image, format, 1.7), best);
        EXPECT_EQ(*encodeImage(image, format, std::numeric_limits<double>::quiet_NaN()), best);
        EXPECT_EQ(*encodeImage(image, format, -0.2), worst);
    }
    const auto failing = [](const Image&, int) -> std::optional<Bytes> { return std::nullopt; };
    EXPECT_EQ(detail::encodeImageWith(image, "heic", 0.5, failing).value_or(Bytes()),
              *encodeImage(image, "jpg", 0.9));
    EXPECT_EQ(detail::encodeImageWith(image, "HEIF", 0.95, failing).value_or(Bytes()),
              *encodeImage(image, "jpg", 0.95));
}

// WebP is lossless at the highest quality only; AVIF files are what other tools take for AVIF.
TEST(Encode, WebpIsLosslessAtTheTopOfTheScaleAndAvifIsAv1)
{
    const Image noisy(
        vips::VImage::gaussnoise(96, 64, vips::VImage::option()->set("mean", 128)->set("sigma", 40))
            .cast(VIPS_FORMAT_UCHAR)
            .bandjoin(patchImage(96, 64)[1])
            .bandjoin(patchImage(96, 64)[2])
            .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
            .copy_memory());
    const fs::path dir = freshDir("encode-webp-avif");
    for (const auto& [quality, exact] :
         std::vector<std::pair<double, bool>>{{1.0, true}, {0.99, false}, {0.5, false}}) {
        SCOPED_TRACE(quality);
        const fs::path webp = dir / "out.webp";
        writeBytes(webp, *encodeImage(noisy, "webp", quality));
        // Decoded by the vips command, not by the process that encoded it.
        ASSERT_EQ(
            run("vips copy " + shellQuote(webp.string()) + " " + shellQuote((dir / "back.png").string())), 0);
        EXPECT_EQ(
            samePixels(Image(vips::VImage::new_from_file((dir / "back.png").c_str()).copy_memory()), noisy),
            exact);
    }
    EXPECT_LT(encodeImage(noisy, "webp", 0.5)->size(), encodeImage(noisy, "webp", 0.99)->size());
    const fs::path avif = dir / "out.avif";
    writeBytes(avif, *encodeImage(noisy, "AVIF", 0.8));
    EXPECT_EQ(capture("exiftool -s3 -MajorBrand " + shellQuote(avif.string())),
              "AV1 Image File Format (.AVIF)\n");
    EXPECT_EQ(
        capture("heif-info " + shellQuote(avif.string()) + " | sed -n 's/^image: \\([0-9x]*\\).*/\\1/p'"),
        "96x64\n");
}

TEST(Encode, ColourIsHalvedBelowTheHighestQualityOnly)
{
    const Image image(patchImage(160, 48));
    const fs::path dir = freshDir("encode-chroma");
    for (const auto& [quality, jpegChroma, hevcChroma] :
         std::vector<std::tuple<double, std::string, std::string>>{
             {0.9, "4:2:0", "1"}, {0.99, "4:2:0", "1"}, {1.0, "4:4:4", "3"}}) {
        SCOPED_TRACE(quality);
        EXPECT_EQ(decode(*encodeImage(image, "jpg", quality)).get_string("jpeg-chroma-subsample"),
                  jpegChroma);
        const fs::path heic = dir / "out.heic";
        writeBytes(heic, *encodeImage(image, "heic", quality));
        // chroma_format_idc of the HEVC stream: 1 is 4:2:0, 3 is 4:4:4.
        EXPECT_EQ(capture("heif-info -d " + shellQuote(heic.string()) + " | sed -n 's/.*chroma_format: //p'"),
                  hevcChroma + "\n");
    }
}

TEST(ImageFiles, PhotosOfEveryKindAreDecodedTo8BitSrgbWithTheirColours)
{
    const fs::path dir = freshDir("image-kinds");
    struct Case {
        const char *file, *saveOptions;
        vips::VImage picture;  // none: made from the one before by ImageMagick
        int channels;
        std::vector<int> stripes;  // CMYK cannot hold the saturated ones; with alpha, the opaque half
        double tolerance;
    };
    const vips::VImage opaque = patchImage(160, 48);
    for (const Case& c :
         {Case{"cmyk.jpg", "[Q=98]", inProfile("cmyk"), 3, {3, 5, 6}, 10},
          Case{"bare-cmyk.jpg", "[Q=98,strip]", inProfile("cmyk"), 3, {3, 5, 6}, 10},
          Case{"p3.jpg", "[Q=98]", inProfile("p3"), 3, kAllStripes, 6},
          Case{"p3.png", "", inProfile("p3"), 3, kAllStripes, 6},
          Case{"16bit.png", "", opaque.colourspace(VIPS_INTERPRETATION_RGB16), 3, kAllStripes, 1},
          Case{"grey.png", "", opaque.colourspace(VIPS_INTERPRETATION_B_W), 3, {3, 4, 5}, 1},
          Case{"rgba.png", "", patchImage(160, 48, true), 4, {0, 1, 2, 3}, 3},
          Case{"palette.png", "", vips::VImage(), 4, {0, 1, 2, 3}, 3}}) {
        SCOPED_TRACE(c.file);
        if (c.picture.get_image())
            c.picture.write_to_file(((dir / c.file).string() + c.saveOptions).c_str());
        else
            ASSERT_EQ(run("convert " + shellQuote((dir / "rgba.png").string()) +
                          " PNG8:" + (dir / c.file).string()),
                      0);
        const Image image = loadImageOriented(dir / c.file, 100000).value_or(Image());
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
    patchImage(160, 48).write_to_file((dir / "picture.png").c_str());
    for (const auto& [ext, tolerance] : std::vector<std::pair<std::string, double>>{{"png", 0},
                                                                                    {"jpg", 10},
                                                                                    {"jpeg", 10},
                                                                                    {"tiff", 0},
                                                                                    {"tif", 0},
                                                                                    {"heic", 16},
                                                                                    {"heif", 16},
                                                                                    {"bmp", 0},
                                                                                    {"webp[lossless]", 0},
                                                                                    {"jp2[lossless]", 0},
                                                                                    {"psd", 0},
                                                                                    {"avif", 16}}) {
        SCOPED_TRACE(ext);
        const fs::path file = dir / ("picture." + ext.substr(0, ext.find('[')));
        if (ext == "bmp" || ext == "psd")
            ASSERT_EQ(run("convert " + shellQuote((dir / "picture.png").string()) + " " +
                          shellQuote(file.string())),
                      0);
        else
            patchImage(160, 48).write_to_file((dir.string() + "/picture." + ext).c_str());
        EXPECT_EQ(headerSize(file), "160x48");
        const Image image = loadImageOriented(file, 160).value_or(Image());
        ASSERT_EQ(image.width(), 160) << "pixels not readable";
        EXPECT_LE(patchError(image.pixels()), tolerance);
    }
}

// Conversion to a longest side: exact sizes whichever side is longer and whatever the orientation
// tag, shrink-on-load for JPEG and plain reduction for PNG giving what vipsthumbnail gives, and
// pictures that already fit never enlarged.
TEST(ImageFiles, ReducedToALongestSideLikeVipsthumbnail)
{
    const fs::path dir = freshDir("image-reduced");
    patchImage(1000, 750).write_to_file((dir / "wide.jpg").string().append("[Q=95]").c_str());
    patchImage(750, 1000).write_to_file((dir / "tall.png").c_str());
    patchImage(1000, 750, true).write_to_file((dir / "alpha.png").c_str());
    patchImage(1000, 750).colourspace(VIPS_INTERPRETATION_RGB16).write_to_file((dir / "deep.png").c_str());
    writeTaggedJpeg(dir / "turned.jpg", 6);  // 40x30 stored, shown 30x40
    struct Case {
        const char* file;
        int maxSide;
        const char* size;
        VipsBandFormat format;
    };
    for (const Case& c : {Case{"wide.jpg", 240, "240x180", VIPS_FORMAT_UCHAR},
                          Case{"tall.png", 240, "180x240", VIPS_FORMAT_UCHAR},
                          Case{"alpha.png", 333, "333x250", VIPS_FORMAT_UCHAR},
                          Case{"deep.png", 200, "200x150", VIPS_FORMAT_USHORT},
                          Case{"wide.jpg", 1000, "1000x750", VIPS_FORMAT_UCHAR},
                          Case{"turned.jpg", 20, "15x20", VIPS_FORMAT_UCHAR},
                          Case{"turned.jpg", 4000, "30x40", VIPS_FORMAT_UCHAR}}) {
        SCOPED_TRACE(std::string(c.file) + " to " + std::to_string(c.maxSide));
        const std::optional<Image> reduced = loadImageReduced(dir / c.file, c.maxSide);
        ASSERT_TRUE(reduced);
        EXPECT_EQ(sizeText(reduced->width(), reduced->height()), c.size);
        EXPECT_EQ(reduced->pixels().format(), c.format);
        if (std::string(c.file) == "turned.jpg") {
            EXPECT_EQ(quarterColours(*reduced), "BRBB");
            continue;
        }
        // Against vipsthumbnail's own result at that size: a plain average or a point sample would
        // differ at every stripe edge.
        const fs::path peer = dir / "peer.png";
        ASSERT_EQ(run("vipsthumbnail " + shellQuote((dir / c.file).string()) + " --size " +
                      std::to_string(c.maxSide) + " -o " + shellQuote(peer.string())),
                  0);
        const vips::VImage theirs = vips::VImage::new_from_file(peer.c_str()).copy_memory();
        ASSERT_EQ(sizeText(theirs.width(), theirs.height()), c.size);
        vips::VImage ours = reduced->pixels();
        if (ours.format() == VIPS_FORMAT_USHORT)
            ours = (ours >> 8).cast(VIPS_FORMAT_UCHAR);
        const vips::VImage difference = (ours.cast(VIPS_FORMAT_INT) - theirs.cast(VIPS_FORMAT_INT)).abs();
        // PNG reduces exactly as vipsthumbnail does (up to the 16-bit rounding); JPEG's decoders
        // at 1/4 size differ by a few levels along the stripes' edges.
        EXPECT_LE(difference.avg(), 1.0);
        EXPECT_LE(difference.max(), std::string(c.file).ends_with(".jpg") ? 32 : 1);
    }
    EXPECT_FALSE(loadImageReduced(dir / "missing.jpg", 100));
}

TEST(ImageFiles, EveryOrientationIsTurnedUprightAndReduced)
{
    const fs::path dir = freshDir("image-orientation");
    const char* upright[] = {"",     "RBBB", "BRBB", "BBBR", "BBRB",
                             "RBBB", "BRBB", "BBBR", "BBRB"};  // by orientation tag
    for (int orientation = 1; orientation <= 8; ++orientation) {
        SCOPED_TRACE("orientation " + std::to_string(orientation));
        const fs::path file = dir / ("o" + std::to_string(orientation) + ".jpg");
        writeTaggedJpeg(file, orientation);
        const bool turned = orientation >= 5;
        EXPECT_EQ(headerSize(file), turned ? "30x40" : "40x30");
        const Image full = loadImageOriented(file, 1000).value_or(Image());  // never enlarged
        EXPECT_EQ(sizeText(full.width(), full.height()), turned ? "30x40" : "40x30");
        EXPECT_EQ(quarterColours(full), upright[orientation]);
        const Image small = loadImageOriented(file, 20).value_or(Image());
        EXPECT_EQ(sizeText(small.width(), small.height()), turned ? "15x20" : "20x15");
        EXPECT_EQ(quarterColours(small), upright[orientation]);
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
        EXPECT_EQ(quarterColours(back), "BRBB");
    }
}

TEST(ThumbnailDataURL, ReducesToTheExactRoundedSizeKeepingColours)
{
    for (const auto& [width, height, limit, expected] :
         std::vector<std::tuple<int, int, int, std::string>>{{4000, 3000, 360, "360x270"},
                                                             {3000, 4000, 360, "270x360"},
                                                             {5000, 3, 360, "360x1"},
                                                             {1000, 10, 360, "360x4"},
                                                             {32, 8, 0, "16x4"},
                                                             {200, 100, 360, "200x100"},
                                                             {1001, 999, 360, "360x359"},
                                                             {1920, 1080, 360, "360x203"}}) {
        SCOPED_TRACE(sizeText(width, height) + " at " + std::to_string(limit));
        const vips::VImage picture = previewPicture(
            thumbnailDataURL(Image(patchImage(width, height)), limit));
        EXPECT_EQ(sizeText(picture.width(), picture.height()), expected);
        if (height >= 100) {
            EXPECT_LE(patchError(picture), 10);
        }
    }
    EXPECT_EQ(thumbnailDataURL(Image(), 360), "");
    // Transparent pixels show the window's dark background (the right half here).
    const vips::VImage transparent = previewPicture(
        thumbnailDataURL(Image(patchImage(1600, 480, true)), 360));
    ASSERT_EQ(transparent.bands(), 3);
    EXPECT_LE(patchError(transparent, {0, 1, 2, 3}), 10);
    for (double level : regionMean(transparent, 240, 30, 100, 60))
        EXPECT_NEAR(level, 15, 5);
}

namespace {

// A flat picture in one colour.
vips::VImage flatImage(int width, int height, std::vector<double> colour)
{
    return (vips::VImage::black(width, height, vips::VImage::option()->set("bands", 3)) + colour)
        .cast(VIPS_FORMAT_UCHAR)
        .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

std::string imageSize(const std::optional<Image>& image)
{
    return image ? sizeText(image->width(), image->height()) : "none";
}

}  // namespace

// Files holding several pictures or reduced copies: conversion takes the first picture whole,
// previews reduce from the smallest stored copy that still reaches the limit, never a smaller one.
TEST(ImageFiles, TheFirstPictureIsDecodedWholeWhateverLevelsOrPagesTheFileHolds)
{
    const fs::path dir = freshDir("image-levels");
    const std::string d = dir.string();
    const vips::VImage patch = patchImage(1000, 800);
    patch.write_to_file((d + "/levels.jp2[lossless]").c_str());
    patch.write_to_file((d + "/pages.tif[tile,pyramid,compression=lzw]").c_str());
    patch.write_to_file((d + "/subifds.tif[tile,pyramid,subifd,compression=lzw]").c_str());
    // Reduced copies really are there, or the test would not tell a right level from a wrong one.
    EXPECT_EQ(capture("vipsheader -f n-pages " + shellQuote(d + "/levels.jp2")), "4\n");
    EXPECT_EQ(capture("vipsheader -f n-pages " + shellQuote(d + "/pages.tif")), "4\n");
    EXPECT_EQ(capture("vipsheader -f n-subifds " + shellQuote(d + "/subifds.tif")), "3\n");
    for (const char* name : {"levels.jp2", "pages.tif", "subifds.tif"}) {
        SCOPED_TRACE(name);
        const fs::path file = dir / name;
        EXPECT_EQ(headerSize(file), "1000x800");
        const std::optional<Image> full = loadImageFullSize(file);
        ASSERT_EQ(imageSize(full), "1000x800");
        EXPECT_LE(patchError(full->pixels()), 0);
        for (const auto& [limit, expected] : std::vector<std::pair<int, std::string>>{
                 {1000, "1000x800"}, {2000, "1000x800"}, {360, "360x288"}, {200, "200x160"}, {40, "40x32"}}) {
            SCOPED_TRACE(limit);
            const std::optional<Image> preview = loadImageOriented(file, limit);
            ASSERT_EQ(imageSize(preview), expected);
            if (limit >= 200) {
                EXPECT_LE(patchError(preview->pixels()), 3);
            }
        }
    }

    // Shrink-on-load never leaves less than the limit, however the decoder rounds: 2879 / 8 is
    // just under 360.
    for (const char* name : {"shrink.jpg", "shrink.webp"}) {
        SCOPED_TRACE(name);
        patchImage(2879, 2000).write_to_file((d + "/" + name).c_str());
        const std::optional<Image> preview = loadImageOriented(dir / name, 360);
        ASSERT_EQ(imageSize(preview), "360x250");
        EXPECT_LE(patchError(preview->pixels()), 12);
    }

    // Pages that are separate pictures: red 400x300 then green 200x150 (halving, as a pyramid
    // would), and red, green and blue pages each half the one before.
    const auto multiPage =
        [&](const std::string& name, std::vector<std::pair<int, std::vector<double>>> pages) {
        std::string arguments;
        for (std::size_t i = 0; i < pages.size(); ++i) {
            const std::string page = d + "/page" + std::to_string(i) + ".png";
            flatImage(pages[i].first, pages[i].first * 3 / 4, pages[i].second).write_to_file(page.c_str());
            arguments += shellQuote(page) + " ";
        }
        EXPECT_EQ(run("convert " + arguments + shellQuote(d + "/" + name)), 0);
        return dir / name;
    };
    const std::vector<double> red{220, 20, 20}, green{20, 200, 20}, blue{20, 20, 220};
    const fs::path two = multiPage("two.tif", {{400, red}, {200, green}});
    ASSERT_EQ(capture("vipsheader -f n-pages " + shellQuote(two.string())), "2\n");
    EXPECT_EQ(headerSize(two), "400x300");
    const std::optional<Image> twoFull = loadImageFullSize(two);
    EXPECT_EQ(imageSize(twoFull), "400x300");
    EXPECT_EQ(quarterColours(twoFull.value_or(Image())), "RRRR");
    for (int limit : {360, 100}) {
        const std::optional<Image> preview = loadImageOriented(two, limit);
        EXPECT_EQ(imageSize(preview), limit == 360 ? "360x270" : "100x75");
        EXPECT_EQ(quarterColours(preview.value_or(Image())), "RRRR") << limit;
    }
    // Three halving pages are read as a pyramid: a preview comes from the smallest page that still
    // reaches its limit (blue for 360, green for 500), a conversion always from the first page.
    const fs::path three = multiPage("three.tif", {{1600, red}, {800, green}, {400, blue}});
    EXPECT_EQ(quarterColours(loadImageFullSize(three).value_or(Image())), "RRRR");
    EXPECT_EQ(imageSize(loadImageFullSize(three)), "1600x1200");
    EXPECT_EQ(quarterColours(loadImageOriented(three, 360).value_or(Image())), "BBBB");
    EXPECT_EQ(quarterColours(loadImageOriented(three, 500).value_or(Image())), "GGGG");
    EXPECT_EQ(quarterColours(loadImageOriented(three, 1600).value_or(Image())), "RRRR");
}

// Conversions keep 16 bits per channel and grey in PNG and TIFF, and alpha in PNG, TIFF and HEIC;
// JPEG and HEIC are written at 8 bits in colour. Read back by vipsheader and vips getpoint.
TEST(ImageFiles, ConversionsKeepSixteenBitsGreyAndAlphaWhereTheFormatHoldsThem)
{
    const fs::path dir = freshDir("image-depth");
    // Samples that are not multiples of 257, so that a detour through 8 bits would show.
    const vips::VImage ramp = (vips::VImage::xyz(64, 16)[0] * 1000 + 1234).cast(VIPS_FORMAT_USHORT);
    const auto as = [](vips::VImage image, VipsInterpretation interpretation) {
        return image.copy(vips::VImage::option()->set("interpretation", interpretation));
    };
    const vips::VImage opaque16 = vips::VImage::bandjoin(
        {ramp, (ramp / 2).cast(VIPS_FORMAT_USHORT), (ramp / 3).cast(VIPS_FORMAT_USHORT)});
    struct Source {
        const char* file;
        vips::VImage picture;
        const char* format;  // as vipsheader names it
        int bands;
        const char* sample;  // vips getpoint at (10, 5)
    };
    const Source sources[] = {
        {"rgb16.png", as(opaque16, VIPS_INTERPRETATION_RGB16), "ushort", 3, "11234 5617 3744 "},
        {"rgba16.tif",
         as(opaque16.bandjoin(vips::VImage::black(64, 16).cast(VIPS_FORMAT_USHORT) + 40000)
                .cast(VIPS_FORMAT_USHORT),
            VIPS_INTERPRETATION_RGB16),
         "ushort", 4, "11234 5617 3744 40000 "},
        {"grey16.png", as(ramp, VIPS_INTERPRETATION_GREY16), "ushort", 1, "11234 "},
        {"grey8.png", as((ramp >> 8).cast(VIPS_FORMAT_UCHAR), VIPS_INTERPRETATION_B_W), "uchar", 1, "43 "},
        {"greyalpha.png",
         as((ramp >> 8)
                .cast(VIPS_FORMAT_UCHAR)
                .bandjoin(vips::VImage::black(64, 16) + 100)
                .cast(VIPS_FORMAT_UCHAR),
            VIPS_INTERPRETATION_B_W),
         "uchar", 2, "43 100 "},
    };
    // "64x16 ushort, 3 bands" from vipsheader's "FILE: 64x16 ushort, 3 bands, rgb16, pngload".
    const auto describe = [](const fs::path& file) {
        const std::string line = capture("vipsheader " + shellQuote(file.string()));
        const std::size_t start = line.rfind(": ") + 2;
        return line.substr(start, line.find(',', line.find(',', start) + 1) - start);
    };
    const auto expected = [](const std::string& format, int bands) {
        return "64x16 " + format + ", " + std::to_string(bands) + (bands == 1 ? " band" : " bands");
    };
    for (const Source& source : sources) {
        SCOPED_TRACE(source.file);
        source.picture.write_to_file((dir / source.file).c_str());
        ASSERT_EQ(describe(dir / source.file), expected(source.format, source.bands));
        const std::optional<Image> picture = loadImageFullSize(dir / source.file);
        ASSERT_TRUE(picture) << source.file;
        for (const char* output : {"png", "tiff", "jpg", "heic"}) {
            SCOPED_TRACE(std::string(source.file) + " as " + output);
            const fs::path out = dir / (fs::path(source.file).stem().string() + "-out." + output);
            writeBytes(out, encodeImage(*picture, output, 1.0).value_or(Bytes()));
            const std::string q = shellQuote(out.string());
            const bool deep = std::string(output) == "png" || std::string(output) == "tiff";
            const bool alpha = source.bands == 2 || source.bands == 4;
            const int bands = deep ? source.bands : (std::string(output) == "heic" && alpha ? 4 : 3);
            EXPECT_EQ(describe(out), expected(deep ? source.format : "uchar", bands));
            if (deep) {
                EXPECT_EQ(capture("vips getpoint " + q + " 10 5"), std::string(source.sample) + "\n");
            }
        }
    }
}
