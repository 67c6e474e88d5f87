// Animated GIFs: the timing model (delays, the 0.011 s rule, boundaries), compositing, and the
// cost of a run of increasing requests.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "media/SamplePlan.hpp"
#include "media/StillsSource.hpp"
#include "tests/support/Fixtures.hpp"

namespace quillon {
namespace {

using test::colourLetter;

TEST(GifStills, DelaysOfZeroAndOneHundredthBecomeATenth)
{
    const auto dir = test::freshDir("stills-gif-delays");
    // Stored delays 0.02, 0 and 0.01 s: frame delays 0.02, 0.1, 0.1; ends 0.02, 0.12, 0.22.
    ASSERT_EQ(test::run("convert -size 16x12 -delay 2 xc:red -delay 0 xc:lime -delay 1 xc:blue " +
                        test::shellQuote((dir / "delays.gif").string())), 0);
    auto source = StillsSource::open(dir / "delays.gif");
    ASSERT_TRUE(source);
    EXPECT_TRUE(source->isGif());
    EXPECT_NEAR(source->durationSec(), 0.22, 1e-12);
    EXPECT_NEAR(source->fps(), 3 / 0.22, 1e-9);
    EXPECT_EQ(source->pixelSize().width, 16);
    EXPECT_EQ(source->pixelSize().height, 12);
    // A time on a boundary belongs to the later frame; times outside the clip are clamped.
    const std::vector<std::pair<double, char>> expected = {{0, 'R'},      {0.0199, 'R'}, {0.02, 'G'}, {0.1199, 'G'},
                                                           {0.12, 'B'},   {0.2199, 'B'}, {0.22, 'B'}, {9, 'B'},
                                                           {-1, 'R'},     {0.05, 'G'}};
    for (const auto& [t, colour] : expected)
        EXPECT_EQ(colourLetter(source->image(t).value_or(Image()), 8, 6), colour) << "t = " << t;

    // The extension decides the kind: the same file named .mov is read as a video.
    std::filesystem::copy_file(dir / "delays.gif", dir / "anim.mov");
    auto video = StillsSource::open(dir / "anim.mov");
    ASSERT_TRUE(video);
    EXPECT_FALSE(video->isGif());
}

TEST(GifStills, ASingleFrameWithoutDelaysLastsATenth)
{
    // A one-pixel red GIF with no graphic control extension at all: no delay information.
    const std::string gif("GIF87a\x01\x00\x01\x00\x80\x00\x00\xff\x00\x00\x00\x00\x00,\x00\x00\x00\x00\x01\x00\x01"
                          "\x00\x00\x02\x02" "D\x01\x00;", 35);
    const auto file = test::freshDir("stills-gif-single") / "pixel.GIF";  // upper case: still a GIF
    std::ofstream(file, std::ios::binary) << gif;
    auto source = StillsSource::open(file);
    ASSERT_TRUE(source);
    EXPECT_TRUE(source->isGif());
    EXPECT_DOUBLE_EQ(source->durationSec(), 0.1);
    EXPECT_DOUBLE_EQ(source->fps(), 10);
    for (double t : {0.0, 0.1, 3.0})
        EXPECT_EQ(colourLetter(source->image(t).value_or(Image()), 0, 0, 0), 'R');
}

TEST(GifStills, TransparentPixelsKeepTheirAlpha)
{
    // Left half opaque red, right half transparent; a non-ASCII name reaches the decoder as is.
    const auto file = test::freshDir("stills-gif-alpha") / "halb-durchsichtig-\u00fc.gif";
    ASSERT_EQ(test::run("convert -size 16x12 xc:none -fill red -draw 'rectangle 0,0 7,11' " +
                        test::shellQuote(file.string())), 0);
    auto source = StillsSource::open(file);
    ASSERT_TRUE(source);
    const Image still = source->image(0).value_or(Image());
    ASSERT_EQ(still.channels(), 4);
    EXPECT_EQ(still.pixels().getpoint(3, 6), (std::vector<double>{255, 0, 0, 255}));
    EXPECT_EQ(still.pixels().getpoint(12, 6)[3], 0);
}

TEST(GifStills, IncreasingRequestsDecodeEachFrameOnce)
{
    // 1,000 frames of 40 ms; ffmpeg stores each as the change from the one before, so this also
    // shows that frames are composited over the ones before them.
    const auto file = test::freshDir("stills-gif-long") / "long.gif";
    ASSERT_TRUE(test::makeIndexClip(file, {.frames = 1000, .width = 160, .height = 120, .codec = ""}));
    auto source = StillsSource::open(file);
    ASSERT_TRUE(source);
    EXPECT_NEAR(source->durationSec(), 40, 1e-9);
    EXPECT_EQ(source->framesDecoded(), 0);
    const std::vector<StillSample> plan = sampleTimes(source->durationSec(), 5, source->fps());
    for (const StillSample& s : plan)
        EXPECT_EQ(test::readFrameIndex(source->image(s.sec).value_or(Image())),
                  std::min(999, int(std::floor(s.sec / 0.04 + 1e-9)))) << "t = " << s.sec;
    EXPECT_LE(source->framesDecoded(), 1000);
    // A frame just handed out costs nothing; an earlier one starts again from the first.
    const std::int64_t before = source->framesDecoded();
    EXPECT_TRUE(source->image(plan.back().sec));
    EXPECT_EQ(source->framesDecoded(), before);
    EXPECT_EQ(test::readFrameIndex(source->image(0.5).value_or(Image())), 12);
    EXPECT_LE(source->framesDecoded(), before + 13);
}

}  // namespace
}  // namespace quillon
