#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "media/SamplePlan.hpp"
#include "media/StillsSource.hpp"
#include "tests/support/Fixtures.hpp"

namespace quillon {
namespace {

using test::shellQuote;

// Runs a shell command line; true when it succeeded.
bool made(const std::string& line) { return test::run(line) == 0; }
const std::string kFfmpeg = "ffmpeg -nostdin -v error -y ";

std::string q(const std::filesystem::path& file) { return shellQuote(file.string()); }

std::string sizeOf(const StillsSource& source)
{
    return test::sizeText(source.pixelSize().width, source.pixelSize().height);
}

int frameAt(StillsSource& source, double sec)
{
    return test::readFrameIndex(source.image(sec).value_or(Image()));
}

Image stillAt(const std::filesystem::path& file, double sec)
{
    auto source = StillsSource::open(file);
    return source ? source->image(sec).value_or(Image()) : Image();
}

TEST(VideoStills, AClipCutShortServesWhatIsLeftAndNothingForTheMissingPart)
{
    // The index at the front still states the whole length; the frames of the second half are gone.
    const auto file = test::freshDir("stills-cut-short") / "cut.mp4";
    ASSERT_TRUE(test::makeIndexClip(file, {.frames = 250,
                                           .codec = "-c:v libx264 -pix_fmt yuv420p -bf 3 -g 50",
                                           .extra = "-movflags +faststart"}));
    std::filesystem::resize_file(file, std::filesystem::file_size(file) / 2);
    auto source = StillsSource::open(file);
    ASSERT_TRUE(source);
    EXPECT_NEAR(source->durationSec(), 10, 0.05);
    EXPECT_EQ(frameAt(*source, 1.0), 25);
    EXPECT_FALSE(source->image(9.0)) << "a frame from the readable part is not the still at 9 s";
    EXPECT_EQ(frameAt(*source, 2.0), 50) << "the source still serves the readable part afterwards";
}

TEST(VideoStills, ASeekThatLandsPastTheKeyFrameStartsFurtherBack)
{
    // In this MPEG-1 program stream the key frame before 0.5 s starts inside a block, so seeking
    // lands on the frame after it, and FFmpeg then hands out only a frame left from before the seek.
    const auto file = test::freshDir("stills-mpeg1-seek") / "clip.mpeg";
    ASSERT_TRUE(made(
        kFfmpeg + "-f lavfi -i testsrc=size=160x120:rate=25:duration=1 -c:v mpeg1video -f mpeg " + q(file)));
    auto walked = StillsSource::open(file);
    ASSERT_TRUE(walked);
    for (double t : {0.0, 0.25})
        ASSERT_TRUE(walked->image(t));
    for (double t : {0.5, 0.75}) {
        auto fresh = StillsSource::open(file);
        ASSERT_TRUE(fresh);
        const Image seeked = fresh->image(t).value_or(Image());
        const Image decoded = walked->image(t).value_or(Image());
        ASSERT_FALSE(seeked.empty()) << "t = " << t;
        EXPECT_TRUE(test::samePixels(seeked, decoded)) << "t = " << t;
    }
}

TEST(VideoStills, FilesWithoutADecodableVideoTrackFailToOpen)
{
    const auto dir = test::freshDir("stills-damaged");
    // Sound only; a codec nothing here decodes (the sample entry renamed); a 20000x20000 header.
    ASSERT_TRUE(made(kFfmpeg + "-f lavfi -i sine=d=1 -c:a aac " + q(dir / "audio.mp4")));
    ASSERT_TRUE(test::makeIndexClip(dir / "clip.mp4"));
    std::string bytes = test::contents(dir / "clip.mp4");
    for (auto at = bytes.find("avc1"); at != std::string::npos; at = bytes.find("avc1", at))
        bytes.replace(at, 4, "qqzz");
    std::ofstream(dir / "unknown.mp4", std::ios::binary) << bytes;
    std::ofstream(dir / "huge.y4m", std::ios::binary)
        << "YUV4MPEG2 W20000 H20000 F25:1 Ip A1:1 C420jpeg\nFRAME\n" + std::string(4096, '\x80');
    // A picture under a video's name is not a video of one frame.
    for (const char* picture : {"picture.png", "picture.jpg"}) {
        ASSERT_TRUE(made(kFfmpeg + "-f lavfi -i color=c=red:s=64x48 -frames:v 1 " + q(dir / picture)));
        std::filesystem::copy_file(dir / picture, dir / (std::string(picture) + ".mp4"));
    }
    for (const char* name : {"audio.mp4", "unknown.mp4", "huge.y4m", "picture.png.mp4", "picture.jpg.mp4"})
        EXPECT_FALSE(StillsSource::open(dir / name)) << name;
}

TEST(GifStills, IncreasingRequestsDecodeEachFrameAtMostOnce)
{
    // ffmpeg stores each frame as the change from the one before, so this also shows that frames
    // are composited over the ones before them.
    const auto file = test::freshDir("stills-gif-forward") / "long.gif";
    ASSERT_TRUE(test::makeIndexClip(file, {.frames = 1000, .width = 160, .height = 120, .codec = ""}));
    auto source = StillsSource::open(file);
    ASSERT_TRUE(source);
    EXPECT_NEAR(source->durationSec(), 40, 0.05);
    EXPECT_EQ(source->framesDecoded(), 0) << "opening decodes nothing";
    for (const StillSample& s : sampleTimes(source->durationSec(), 5, source->fps()))
        EXPECT_EQ(frameAt(*source, s.sec), std::min(999, int(std::floor(s.sec * 25 + 1e-9)))) << s.sec;
    EXPECT_LE(source->framesDecoded(), 1000);
}

TEST(GifStills, DelaysOfZeroAndOneHundredthBecomeATenth)
{
    const auto dir = test::freshDir("stills-gif-delays");
    // Stored delays 0.02, 0 and 0.01 s: frame delays 0.02, 0.1, 0.1; ends 0.02, 0.12, 0.22.
    ASSERT_TRUE(made("convert -size 16x12 -delay 2 xc:red -delay 0 xc:lime -delay 1 xc:blue " +
                     q(dir / "delays.gif")));
    auto source = StillsSource::open(dir / "delays.gif");
    ASSERT_TRUE(source);
    EXPECT_TRUE(source->isGif());
    EXPECT_NEAR(source->durationSec(), 0.22, 1e-12);
    EXPECT_NEAR(source->fps(), 3 / 0.22, 1e-9);
    EXPECT_EQ(sizeOf(*source), "16x12");
    // A time on a boundary belongs to the later frame; times outside the clip are clamped.
    const double times[] = {0, 0.0199, 0.02, 0.1199, 0.12, 0.2199, 0.22, 9, -1, 0.05};
    for (std::size_t i = 0; i < std::size(times); ++i)
        EXPECT_EQ(test::colourLetter(source->image(times[i]).value_or(Image()), 8, 6), "RRGGBBBBRG"[i])
            << "t = " << times[i];

    // The extension decides the kind: the same file named .mov is read as a video.
    std::filesystem::copy_file(dir / "delays.gif", dir / "anim.mov");
    auto video = StillsSource::open(dir / "anim.mov");
    ASSERT_TRUE(video);
    EXPECT_FALSE(video->isGif());
}

TEST(GifStills, ASingleFrameWithoutADelayLastsATenthAndKeepsItsTransparency)
{
    // Left half opaque red, right half transparent. The extension in upper case is still a GIF, and
    // a non-ASCII name reaches the decoder as is.
    const auto file = test::freshDir("stills-gif-single") / "halb-durchsichtig-\u00fc.GIF";
    ASSERT_TRUE(made("convert -size 16x12 xc:none -fill red -draw 'rectangle 0,0 7,11' " + q(file)));
    auto source = StillsSource::open(file);
    ASSERT_TRUE(source);
    EXPECT_TRUE(source->isGif());
    EXPECT_DOUBLE_EQ(source->durationSec(), 0.1);
    EXPECT_DOUBLE_EQ(source->fps(), 10);
    for (double t : {0.0, 0.1, 3.0}) {
        const Image still = source->image(t).value_or(Image());
        ASSERT_EQ(still.channels(), 4);
        EXPECT_EQ(still.pixels().getpoint(3, 6), (std::vector<double>{255, 0, 0, 255}));
        EXPECT_EQ(still.pixels().getpoint(12, 6)[3], 0);
    }
}

TEST(GifStills, AZeroLogicalScreenTakesTheSizeItsImagesNeed)
{
    // Red over 16x12, then a 6x4 blue patch drawn at (10, 8), in the bottom-right corner; the
    // logical screen is then set to 0x0, as some encoders write it.
    const auto file = test::freshDir("stills-gif-zero-screen") / "zero.gif";
    ASSERT_TRUE(made("convert -delay 10 -size 16x12 xc:red -page +10+8 -size 6x4 xc:blue " + q(file)));
    std::string bytes = test::contents(file);
    ASSERT_GT(bytes.size(), 10u);
    bytes.replace(6, 4, 4, '\0');
    std::ofstream(file, std::ios::binary | std::ios::trunc) << bytes;

    auto source = StillsSource::open(file);
    ASSERT_TRUE(source);
    EXPECT_EQ(sizeOf(*source), "16x12");
    // The second image is drawn over the first; asking for the first again starts over.
    for (const auto& [t, patch] :
         std::vector<std::pair<double, char>>{{0.15, 'B'}, {0.05, 'R'}, {0.15, 'B'}}) {
        const Image still = source->image(t).value_or(Image());
        EXPECT_EQ(test::colourLetter(still, 3, 3, 1), 'R') << "t = " << t;
        EXPECT_EQ(test::colourLetter(still, 13, 10, 1), patch) << "t = " << t;
    }
}

TEST(StillsPicture, StillsShowTheColourThatWasEncoded)
{
    // (200, 100, 50) in the matrix, range and layout given, encoded with the tags given (none: the
    // usual guess by size). A wrong matrix moves it by about ten levels, a wrong range by more.
    for (const auto& [file, size, pixels, output] : std::vector<std::array<std::string, 4>>{
             {"Bt709Limited.mp4", "320x240", "bt709:out_range=tv,format=yuv420p",
              "-c:v libx264 -colorspace bt709 -color_range tv"},
             {"Bt709Full.mp4", "320x240", "bt709:out_range=pc,format=yuv420p",
              "-c:v libx264 -colorspace bt709 -color_range pc"},
             {"Bt601Tagged.mp4", "1280x720", "bt601:out_range=tv,format=yuv420p",
              "-c:v libx264 -colorspace smpte170m"},
             {"UntaggedSd.mp4", "320x240", "bt601:out_range=tv,format=yuv420p", "-c:v libx264"},
             {"UntaggedHd.mp4", "1280x720", "bt709:out_range=tv,format=yuv420p", "-c:v libx264"},
             {"Bt2020TenBit.mp4", "320x240", "bt2020:out_range=tv,format=yuv420p10le",
              "-c:v libx265 -x265-params log-level=error -colorspace bt2020nc -color_range tv"},
             {"FullRangeMjpeg.avi", "320x240", "bt601:out_range=pc,format=yuvj444p", "-c:v mjpeg -q:v 2"}}) {
        SCOPED_TRACE(file);
        const auto path = test::freshDir("stills-colour") / file;
        const std::string source = "color=c=0xC86432:s=" + size +
                                   ":d=0.4,format=rgb24,scale=out_color_matrix=" + pixels;
        ASSERT_TRUE(made(kFfmpeg + "-f lavfi -i " + shellQuote(source) + " " + output + " " + q(path)));
        const Image still = stillAt(path, 0.1);
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
    ASSERT_TRUE(
        made("convert -size 80x60 xc:white xc:'rgb(128,128,128)' xc:'rgb(200,30,30)' xc:black +append "
             "-depth 8 " +
             q(dir / "patches.png")));
    for (const std::string transfer : {"smpte2084", "arib-std-b67"}) {
        SCOPED_TRACE(transfer);
        const auto file = dir / (transfer + ".mp4");
        ASSERT_TRUE(made(kFfmpeg + "-loop 1 -i " + q(dir / "patches.png") +
                         " -t 0.4 -vf 'zscale=tin=iec61966-2-1:pin=bt709:min=gbr:rin=pc:t=" + transfer +
                         ":p=bt2020:m=bt2020nc:r=tv:npl=203,format=yuv420p10le' -c:v libx265 -x265-params "
                         "log-level=error -color_trc " +
                         transfer + " -color_primaries bt2020 -colorspace bt2020nc -color_range tv " +
                         q(file)));
        const Image still = stillAt(file, 0.1);
        ASSERT_FALSE(still.empty());
        const auto white = test::averageColour(still, 40, 30), grey = test::averageColour(still, 120, 30);
        const auto red = test::averageColour(still, 200, 30), black = test::averageColour(still, 280, 30);
        // Without tone mapping PQ white is a dull 146 and the red fades towards (120, 76, 61);
        // BT.2020 read as BT.709 fades HLG's red too.
        EXPECT_GT(white[0], 170);
        EXPECT_NEAR(white[0], white[2], 6);
        EXPECT_TRUE(grey[0] > 85 && grey[0] < 150) << grey[0];
        EXPECT_GT(red[0] - red[1], 100);
        EXPECT_NEAR(red[1], red[2], 12);
        EXPECT_LT(black[0], 12);
    }
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
    ASSERT_TRUE(
        made(kFfmpeg + "-f lavfi -i " +
             shellQuote("color=c=black:s=320x240:d=0.4:r=25,format=rgb24,geq=r='if(lt(Y,H/2),lt(X,W/2),"
                        "gte(X,W/2))*255':g='gte(X,W/2)*255':b='gte(Y,H/2)*255'") +
             " -c:v libx264 -pix_fmt yuv444p " + q(dir / "stored.mp4")));
    for (const Turn& turn : {Turn{"upright", {one, 0, 0, 0, one, 0, 0, 0, last}, "RGBW"},
                             Turn{"clockwise", {0, one, 0, -one, 0, 0, h, 0, last}, "BRWG"},
                             Turn{"half", {-one, 0, 0, 0, -one, 0, w, h, last}, "WBGR"},
                             Turn{"anticlockwise", {0, -one, 0, one, 0, 0, 0, w, last}, "GWRB"},
                             Turn{"mirrored", {-one, 0, 0, 0, one, 0, w, 0, last}, "GRWB"}}) {
        SCOPED_TRACE(turn.name);
        const auto file = dir / (std::string(turn.name) + ".mp4");
        std::filesystem::copy_file(dir / "stored.mp4", file);
        test::setTrackMatrix(file, turn.matrix);
        auto source = StillsSource::open(file);
        ASSERT_TRUE(source);
        const std::string size = turn.matrix[0] == 0 ? "240x320" : "320x240";
        EXPECT_EQ(sizeOf(*source), size);
        const Image still = source->image(0.1).value_or(Image());
        ASSERT_EQ(test::sizeText(still.width(), still.height()), size);
        EXPECT_EQ(test::quarterColours(still), turn.corners);
    }
}

TEST(StillsPicture, PixelsThatAreNotSquareAreShownAtTheirDisplayWidth)
{
    const auto dir = test::freshDir("stills-anamorphic");
    // Stored 160x96; each file states how wide its pixels are.
    for (const auto& [name, codec] :
         std::map<std::string, std::string>{{"wide.mp4", "-c:v libx264 -pix_fmt yuv420p -vf setsar=3/2"},
                                            {"wide.mkv", "-c:v libx264 -pix_fmt yuv420p -vf setsar=3/2"},
                                            {"wide.mpg", "-c:v mpeg2video -q:v 3 -aspect 16:9"}}) {
        SCOPED_TRACE(name);
        const auto file = dir / name;
        ASSERT_TRUE(test::makeIndexClip(file, {.frames = 10, .width = 160, .height = 96, .codec = codec}));
        // The displayed width as ffprobe's sample aspect ratio gives it.
        int num = 0, den = 0;
        const std::string ratio = test::capture(
            "ffprobe -v error -select_streams v:0 -show_entries stream=sample_aspect_ratio -of csv=p=0 " +
            q(file));
        ASSERT_EQ(std::sscanf(ratio.c_str(), "%d:%d", &num, &den), 2);
        const std::string size = test::sizeText(std::round(160.0 * num / den), 96);
        ASSERT_NE(size, "160x96");
        auto source = StillsSource::open(file);
        ASSERT_TRUE(source);
        EXPECT_EQ(sizeOf(*source), size);
        const Image still = source->image(0.2).value_or(Image());
        EXPECT_EQ(test::sizeText(still.width(), still.height()), size);
        EXPECT_EQ(test::readFrameIndex(still), 5);
    }
    // Turned a quarter: the width is scaled before the turn.
    const auto turned = dir / "turned.mp4";
    std::filesystem::copy_file(dir / "wide.mp4", turned);
    test::setTrackMatrix(turned, {0, 1 << 16, 0, -(1 << 16), 0, 0, 96 << 16, 0, 1 << 30});
    auto source = StillsSource::open(turned);
    ASSERT_TRUE(source);
    EXPECT_EQ(sizeOf(*source), "96x240");
    const Image still = source->image(0).value_or(Image());
    EXPECT_EQ(test::sizeText(still.width(), still.height()), "96x240");
}

}  // namespace
}  // namespace quillon
