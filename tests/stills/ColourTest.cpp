// Colours as a player shows them: the stream's own YUV matrix and range, the usual guess for
// untagged streams, and HDR clips tone-mapped to SDR.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "media/StillsSource.hpp"
#include "tests/support/ClipFixtures.hpp"
#include "tests/support/TestMedia.hpp"

namespace quillon {
namespace {

struct Encoding {
    const char* name;
    const char* size;
    const char* matrix;  // the matrix and range the clip's pixels are really in
    const char* range;
    const char* tags;    // what the stream says about them (nothing for untagged clips)
    const char* codec;
    const char* pixels;  // the YUV layout made by the same scaler that applies the matrix
};

// The colour (200, 100, 50): a wrong matrix moves it by about ten levels, a wrong range by more.
const Encoding kEncodings[] = {
    {"Bt709Limited", "320x240", "bt709", "tv", "-colorspace bt709 -color_range tv -color_primaries bt709 -color_trc bt709",
     "-c:v libx264", "yuv420p"},
    {"Bt709Full", "320x240", "bt709", "pc", "-colorspace bt709 -color_range pc", "-c:v libx264", "yuv420p"},
    {"Bt601Tagged", "1280x720", "bt601", "tv", "-colorspace smpte170m -color_range tv", "-c:v libx264", "yuv420p"},
    {"UntaggedSd", "320x240", "bt601", "tv", "", "-c:v libx264", "yuv420p"},
    {"UntaggedHd", "1280x720", "bt709", "tv", "", "-c:v libx264", "yuv420p"},
    {"Bt2020TenBit", "320x240", "bt2020", "tv", "-colorspace bt2020nc -color_range tv",
     "-c:v libx265 -x265-params log-level=error", "yuv420p10le"},
    {"FullRangeMjpeg", "320x240", "bt601", "pc", "", "-c:v mjpeg -q:v 2", "yuvj444p"},
};

void PrintTo(const Encoding& e, std::ostream* os) { *os << e.name; }

class Colours : public testing::TestWithParam<Encoding> {};

TEST_P(Colours, StillsShowTheColourThatWasEncoded)
{
    const Encoding& e = GetParam();
    const auto dir = test::freshDir(std::string("stills-colour-") + e.name);
    const auto file = dir / (std::string(e.codec).find("mjpeg") != std::string::npos ? "clip.avi" : "clip.mp4");
    ASSERT_EQ(test::run(std::string("ffmpeg -nostdin -v error -y -f lavfi -i ") +
                        test::shellQuote(std::string("color=c=0xC86432:s=") + e.size + ":d=0.4,format=rgb24,scale=out_color_matrix=" +
                                         e.matrix + ":out_range=" + e.range + ",format=" + e.pixels) +
                        " " + e.codec + " " + e.tags + " " + test::shellQuote(file.string())),
              0);
    auto source = StillsSource::open(file);
    ASSERT_TRUE(source);
    auto still = source->image(0.1);
    ASSERT_TRUE(still);
    EXPECT_EQ(still->channels(), 3);
    const std::vector<double> c = test::averageColour(*still, still->width() / 2, still->height() / 2);
    EXPECT_NEAR(c[0], 200, 4);
    EXPECT_NEAR(c[1], 100, 4);
    EXPECT_NEAR(c[2], 50, 4);
}

INSTANTIATE_TEST_SUITE_P(Stills, Colours, testing::ValuesIn(kEncodings),
                         [](const testing::TestParamInfo<Encoding>& info) { return std::string(info.param.name); });

class HdrClips : public testing::TestWithParam<const char*> {};

TEST_P(HdrClips, AreToneMappedNotWashedOut)
{
    const std::string transfer = GetParam();
    const auto dir = test::freshDir("stills-hdr-" + transfer);
    const auto patches = dir / "patches.png";
    // White, mid grey, a strong red and black, graded with SDR white at 203 cd/m2 as HDR
    // production does, in BT.2020 10-bit.
    ASSERT_EQ(test::run("convert -size 80x60 xc:white xc:'rgb(128,128,128)' xc:'rgb(200,30,30)' xc:black +append "
                        "-depth 8 " + test::shellQuote(patches.string())),
              0);
    const auto file = dir / "hdr.mp4";
    ASSERT_EQ(test::run("ffmpeg -nostdin -v error -y -loop 1 -i " + test::shellQuote(patches.string()) +
                        " -t 0.4 -vf 'zscale=tin=iec61966-2-1:pin=bt709:min=gbr:rin=pc:t=" + transfer +
                        ":p=bt2020:m=bt2020nc:r=tv:npl=203,format=yuv420p10le' -c:v libx265 -x265-params "
                        "log-level=error -color_trc " + transfer +
                        " -color_primaries bt2020 -colorspace bt2020nc -color_range tv " +
                        test::shellQuote(file.string())),
              0);
    auto source = StillsSource::open(file);
    ASSERT_TRUE(source);
    auto still = source->image(0.1);
    ASSERT_TRUE(still);
    const std::vector<double> white = test::averageColour(*still, 40, 30);
    const std::vector<double> grey = test::averageColour(*still, 120, 30);
    const std::vector<double> red = test::averageColour(*still, 200, 30);
    const std::vector<double> black = test::averageColour(*still, 280, 30);
    // Shown as SDR without tone mapping, PQ white is a dull 146 and the red fades towards
    // (120, 76, 61); BT.2020 read as BT.709 fades HLG's red too.
    EXPECT_GT(white[0], 170);
    EXPECT_NEAR(white[0], white[2], 6);
    EXPECT_GT(grey[0], 85);
    EXPECT_LT(grey[0], 150);
    EXPECT_GT(red[0] - red[1], 100) << red[0] << " " << red[1] << " " << red[2];
    EXPECT_NEAR(red[1], red[2], 12);
    EXPECT_LT(black[0], 12);
}

INSTANTIATE_TEST_SUITE_P(Stills, HdrClips, testing::Values("smpte2084", "arib-std-b67"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             return std::string(info.param) == "smpte2084" ? std::string("Pq") : std::string("Hlg");
                         });

}  // namespace
}  // namespace quillon
