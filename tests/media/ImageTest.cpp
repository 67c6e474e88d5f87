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

std::string headerSize(const fs::path& file)
{
    const auto size = imagePixelSize(file);
    return size ? sizeText(size->width, size->height) : "none";
}

std::string imageSize(const std::optional<Image>& image) { return image ? sizeOf(*image) : "none"; }

// A 40x30 JPEG whose top-left quarter is red and the rest blue, with an orientation tag.
void writeTaggedJpeg(const fs::path& file, int orientation)
{
    const vips::VImage xy = vips::VImage::xyz(40, 30);
    withInterpretation(((xy[0] < 20) & (xy[1] < 15))
                           .ifthenelse(std::vector<double>{230, 20, 20}, std::vector<double>{20, 40, 220})
                           .cast(VIPS_FORMAT_UCHAR),
                       VIPS_INTERPRETATION_sRGB)
        .write_to_file((file.string() + "[Q=98,strip]").c_str());
    ASSERT_TRUE(exiftoolWrite(file, "-Orientation#=" + std::to_string(orientation)));
}

}  // namespace

TEST(Encode, FormatNamesSelectTheEncoderKeepingColoursAndTransparency)
{
    const Image opaque(patchImage(160, 48)), transparent(patchImage(160, 48, true));  // right half clear
    struct Case {
        const char *name, *loader, *ext;
        int bands;
        double tolerance;  // lossless formats are exact; HEIC subsamples chroma and goes through YCbCr twice
    };
    const Case cases[] = {
        {"Jpg", "jpegload_buffer", "jpg", 3, 8},    {"JPEG", "jpegload_buffer", "jpg", 3, 8},
        {"PNG", "pngload_buffer", "png", 4, 0},     {"tif", "tiffload_buffer", "tiff", 4, 0},
        {"TIFF", "tiffload_buffer", "tiff", 4, 0},  {"heic", "heifload_buffer", "heic", 4, 12},
        {"HEIF", "heifload_buffer", "heic", 4, 12}, {"WebP", "webpload_buffer", "webp", 4, 8},
        {"avif", "heifload_buffer", "avif", 4, 12}, {"gif", "pngload_buffer", "png", 4, 0},
        {"", "pngload_buffer", "png", 4, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("format \"") + c.name + "\"");
        EXPECT_EQ(extForFormat(c.name), c.ext);
        const vips::VImage back = decodeBytes(encodeImage(opaque, c.name, 0.9));
        EXPECT_EQ(back.get_string("vips-loader"), std::string(c.loader));
        EXPECT_EQ(back.width(), 160);
        EXPECT_LE(patchError(back), c.tolerance);
        // Alpha is kept where the format has it; JPEG shows transparent pixels on white.
        const vips::VImage clear = decodeBytes(encodeImage(transparent, c.name, 0.9));
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

// Quality is clamped to 0..1; at the top of the scale WebP is lossless and JPEG and HEIC keep full
// colour resolution, below it they halve it. A HEIC that cannot be encoded becomes a JPEG of at
// least 0.9, and AVIF files are what other tools take for AVIF.
TEST(Encode, QualityIsClampedAndItsTopIsLosslessOrFullColour)
{
    const Image noisy(
        withInterpretation(
            vips::VImage::gaussnoise(96, 64, vips::VImage::option()->set("mean", 128)->set("sigma", 40))
                .cast(VIPS_FORMAT_UCHAR)
                .bandjoin(patchImage(96, 64)[1])
                .bandjoin(patchImage(96, 64)[2]),
            VIPS_INTERPRETATION_sRGB)
            .copy_memory());
    for (const char* format : {"jpg", "heic", "avif"}) {
        SCOPED_TRACE(format);
        const Bytes best = *encodeImage(noisy, format, 1.0), worst = *encodeImage(noisy, format, 0.0);
        EXPECT_LT(worst.size(), best.size());
        EXPECT_EQ(*encodeImage(noisy, format, 1.7), best);
        EXPECT_EQ(*encodeImage(noisy, format, std::numeric_limits<double>::quiet_NaN()), best);
        EXPECT_EQ(*encodeImage(noisy, format, -0.2), worst);
    }
    const auto failing = [](const Image&, int) -> std::optional<Bytes> { return std::nullopt; };
    EXPECT_EQ(detail::encodeImageWith(noisy, "heic", 0.5, failing).value_or(Bytes()),
              *encodeImage(noisy, "jpg", 0.9));
    EXPECT_EQ(detail::encodeImageWith(noisy, "HEIF", 0.95, failing).value_or(Bytes()),
              *encodeImage(noisy, "jpg", 0.95));

    const fs::path dir = freshDir("encode-quality"), webp = dir / "out.webp", heic = dir / "out.heic";
    for (const auto& [quality, lossless, jpegChroma, hevcChroma] : {std::tuple{1.0, true, "4:4:4", "3\n"},
                                                                    {0.99, false, "4:2:0", "1\n"},
                                                                    {0.5, false, "4:2:0", "1\n"}}) {
        SCOPED_TRACE(quality);
        writeBytes(webp, *encodeImage(noisy, "webp", quality));
        // Decoded by the vips command, not by the process that encoded it.
        ASSERT_EQ(
            run("vips copy " + shellQuote(webp.string()) + " " + shellQuote((dir / "back.png").string())), 0);
        EXPECT_EQ(
            samePixels(Image(vips::VImage::new_from_file((dir / "back.png").c_str()).copy_memory()), noisy),
            lossless);
        EXPECT_EQ(decodeBytes(encodeImage(noisy, "jpg", quality)).get_string("jpeg-chroma-subsample"),
                  std::string(jpegChroma));
        // chroma_format_idc of the HEVC stream: 1 is 4:2:0, 3 is 4:4:4.
        writeBytes(heic, *encodeImage(noisy, "heic", quality));
        EXPECT_EQ(capture("heif-info -d " + shellQuote(heic.string()) + " | sed -n 's/.*chroma_format: //p'"),
                  hevcChroma);
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

// Every extension Quillon takes and every kind of photo (profiles, depths, grey, alpha, palette)
// decodes to 8-bit sRGB without a profile, with the picture's colours.
TEST(ImageFiles, EveryKindAndExtensionIsDecodedTo8BitSrgbWithItsColours)
{
    const fs::path dir = freshDir("image-kinds");
    struct Case {
        const char* file;      // with libvips' save options
        vips::VImage picture;  // none: made by ImageMagick from the file of the row before
        int channels;
        std::vector<int> stripes;  // CMYK cannot hold the saturated ones; with alpha, the opaque half
        double tolerance;
    };
    const vips::VImage patch = patchImage(160, 48), none;
    std::vector<Case> cases = {
        {"cmyk.jpg[Q=98]", patchIn("cmyk"), 3, {3, 5, 6}, 10},
        {"bare-cmyk.jpg[Q=98,strip]", patchIn("cmyk"), 3, {3, 5, 6}, 10},
        {"p3.jpg[Q=98]", patchIn("p3"), 3, kAllStripes, 6},
        {"p3.png", patchIn("p3"), 3, kAllStripes, 6},
        {"16bit.png", patch.colourspace(VIPS_INTERPRETATION_RGB16), 3, kAllStripes, 1},
        {"grey.png", patch.colourspace(VIPS_INTERPRETATION_B_W), 3, {3, 4, 5}, 1},
        {"rgba.png", patchImage(160, 48, true), 4, {0, 1, 2, 3}, 3},
        {"palette.png", none, 4, {0, 1, 2, 3}, 3},
        {"picture.png", patch, 3, kAllStripes, 0},
        {"picture.bmp", none, 3, kAllStripes, 0},
        {"picture.psd", none, 3, kAllStripes, 0},
    };
    // Every other extension, written by libvips from the plain picture, with the error its
    // compression allows.
    const std::pair<const char*, double> extensions[] = {
        {"picture.jpg", 10},  {"picture.jpeg", 10},          {"picture.tiff", 0},
        {"picture.tif", 0},   {"picture.heic", 16},          {"picture.heif", 16},
        {"picture.avif", 16}, {"picture.webp[lossless]", 0}, {"picture.jp2[lossless]", 0},
    };
    for (const auto& [file, tolerance] : extensions)
        cases.push_back({file, patch, 3, kAllStripes, tolerance});
    fs::path before;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const fs::path file = dir / std::string(c.file).substr(0, std::string(c.file).find('['));
        if (c.picture.get_image())
            c.picture.write_to_file((dir / c.file).c_str());
        else
            ASSERT_EQ(run("convert " + shellQuote(before.string()) + " " +
                          (file.filename() == "palette.png" ? "PNG8:" : "") + shellQuote(file.string())),
                      0);
        before = file;
        EXPECT_EQ(headerSize(file), "160x48");
        const Image image = loadImageOriented(file, 160).value_or(Image());
        ASSERT_EQ(image.width(), 160) << "pixels not readable";
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
    EXPECT_GT(patchError(patchIn("p3")), 15);
    EXPECT_EQ(capture("exiftool -s3 -ColorType " + shellQuote((dir / "palette.png").string())), "Palette\n");
}

// Conversion to a longest side: exact sizes whichever side is longer and whatever the orientation
// tag, shrink-on-load for JPEG and plain reduction for PNG giving what vipsthumbnail gives, and
// pictures that already fit never enlarged.
TEST(ImageFiles, ReducedToALongestSideLikeVipsthumbnail)
{
    const fs::path dir = freshDir("image-reduced");
    patchImage(1000, 750).write_to_file((dir / "wide.jpg[Q=95]").c_str());
    patchImage(750, 1000).write_to_file((dir / "tall.png").c_str());
    patchImage(1000, 750, true).write_to_file((dir / "alpha.png").c_str());
    patchImage(1000, 750).colourspace(VIPS_INTERPRETATION_RGB16).write_to_file((dir / "deep.png").c_str());
    writeTaggedJpeg(dir / "turned.jpg", 6);  // 40x30 stored, shown 30x40
    struct Case {
        std::string file;
        int maxSide;
        const char* size;
    };
    const Case cases[] = {{"wide.jpg", 240, "240x180"},   {"tall.png", 240, "180x240"},
                          {"alpha.png", 333, "333x250"},  {"deep.png", 200, "200x150"},
                          {"wide.jpg", 1000, "1000x750"}, {"turned.jpg", 20, "15x20"},
                          {"turned.jpg", 4000, "30x40"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file + " to " + std::to_string(c.maxSide));
        const std::optional<Image> reduced = loadImageReduced(dir / c.file, c.maxSide);
        ASSERT_EQ(imageSize(reduced), c.size);
        EXPECT_EQ(reduced->pixels().format(), c.file == "deep.png" ? VIPS_FORMAT_USHORT : VIPS_FORMAT_UCHAR);
        if (c.file == "turned.jpg") {
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
        ASSERT_EQ(sizeOf(theirs), c.size);
        vips::VImage ours = reduced->pixels();
        if (ours.format() == VIPS_FORMAT_USHORT)
            ours = (ours >> 8).cast(VIPS_FORMAT_UCHAR);
        const vips::VImage difference = (ours.cast(VIPS_FORMAT_INT) - theirs.cast(VIPS_FORMAT_INT)).abs();
        // PNG reduces exactly as vipsthumbnail does (up to the 16-bit rounding); JPEG's decoders
        // at 1/4 size differ by a few levels along the stripes' edges.
        EXPECT_LE(difference.avg(), 1.0);
        EXPECT_LE(difference.max(), c.file.ends_with(".jpg") ? 32 : 1);
    }
    EXPECT_FALSE(loadImageReduced(dir / "missing.jpg", 100));
}

TEST(ImageFiles, EveryOrientationIsTurnedUprightAndReduced)
{
    const fs::path dir = freshDir("image-orientation");
    const char* upright[] = {"", "RBBB", "BRBB", "BBBR", "BBRB", "RBBB", "BRBB", "BBBR", "BBRB"};  // by tag
    for (int orientation = 1; orientation <= 8; ++orientation) {
        SCOPED_TRACE("orientation " + std::to_string(orientation));
        const fs::path file = dir / ("o" + std::to_string(orientation) + ".jpg");
        writeTaggedJpeg(file, orientation);
        const bool turned = orientation >= 5;
        EXPECT_EQ(headerSize(file), turned ? "30x40" : "40x30");
        const Image full = loadImageOriented(file, 1000).value_or(Image());  // never enlarged
        EXPECT_EQ(sizeOf(full), turned ? "30x40" : "40x30");
        EXPECT_EQ(quarterColours(full), upright[orientation]);
        const Image small = loadImageOriented(file, 20).value_or(Image());
        EXPECT_EQ(sizeOf(small), turned ? "15x20" : "20x15");
        EXPECT_EQ(quarterColours(small), upright[orientation]);
    }
}

TEST(ThumbnailDataURL, ReducesToTheExactRoundedSizeKeepingColours)
{
    const std::tuple<int, int, int, std::string> cases[] = {
        {4000, 3000, 360, "360x270"}, {3000, 4000, 360, "270x360"}, {5000, 3, 360, "360x1"},
        {1000, 10, 360, "360x4"},     {32, 8, 0, "16x4"},           {200, 100, 360, "200x100"},
        {1001, 999, 360, "360x359"},  {1920, 1080, 360, "360x203"}};
    for (const auto& [width, height, limit, expected] : cases) {
        SCOPED_TRACE(sizeText(width, height) + " at " + std::to_string(limit));
        const vips::VImage picture = previewPicture(
            thumbnailDataURL(Image(patchImage(width, height)), limit));
        EXPECT_EQ(sizeOf(picture), expected);
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
    for (const auto& [name, field, count] : {std::tuple{"levels.jp2", "n-pages", "4\n"},
                                             {"pages.tif", "n-pages", "4\n"},
                                             {"subifds.tif", "n-subifds", "3\n"}}) {
        SCOPED_TRACE(name);
        const fs::path file = dir / name;
        EXPECT_EQ(capture(std::string("vipsheader -f ") + field + " " + shellQuote(file.string())), count);
        EXPECT_EQ(headerSize(file), "1000x800");
        const std::optional<Image> full = loadImageFullSize(file);
        ASSERT_EQ(imageSize(full), "1000x800");
        EXPECT_LE(patchError(full->pixels()), 0);
        const std::pair<int, std::string> previews[] = {
            {1000, "1000x800"}, {2000, "1000x800"}, {360, "360x288"}, {200, "200x160"}, {40, "40x32"}};
        for (const auto& [limit, expected] : previews) {
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
        patchImage(2879, 2000).write_to_file((dir / name).c_str());
        const std::optional<Image> preview = loadImageOriented(dir / name, 360);
        ASSERT_EQ(imageSize(preview), "360x250");
        EXPECT_LE(patchError(preview->pixels()), 12);
    }
    // Pages that are separate pictures, in one colour each, 4:3, each half the width of the one before.
    const auto multiPage =
        [&](const std::string& name, int width, const std::vector<std::vector<double>>& colours) {
        std::string pages;
        for (std::size_t i = 0; i < colours.size(); ++i, width /= 2) {
            const std::string page = d + "/page" + std::to_string(i) + ".png";
            withInterpretation(
                (vips::VImage::black(width, width * 3 / 4) + colours[i]).cast(VIPS_FORMAT_UCHAR),
                VIPS_INTERPRETATION_sRGB)
                .write_to_file(page.c_str());
            pages += shellQuote(page) + " ";
        }
        EXPECT_EQ(run("convert " + pages + shellQuote(d + "/" + name)), 0);
        return dir / name;
    };
    const std::vector<double> red{220, 20, 20}, green{20, 200, 20}, blue{20, 20, 220};
    // Two pages are separate pictures, never a pyramid: everything comes from the first.
    const fs::path two = multiPage("two.tif", 400, {red, green});
    ASSERT_EQ(capture("vipsheader -f n-pages " + shellQuote(two.string())), "2\n");
    EXPECT_EQ(headerSize(two), "400x300");
    EXPECT_EQ(imageSize(loadImageFullSize(two)), "400x300");
    EXPECT_EQ(quarterColours(loadImageFullSize(two).value_or(Image())), "RRRR");
    for (const auto& [limit, size] : {std::pair{360, "360x270"}, {100, "100x75"}}) {
        const std::optional<Image> preview = loadImageOriented(two, limit);
        EXPECT_EQ(imageSize(preview), size);
        EXPECT_EQ(quarterColours(preview.value_or(Image())), "RRRR") << limit;
    }
    // Three halving pages are read as a pyramid: a preview comes from the smallest page that still
    // reaches its limit (blue for 360, green for 500), a conversion always from the first page.
    const fs::path three = multiPage("three.tif", 1600, {red, green, blue});
    EXPECT_EQ(quarterColours(loadImageFullSize(three).value_or(Image())), "RRRR");
    EXPECT_EQ(imageSize(loadImageFullSize(three)), "1600x1200");
    for (const auto& [limit, colours] : {std::pair{360, "BBBB"}, {500, "GGGG"}, {1600, "RRRR"}})
        EXPECT_EQ(quarterColours(loadImageOriented(three, limit).value_or(Image())), colours) << limit;
}

// Conversions keep 16 bits per channel and grey in PNG and TIFF, and alpha in PNG, TIFF and HEIC;
// JPEG and HEIC are written at 8 bits in colour. Read back by vipsheader and vips getpoint.
TEST(ImageFiles, ConversionsKeepSixteenBitsGreyAndAlphaWhereTheFormatHoldsThem)
{
    const fs::path dir = freshDir("image-depth");
    // Samples that are not multiples of 257, so that a detour through 8 bits would show.
    const vips::VImage ramp = (vips::VImage::xyz(64, 16)[0] * 1000 + 1234).cast(VIPS_FORMAT_USHORT);
    const vips::VImage grey8 = (ramp >> 8).cast(VIPS_FORMAT_UCHAR),
                       rgb16 = vips::VImage::bandjoin(
                           {ramp, (ramp / 2).cast(VIPS_FORMAT_USHORT), (ramp / 3).cast(VIPS_FORMAT_USHORT)});
    const auto plus = [](const vips::VImage& image, double alpha) {
        return image.bandjoin(vips::VImage::black(64, 16) + alpha).cast(image.format());
    };
    struct Source {
        const char* file;
        vips::VImage picture;
        const char* format;  // as vipsheader names it
        int bands;
        const char* sample;  // vips getpoint at (10, 5)
    };
    const Source sources[] = {
        {"rgb16.png", withInterpretation(rgb16, VIPS_INTERPRETATION_RGB16), "ushort", 3, "11234 5617 3744 "},
        {"rgba16.tif", withInterpretation(plus(rgb16, 40000), VIPS_INTERPRETATION_RGB16), "ushort", 4,
         "11234 5617 3744 40000 "},
        {"grey16.png", withInterpretation(ramp, VIPS_INTERPRETATION_GREY16), "ushort", 1, "11234 "},
        {"grey8.png", withInterpretation(grey8, VIPS_INTERPRETATION_B_W), "uchar", 1, "43 "},
        {"greyalpha.png", withInterpretation(plus(grey8, 100), VIPS_INTERPRETATION_B_W), "uchar", 2,
         "43 100 "},
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
        ASSERT_TRUE(picture);
        for (const std::string output : {"png", "tiff", "jpg", "heic"}) {
            SCOPED_TRACE(output);
            const fs::path out = dir / (fs::path(source.file).stem().string() + "-out." + output);
            writeBytes(out, encodeImage(*picture, output, 1.0).value_or(Bytes()));
            const bool deep = output == "png" || output == "tiff", alpha = source.bands % 2 == 0;
            const int bands = deep ? source.bands : (output == "heic" && alpha ? 4 : 3);
            EXPECT_EQ(describe(out), expected(deep ? source.format : "uchar", bands));
            if (deep) {
                EXPECT_EQ(capture("vips getpoint " + shellQuote(out.string()) + " 10 5"),
                          std::string(source.sample) + "\n");
            }
        }
    }
}
