#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include <glib.h>
#include <gtest/gtest.h>

#include "media/Encode.hpp"
#include "media/Thumbnail.hpp"
#include "tests/support/ImageFixtures.hpp"
#include "tests/support/TestMedia.hpp"

using namespace quillon;
using namespace quillon::test;

namespace {

// The JPEG inside a preview data URL, decoded; an empty image when the URL is not one.
vips::VImage previewPicture(const std::string& url)
{
    const std::string prefix = kThumbnailPrefix;
    if (url.compare(0, prefix.size(), prefix) != 0) {
        return vips::VImage();
    }
    const std::string text = url.substr(prefix.size());
    if (text.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/=") !=
        std::string::npos) {
        return vips::VImage();
    }
    gsize length = 0;
    guchar* bytes = g_base64_decode(text.c_str(), &length);
    std::string jpeg(reinterpret_cast<const char*>(bytes), length);
    g_free(bytes);
    if (jpeg.size() < 3 || static_cast<unsigned char>(jpeg[0]) != 0xFF || static_cast<unsigned char>(jpeg[1]) != 0xD8) {
        return vips::VImage();
    }
    return vips::VImage::new_from_buffer(jpeg, "").copy_memory();
}

Image solidImage(int width, int height)
{
    return Image(patchImage(width, height));
}

// Where the red top-left quarter of the stored picture appears once the orientation tag is
// applied: 0 top-left, 1 top-right, 2 bottom-right, 3 bottom-left.
int redCornerFor(int orientation)
{
    constexpr int corners[] = {0, 0, 1, 2, 3, 0, 1, 2, 3};
    return corners[orientation];
}

int redCorner(const vips::VImage& image)
{
    const int w = image.width() / 4;
    const int h = image.height() / 4;
    const int lefts[] = {0, image.width() - w, image.width() - w, 0};
    const int tops[] = {0, 0, image.height() - h, image.height() - h};
    for (int corner = 0; corner < 4; ++corner) {
        const std::vector<double> mean = regionMean(image, lefts[corner], tops[corner], w, h);
        if (mean[0] > 150 && mean[2] < 100) {
            return corner;
        }
    }
    return -1;
}

std::uint32_t crc32(const unsigned char* data, std::size_t size)
{
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::size_t i = 0; i < size; ++i) {
        crc ^= data[i];
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

void putBigEndian(std::string& bytes, std::size_t at, std::uint32_t value)
{
    for (int i = 0; i < 4; ++i) {
        bytes[at + static_cast<std::size_t>(i)] = static_cast<char>((value >> (24 - 8 * i)) & 0xFF);
    }
}

}  // namespace

TEST(ThumbnailDataURL, ReducesToTheExactRoundedSize)
{
    struct Case {
        int width, height, limit, expectedWidth, expectedHeight;
    };
    const Case cases[] = {
        {4000, 3000, 360, 360, 270}, {3000, 4000, 360, 270, 360}, {5000, 3, 360, 360, 1},
        {1000, 10, 360, 360, 4},     {32, 8, 10, 16, 4},          {32, 8, 0, 16, 4},
        {16, 16, 0, 16, 16},         {200, 100, 360, 200, 100},   {361, 361, 360, 360, 360},
        {1001, 999, 360, 360, 359},  {999, 1001, 360, 359, 360},  {1920, 1080, 360, 360, 203},
        {3, 5000, 360, 1, 360},      {721, 2, 360, 360, 1},       {100, 7, 20, 20, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " at " + std::to_string(c.limit));
        const std::string url = thumbnailDataURL(solidImage(c.width, c.height), c.limit);
        const vips::VImage picture = previewPicture(url);
        ASSERT_NE(picture.get_image(), nullptr) << "not a JPEG data URL: " << url.substr(0, 40);
        EXPECT_EQ(picture.width(), c.expectedWidth);
        EXPECT_EQ(picture.height(), c.expectedHeight);
        EXPECT_EQ(url.find('\n'), std::string::npos);
    }
}

TEST(ThumbnailDataURL, KeepsColoursAndShowsTransparencyOnTheDarkBackground)
{
    const vips::VImage reduced = previewPicture(thumbnailDataURL(Image(patchImage(1600, 480)), 360));
    ASSERT_EQ(reduced.width(), 360);
    EXPECT_LE(colourDistance(stripeMean(reduced, 0, 8), patchColours()[0]), 10);
    EXPECT_LE(colourDistance(stripeMean(reduced, 7, 8), patchColours()[7]), 10);

    // Left half opaque, right half transparent.
    const vips::VImage transparent = previewPicture(thumbnailDataURL(Image(patchImage(1600, 480, true)), 360));
    ASSERT_EQ(transparent.bands(), 3);
    EXPECT_LE(colourDistance(stripeMean(transparent, 1, 8), patchColours()[1]), 10);
    EXPECT_LE(colourDistance(stripeMean(transparent, 6, 8), Rgb{14, 16, 13}), 4);
}

TEST(ThumbnailDataURL, EmptyImageGivesTheEmptyString)
{
    EXPECT_EQ(thumbnailDataURL(Image(), 360), "");
}

class ImageProbing : public ::testing::Test {
protected:
    // One folder per test: CTest runs the tests of this fixture in parallel processes.
    void SetUp() override
    {
        dir_ = freshDir(std::string("image-probing-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    }
    std::filesystem::path dir_;
};

TEST_F(ImageProbing, LoadTurnsEveryOrientationUprightAndReduces)
{
    for (int orientation = 1; orientation <= 8; ++orientation) {
        SCOPED_TRACE("orientation " + std::to_string(orientation));
        const std::filesystem::path file = dir_ / ("o" + std::to_string(orientation) + ".jpg");
        writeTaggedJpeg(file, 40, 30, orientation);
        const bool quarterTurn = orientation >= 5;

        const std::optional<PixelSize> size = imagePixelSize(file);
        ASSERT_TRUE(size);
        EXPECT_EQ(size->width, quarterTurn ? 30 : 40);
        EXPECT_EQ(size->height, quarterTurn ? 40 : 30);

        const std::optional<Image> full = loadImageOriented(file, 1000);  // never enlarged
        ASSERT_TRUE(full);
        EXPECT_EQ(full->width(), quarterTurn ? 30 : 40);
        EXPECT_EQ(full->height(), quarterTurn ? 40 : 30);
        EXPECT_EQ(redCorner(full->pixels()), redCornerFor(orientation));

        const std::optional<Image> small = loadImageOriented(file, 20);
        ASSERT_TRUE(small);
        EXPECT_EQ(std::max(small->width(), small->height()), 20);
        EXPECT_EQ(redCorner(small->pixels()), redCornerFor(orientation));
    }
}

TEST_F(ImageProbing, LargeTaggedPhotoSizesAndLimits)
{
    writeTaggedJpeg(dir_ / "six.jpg", 4000, 3000, 6);
    writeTaggedJpeg(dir_ / "three.jpg", 4000, 3000, 3);
    writeTaggedJpeg(dir_ / "none.jpg", 4000, 3000, 0);

    const std::optional<PixelSize> six = imagePixelSize(dir_ / "six.jpg");
    ASSERT_TRUE(six);
    EXPECT_EQ(six->width, 3000);
    EXPECT_EQ(six->height, 4000);
    const std::optional<PixelSize> three = imagePixelSize(dir_ / "three.jpg");
    ASSERT_TRUE(three);
    EXPECT_EQ(three->width, 4000);
    EXPECT_EQ(three->height, 3000);
    const std::optional<PixelSize> none = imagePixelSize(dir_ / "none.jpg");
    ASSERT_TRUE(none);
    EXPECT_EQ(none->width, 4000);
    EXPECT_EQ(none->height, 3000);

    const std::optional<Image> preview = loadImageOriented(dir_ / "six.jpg", 360);
    ASSERT_TRUE(preview);
    EXPECT_EQ(preview->height(), 360);
    EXPECT_EQ(preview->width(), 270);

    // Limits below 16 count as 16.
    const std::optional<Image> tiny = loadImageOriented(dir_ / "none.jpg", 0);
    ASSERT_TRUE(tiny);
    EXPECT_EQ(tiny->width(), 16);
    EXPECT_EQ(tiny->height(), 12);
}

TEST_F(ImageProbing, WrittenFilesAreUprightWithoutSourceMetadata)
{
    const std::filesystem::path source = dir_ / "tagged.jpg";
    writeTaggedJpeg(source, 40, 30, 6);
    ASSERT_NE(capture("exiftool -s3 -GPSLatitude " + shellQuote(source.string())), "");
    const std::optional<Image> upright = loadImageOriented(source, 40);
    ASSERT_TRUE(upright);
    for (const char* format : {"jpg", "png", "tiff", "heic"}) {
        SCOPED_TRACE(format);
        const std::filesystem::path out = dir_ / (std::string("out.") + extForFormat(format));
        const Bytes bytes = *encodeImage(*upright, format, 0.9);
        writeFileBytes(out, bytes.data(), bytes.size());
        const std::string tags = capture("exiftool -s -s -GPSLatitude -Make -Model -Creator " + shellQuote(out.string()));
        EXPECT_EQ(tags, "") << "metadata left in the file";
        // A TIFF always records its row order; "as stored" (1) is the only orientation allowed.
        const std::string orientation = capture("exiftool -s3 -n -Orientation " + shellQuote(out.string()));
        EXPECT_TRUE(orientation.empty() || orientation == "1\n") << orientation;
        const vips::VImage back = vips::VImage::new_from_file(out.c_str());
        EXPECT_EQ(back.width(), 30);
        EXPECT_EQ(back.height(), 40);
        for (const char* field : {"exif-data", "xmp-data", "iptc-data"}) {
            EXPECT_EQ(back.get_typeof(field), 0u) << field;
        }
        if (back.get_typeof(VIPS_META_ORIENTATION) != 0) {
            EXPECT_EQ(back.get_int(VIPS_META_ORIENTATION), 1);
        }
        EXPECT_EQ(redCorner(back), 1);
    }
}

TEST_F(ImageProbing, EveryImageExtensionIsReadable)
{
    const vips::VImage picture = patchImage(160, 48);
    const std::filesystem::path png = dir_ / "source.png";
    picture.pngsave(png.c_str());
    struct Case {
        const char* ext;
        double tolerance;
    };
    const Case cases[] = {{"png", 0},   {"jpg", 10}, {"jpeg", 10}, {"tiff", 0}, {"tif", 0},  {"heic", 16},
                          {"heif", 16}, {"bmp", 0},  {"webp", 0},  {"jp2", 0},  {"psd", 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ext);
        const std::filesystem::path file = dir_ / (std::string("picture.") + c.ext);
        const std::string ext = c.ext;
        if (ext == "bmp" || ext == "psd") {
            ASSERT_EQ(run("convert " + shellQuote(png.string()) + " " + shellQuote(file.string())), 0)
                << "ImageMagick could not write the " << ext << " fixture";
        } else if (ext == "webp") {
            picture.webpsave(file.c_str(), vips::VImage::option()->set("lossless", true));
        } else if (ext == "jp2") {
            picture.jp2ksave(file.c_str(), vips::VImage::option()->set("lossless", true));
        } else if (ext == "heic" || ext == "heif") {
            picture.heifsave(file.c_str(), vips::VImage::option()->set("Q", 90)->set(
                                               "compression", VIPS_FOREIGN_HEIF_COMPRESSION_HEVC));
        } else {
            picture.write_to_file(file.c_str());
        }

        const std::optional<PixelSize> size = imagePixelSize(file);
        ASSERT_TRUE(size) << "header not readable";
        EXPECT_EQ(size->width, 160);
        EXPECT_EQ(size->height, 48);
        const std::optional<Image> image = loadImageOriented(file, 160);
        ASSERT_TRUE(image) << "pixels not readable";
        ASSERT_EQ(image->width(), 160);
        for (std::size_t i = 0; i < patchColours().size(); ++i) {
            EXPECT_LE(colourDistance(stripeMean(image->pixels(), static_cast<int>(i), 8), patchColours()[i]),
                      c.tolerance)
                << "stripe " << i;
        }
    }
}

TEST_F(ImageProbing, BadFilesGiveNothing)
{
    const std::filesystem::path missing = dir_ / "missing.png";
    const std::filesystem::path empty = dir_ / "empty.png";
    writeFileBytes(empty, "", 0);
    const std::filesystem::path text = dir_ / "text.png";
    const std::string words = "this is not a picture\n";
    writeFileBytes(text, words.data(), words.size());

    // Truncated files: enough left for a valid header, but most pixel data gone.
    const vips::VImage noisy = vips::VImage::gaussnoise(600, 400).cast(VIPS_FORMAT_UCHAR).bandjoin_const({90, 40});
    noisy.jpegsave((dir_ / "whole.jpg").c_str());
    noisy.pngsave((dir_ / "whole.png").c_str());
    for (const char* name : {"whole.jpg", "whole.png"}) {
        const std::string bytes = readFileBytes(dir_ / name);
        ASSERT_GT(bytes.size(), 4000u);
        writeFileBytes(dir_ / (std::string("cut-") + name), bytes.data(), bytes.size() / 2);
    }

    // A valid small PNG whose header is rewritten to claim 100000 x 100000 pixels.
    patchImage(16, 16).pngsave((dir_ / "small.png").c_str());
    std::string huge = readFileBytes(dir_ / "small.png");
    ASSERT_EQ(huge.substr(12, 4), "IHDR");
    putBigEndian(huge, 16, 100000);
    putBigEndian(huge, 20, 100000);
    putBigEndian(huge, 29, crc32(reinterpret_cast<const unsigned char*>(huge.data()) + 12, 17));
    writeFileBytes(dir_ / "huge.png", huge.data(), huge.size());
    const std::optional<PixelSize> claimed = imagePixelSize(dir_ / "huge.png");
    ASSERT_TRUE(claimed) << "the forged header should still be read as a header";
    EXPECT_EQ(claimed->width, 100000);

    for (const std::filesystem::path& file : {missing, empty, text}) {
        SCOPED_TRACE(file.filename().string());
        EXPECT_FALSE(imagePixelSize(file));
        EXPECT_FALSE(loadImageOriented(file, 360));
    }
    for (const char* name : {"cut-whole.jpg", "cut-whole.png", "huge.png"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(loadImageOriented(dir_ / name, 360));
        EXPECT_FALSE(loadImageOriented(dir_ / name, 100000));
    }
    // The untruncated originals do load, so the failures above are about the damage.
    EXPECT_TRUE(loadImageOriented(dir_ / "whole.jpg", 360));
    EXPECT_TRUE(loadImageOriented(dir_ / "whole.png", 360));
}

TEST(ThumbnailDataURL, ConcurrentCallersGetTheSameResultAsOne)
{
    // Previews are made on a pool of threads; libvips' start-up and shared state must not mix
    // their results.
    const Image image(patchImage(800, 600, true));
    const std::string expected = thumbnailDataURL(image, 360);
    ASSERT_FALSE(expected.empty());
    std::vector<std::string> results(6);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < results.size(); ++i) {
        threads.emplace_back([&, i] { results[i] = thumbnailDataURL(image, 360); });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    for (const std::string& result : results) {
        EXPECT_EQ(result, expected);
    }
}
