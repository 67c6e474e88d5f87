// Stills look as a player shows them: the stream's own YUV matrix and range, HDR tone-mapped to
// SDR, and the display matrix's turns and mirroring applied.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "media/StillsSource.hpp"
#include "tests/support/Fixtures.hpp"

namespace quillon {
namespace {

using test::shellQuote;

Image stillAt(const std::filesystem::path& file, double sec)
{
    auto source = StillsSource::open(file);
    return source ? source->image(sec).value_or(Image()) : Image();
}

TEST(StillsPicture, StillsShowTheColourThatWasEncoded)
{
    struct Encoding {
        const char* name;
        const char* size;
        const char* pixels;  // matrix, range and layout the clip's pixels are really in
        const char* tags;    // what the stream says about them (nothing for untagged clips)
        const char* codec = "-c:v libx264";
    };
    // The colour (200, 100, 50): a wrong matrix moves it by about ten levels, a wrong range by more.
    for (const Encoding& e : {Encoding{"Bt709Limited.mp4", "320x240", "bt709:out_range=tv,format=yuv420p",
                                       "-colorspace bt709 -color_range tv -color_primaries bt709 -color_trc bt709"},
                              Encoding{"Bt709Full.mp4", "320x240", "bt709:out_range=pc,format=yuv420p",
                                       "-colorspace bt709 -color_range pc"},
                              Encoding{"Bt601Tagged.mp4", "1280x720", "bt601:out_range=tv,format=yuv420p",
                                       "-colorspace smpte170m -color_range tv"},
                              Encoding{"UntaggedSd.mp4", "320x240", "bt601:out_range=tv,format=yuv420p", ""},
                              Encoding{"UntaggedHd.mp4", "1280x720", "bt709:out_range=tv,format=yuv420p", ""},
                              Encoding{"Bt2020TenBit.mp4", "320x240", "bt2020:out_range=tv,format=yuv420p10le",
                                       "-colorspace bt2020nc -color_range tv", "-c:v libx265 -x265-params log-level=error"},
                              Encoding{"FullRangeMjpeg.avi", "320x240", "bt601:out_range=pc,format=yuvj444p", "",
                                       "-c:v mjpeg -q:v 2"}}) {
        SCOPED_TRACE(e.name);
        const auto file = test::freshDir("stills-colour") / e.name;
        const std::string source = std::string("color=c=0xC86432:s=") + e.size +
                                   ":d=0.4,format=rgb24,scale=out_color_matrix=" + e.pixels;
        ASSERT_EQ(test::run("ffmpeg -nostdin -v error -y -f lavfi -i " + shellQuote(source) + " " + e.codec + " " +
                            e.tags + " " + shellQuote(file.string())), 0);
        const Image still = stillAt(file, 0.1);
        ASSERT_EQ(still.channels(), 3);
        const std::vector<double> c = test::averageColour(still, still.width() / 2, still.height() / 2);
        EXPECT_NEAR(c[0], 200, 4);
        EXPECT_NEAR(c[1], 100, 4);
        EXPECT_NEAR(c[2], 50, 4);
    }
}

TEST(StillsPicture, HdrClipsAreToneMappedNotWashedOut)
{
    const auto dir = test::freshDir("stills-hdr");
    // White, mid grey, a strong red and black, graded with SDR white at 203 cd/m2 as HDR
    // production does, in BT.2020 10-bit, with the PQ and with the HLG transfer.
    ASSERT_EQ(test::run("convert -size 80x60 xc:white xc:'rgb(128,128,128)' xc:'rgb(200,30,30)' xc:black +append "
                        "-depth 8 " + shellQuote((dir / "patches.png").string())), 0);
    for (const std::string transfer : {"smpte2084", "arib-std-b67"}) {
        SCOPED_TRACE(transfer);
        const auto file = dir / (transfer + ".mp4");
        ASSERT_EQ(test::run("ffmpeg -nostdin -v error -y -loop 1 -i " + shellQuote((dir / "patches.png").string()) +
                            " -t 0.4 -vf 'zscale=tin=iec61966-2-1:pin=bt709:min=gbr:rin=pc:t=" + transfer +
                            ":p=bt2020:m=bt2020nc:r=tv:npl=203,format=yuv420p10le' -c:v libx265 -x265-params "
                            "log-level=error -color_trc " + transfer +
                            " -color_primaries bt2020 -colorspace bt2020nc -color_range tv " + shellQuote(file.string())), 0);
        const Image still = stillAt(file, 0.1);
        ASSERT_FALSE(still.empty());
        const auto white = test::averageColour(still, 40, 30), grey = test::averageColour(still, 120, 30);
        const auto red = test::averageColour(still, 200, 30), black = test::averageColour(still, 280, 30);
        // Without tone mapping PQ white is a dull 146 and the red fades towards (120, 76, 61);
        // BT.2020 read as BT.709 fades HLG's red too.
        EXPECT_GT(white[0], 170);
        EXPECT_NEAR(white[0], white[2], 6);
        EXPECT_GT(grey[0], 85);
        EXPECT_LT(grey[0], 150);
        EXPECT_GT(red[0] - red[1], 100);
        EXPECT_NEAR(red[1], red[2], 12);
        EXPECT_LT(black[0], 12);
    }
}

// Rewrites the track header matrix of an MP4 in place (a b u c d v x y w; 16.16 fixed point
// except u v w in 2.30), as a phone writes rotation and mirroring.
void setTrackMatrix(const std::filesystem::path& file, const std::array<std::int32_t, 9>& matrix)
{
    std::ifstream in(file, std::ios::binary);
    std::string bytes(std::istreambuf_iterator<char>(in), {});
    const std::size_t box = bytes.find("tkhd") - 4;
    // Version 0 headers hold 32-bit times, version 1 64-bit ones: the matrix moves by 12 bytes.
    const std::size_t at = box + (bytes.at(box + 8) == 0 ? 48 : 60);
    for (std::size_t i = 0; i < 36; ++i)
        bytes.at(at + i) = static_cast<char>(static_cast<std::uint32_t>(matrix[i / 4]) >> (24 - 8 * (i % 4)));
    std::ofstream(file, std::ios::binary) << bytes;
}

TEST(StillsPicture, DisplayMatrixTurnsAndMirrorsTheStills)
{
    constexpr std::int32_t one = 1 << 16, w = 320 << 16, h = 240 << 16, last = 1 << 30;
    struct Turn {
        const char* name;
        std::array<std::int32_t, 9> matrix;
        const char* corners;  // colours at top left, top right, bottom left, bottom right
    };
    const auto dir = test::freshDir("stills-turns");
    // Stored: top left red, top right green, bottom left blue, bottom right white.
    ASSERT_EQ(test::run("ffmpeg -nostdin -v error -y -f lavfi -i " +
                        shellQuote("color=c=black:s=320x240:d=0.4:r=25,format=rgb24,"
                                   "geq=r='if(lt(Y,H/2),lt(X,W/2),gte(X,W/2))*255':g='gte(X,W/2)*255':b='gte(Y,H/2)*255'") +
                        " -c:v libx264 -pix_fmt yuv444p " + shellQuote((dir / "stored.mp4").string())), 0);
    for (const Turn& turn : {Turn{"upright", {one, 0, 0, 0, one, 0, 0, 0, last}, "RGBW"},
                             Turn{"clockwise", {0, one, 0, -one, 0, 0, h, 0, last}, "BRWG"},
                             Turn{"half", {-one, 0, 0, 0, -one, 0, w, h, last}, "WBGR"},
                             Turn{"anticlockwise", {0, -one, 0, one, 0, 0, 0, w, last}, "GWRB"},
                             Turn{"mirrored", {-one, 0, 0, 0, one, 0, w, 0, last}, "GRWB"}}) {
        SCOPED_TRACE(turn.name);
        const auto file = dir / (std::string(turn.name) + ".mp4");
        std::filesystem::copy_file(dir / "stored.mp4", file);
        setTrackMatrix(file, turn.matrix);
        auto source = StillsSource::open(file);
        ASSERT_TRUE(source);
        const bool portrait = turn.matrix[0] == 0;
        const int sw = portrait ? 240 : 320, sh = portrait ? 320 : 240;
        EXPECT_EQ(source->pixelSize().width, sw);
        EXPECT_EQ(source->pixelSize().height, sh);
        const Image still = source->image(0.1).value_or(Image());
        ASSERT_EQ(still.width(), sw);
        ASSERT_EQ(still.height(), sh);
        const int l = sw / 4, r = sw - l, t = sh / 4, b = sh - t;
        const std::string corners = {test::colourLetter(still, l, t), test::colourLetter(still, r, t),
                                     test::colourLetter(still, l, b), test::colourLetter(still, r, b)};
        EXPECT_EQ(corners, turn.corners);
    }
}

}  // namespace
}  // namespace quillon
