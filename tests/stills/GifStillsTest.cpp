// Animated GIFs: the timing model (delays, the 0.011 s rule, boundaries), compositing, and the
// cost of a run of increasing requests.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "media/GifDecoder.hpp"
#include "media/SamplePlan.hpp"
#include "media/StillsSource.hpp"
#include "tests/support/ClipFixtures.hpp"
#include "tests/support/TestMedia.hpp"

namespace quillon {
namespace {

// A one-pixel red GIF with no graphic control extension at all: no delay information.
const char kOnePixelGif[] =
    "GIF87a\x01\x00\x01\x00\x80\x00\x00\xff\x00\x00\x00\x00\x00,\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02"
    "D\x01\x00;";

std::filesystem::path writeBytes(const std::filesystem::path& file, std::string bytes)
{
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    return file;
}

std::string onePixelGif() { return std::string(kOnePixelGif, sizeof kOnePixelGif - 1); }

std::string colourAt(const Image& still, int x = 8, int y = 6)
{
    const std::vector<double> c = test::averageColour(still, x, y, 0);
    if (c[0] > 200 && c[1] < 50 && c[2] < 50)
        return "red";
    if (c[0] < 50 && c[1] > 200 && c[2] < 50)
        return "lime";
    if (c[0] < 50 && c[1] < 50 && c[2] > 200)
        return "blue";
    return "other";
}

TEST(GifTiming, FrameDelaysFollowTheViewerRule)
{
    EXPECT_DOUBLE_EQ(gifFrameDelay(std::nullopt), 0.1);
    EXPECT_DOUBLE_EQ(gifFrameDelay(0), 0.1);
    EXPECT_DOUBLE_EQ(gifFrameDelay(1), 0.1);  // 0.01 s is at most 0.011 s
    EXPECT_DOUBLE_EQ(gifFrameDelay(2), 0.02);
    EXPECT_DOUBLE_EQ(gifFrameDelay(250), 2.5);
}

TEST(GifTiming, TimesMapToFramesWithBoundariesGoingToTheLaterFrame)
{
    const std::vector<double> ends = {0.1, 0.2, 0.3};
    EXPECT_EQ(gifFrameIndex(ends, 0.3, 0), 0);
    EXPECT_EQ(gifFrameIndex(ends, 0.3, 0.05), 0);
    EXPECT_EQ(gifFrameIndex(ends, 0.3, 0.1), 1);
    EXPECT_EQ(gifFrameIndex(ends, 0.3, 0.3), 2);
    EXPECT_EQ(gifFrameIndex(ends, 0.3, 5), 2);
    EXPECT_EQ(gifFrameIndex(ends, 0.3, -1), 0);
    EXPECT_EQ(gifFrameIndex(ends, 0.3, std::nan("")), 0);
    EXPECT_EQ(gifFrameIndex({}, 0.3, 0.2), 0);
}

TEST(GifStills, DelaysOfZeroAndOneHundredthBecomeATenth)
{
    const auto dir = test::freshDir("stills-gif-delays");
    // Stored delays 0.02, 0 and 0.01 s: frame delays 0.02, 0.1, 0.1; ends 0.02, 0.12, 0.22.
    ASSERT_TRUE(test::makeColourGif(dir / "delays.gif", {"red", "lime", "blue"}, {2, 0, 1}));
    auto source = StillsSource::open(dir / "delays.gif");
    ASSERT_TRUE(source);
    EXPECT_TRUE(source->isGif());
    EXPECT_NEAR(source->durationSec(), 0.22, 1e-12);
    EXPECT_NEAR(source->fps(), 3 / 0.22, 1e-9);
    EXPECT_EQ(source->pixelSize().width, 16);
    EXPECT_EQ(source->pixelSize().height, 12);
    const std::vector<std::pair<double, std::string>> expected = {
        {0, "red"}, {0.0199, "red"}, {0.02, "lime"}, {0.1199, "lime"}, {0.12, "blue"},
        {0.2199, "blue"}, {0.22, "blue"}, {9, "blue"}, {-1, "red"}, {0.05, "lime"}};
    for (const auto& [t, colour] : expected) {
        auto still = source->image(t);
        ASSERT_TRUE(still) << t;
        EXPECT_EQ(colourAt(*still), colour) << "t = " << t;
        EXPECT_EQ(still->width(), 16);
        EXPECT_EQ(still->height(), 12);
    }
}

TEST(GifStills, ASingleFrameWithoutDelaysLastsATenth)
{
    const auto dir = test::freshDir("stills-gif-single");
    // Upper-case extension: still a GIF.
    auto source = StillsSource::open(writeBytes(dir / "pixel.GIF", onePixelGif()));
    ASSERT_TRUE(source);
    EXPECT_TRUE(source->isGif());
    EXPECT_DOUBLE_EQ(source->durationSec(), 0.1);
    EXPECT_DOUBLE_EQ(source->fps(), 10);
    EXPECT_EQ(source->pixelSize().width, 1);
    EXPECT_EQ(source->pixelSize().height, 1);
    for (double t : {0.0, 0.05, 0.1, 3.0}) {
        auto still = source->image(t);
        ASSERT_TRUE(still);
        EXPECT_EQ(colourAt(*still, 0, 0), "red");
    }
}

TEST(GifStills, FramesAreCompositedOverTheOnesBefore)
{
    const auto dir = test::freshDir("stills-gif-composite");
    const auto file = dir / "partial.gif";
    // The second frame paints only the bottom-right quarter and keeps the first underneath.
    ASSERT_EQ(test::run("convert -dispose none -delay 10 -size 40x30 xc:red -delay 10 -page +20+15 -size 20x15 "
                        "xc:blue " + test::shellQuote(file.string())),
              0);
    auto source = StillsSource::open(file);
    ASSERT_TRUE(source);
    EXPECT_EQ(source->pixelSize().width, 40);
    EXPECT_EQ(source->pixelSize().height, 30);
    auto second = source->image(0.15);
    ASSERT_TRUE(second);
    ASSERT_EQ(second->width(), 40);
    EXPECT_EQ(colourAt(*second, 5, 5), "red");
    EXPECT_EQ(colourAt(*second, 30, 25), "blue");
}

TEST(GifStills, TransparentPixelsKeepTheirAlpha)
{
    const auto dir = test::freshDir("stills-gif-alpha");
    // A non-ASCII name as well: paths reach the decoder as the bytes they are.
    const auto file = dir / "halb-durchsichtig-\u00fc.gif";
    ASSERT_EQ(test::run("convert -size 16x12 xc:none -fill red -draw 'rectangle 0,0 7,11' " +
                        test::shellQuote(file.string())),
              0);
    auto source = StillsSource::open(file);
    ASSERT_TRUE(source);
    auto still = source->image(0);
    ASSERT_TRUE(still);
    ASSERT_EQ(still->channels(), 4);
    const std::vector<double> opaque = still->pixels().getpoint(3, 6);
    const std::vector<double> clear = still->pixels().getpoint(12, 6);
    EXPECT_EQ(opaque[0], 255);
    EXPECT_EQ(opaque[3], 255);
    EXPECT_EQ(clear[3], 0);
}

TEST(GifStills, IncreasingRequestsDecodeEachFrameOnce)
{
    const auto dir = test::freshDir("stills-gif-long");
    const auto file = dir / "long.gif";
    // 1,000 frames of 40 ms; ffmpeg stores each as the change from the one before.
    ASSERT_TRUE(test::makeIndexGif(file, 1000));
    auto source = StillsSource::open(file);
    ASSERT_TRUE(source);
    EXPECT_NEAR(source->durationSec(), 40, 1e-9);
    EXPECT_NEAR(source->fps(), 25, 1e-9);
    EXPECT_EQ(source->framesDecoded(), 0);
    const std::vector<StillSample> plan = sampleTimes(source->durationSec(), 5, source->fps());
    for (const StillSample& s : plan) {
        auto still = source->image(s.sec);
        ASSERT_TRUE(still) << s.sec;
        EXPECT_EQ(test::readFrameIndex(*still), std::min(999, static_cast<int>(std::floor(s.sec / 0.04 + 1e-9))))
            << "t = " << s.sec;
    }
    EXPECT_LE(source->framesDecoded(), 1000);
    // An earlier frame starts again from the first; a frame just handed out costs nothing.
    const std::int64_t before = source->framesDecoded();
    auto again = source->image(plan.back().sec);
    ASSERT_TRUE(again);
    EXPECT_EQ(source->framesDecoded(), before);
    auto early = source->image(0.5);
    ASSERT_TRUE(early);
    EXPECT_EQ(test::readFrameIndex(*early), 12);
    EXPECT_LE(source->framesDecoded(), before + 13);
}

TEST(GifStills, AGifNamedAsAVideoOpensAsAVideo)
{
    const auto dir = test::freshDir("stills-gif-as-mov");
    ASSERT_TRUE(test::makeColourGif(dir / "anim.mov", {"red", "blue"}, {10, 10}));
    auto source = StillsSource::open(dir / "anim.mov");
    // The extension decides the kind; FFmpeg reads a GIF as a video track all the same.
    ASSERT_TRUE(source);
    EXPECT_FALSE(source->isGif());
}

TEST(GifStills, DamagedOrHostileGifsFailToOpen)
{
    const auto dir = test::freshDir("stills-gif-bad");
    // A screen of 65535x65535 around a one-pixel image: refused before any canvas is allocated.
    std::string huge = onePixelGif();
    huge[6] = huge[7] = huge[8] = huge[9] = '\xff';
    EXPECT_FALSE(StillsSource::open(writeBytes(dir / "huge.gif", huge)));
    // Cut inside the only image: no complete frame.
    EXPECT_FALSE(StillsSource::open(writeBytes(dir / "cut.gif", onePixelGif().substr(0, 28))));
    EXPECT_FALSE(StillsSource::open(writeBytes(dir / "empty.gif", "")));
    EXPECT_FALSE(StillsSource::open(writeBytes(dir / "text.gif", "GIF? no, just words")));
    EXPECT_FALSE(StillsSource::open(dir / "missing.gif"));
}

}  // namespace
}  // namespace quillon
