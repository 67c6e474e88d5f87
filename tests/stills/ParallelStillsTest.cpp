// Stills taken in one run by two decoders side by side must be the very stills image() gives one
// call at a time, delivered in order, with no frame decoded twice.
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <stdexcept>

#include <vips/vips8>

#include "media/StillsSource.hpp"
#include "tests/support/Fixtures.hpp"

namespace quillon {
namespace {

// 8 s at 25 fps with a key frame every 50 frames and B-frames: four groups of pictures. Made once
// per build tree and renamed into place whole, so parallel test processes share it.
std::filesystem::path groupsClip()
{
    const auto clip = std::filesystem::path(QUILLON_TEST_WORK_DIR) / "parallel-stills-groups.mp4";
    if (!std::filesystem::exists(clip)) {
        const auto part = test::freshDir("parallel-stills") / "groups.mp4";
        EXPECT_EQ(test::run("ffmpeg -nostdin -v error -f lavfi -i testsrc2=size=320x240:rate=25:duration=8 "
                            "-c:v libx264 -preset veryfast -g 50 -bf 3 -pix_fmt yuv420p " +
                            test::shellQuote(part.string())),
                  0);
        std::error_code failed;
        std::filesystem::rename(part, clip, failed);
    }
    return clip;
}

// Hands each still over as it is, for the tests to compare.
std::any keep(std::size_t, std::optional<Image> still) { return still; }

std::optional<Image> stillOf(std::any& made) { return std::any_cast<std::optional<Image>>(std::move(made)); }

TEST(StillsSideBySide, SameStillsInOrderAsOneAtATime)
{
    // Several stills per group, one time earlier than the one before it, and one past the end.
    const std::vector<double> times{0, 0.5, 1.3, 2.0, 2.04, 3.9, 4.0, 3.2, 5.5, 6.1, 7.96, 9};
    std::shared_ptr<StillsSource> single = StillsSource::open(groupsClip());
    ASSERT_TRUE(single);
    std::vector<std::optional<Image>> expected;
    for (double t : times)
        expected.push_back(single->image(t));

    std::shared_ptr<StillsSource> source = StillsSource::open(groupsClip());
    ASSERT_TRUE(source);
    std::vector<std::size_t> order;
    source->stills(times, keep, [&](std::size_t i, std::any made) {
        std::optional<Image> still = stillOf(made);
        order.push_back(i);
        EXPECT_TRUE(still && expected[i] && test::samePixels(*still, *expected[i])) << "time " << times[i];
        return true;
    });
    std::vector<std::size_t> inOrder(times.size());
    std::iota(inOrder.begin(), inOrder.end(), 0);
    EXPECT_EQ(order, inOrder);
    // The helper decodes the groups it takes from their key frames only: together the two decode
    // no more than one decoder does, give or take the frame each starts with.
    EXPECT_LE(source->framesDecoded(), single->framesDecoded() + 2);
}

TEST(StillsSideBySide, StopsWhenDeliveryDeclinesAndCanRunAgain)
{
    std::shared_ptr<StillsSource> source = StillsSource::open(groupsClip());
    ASSERT_TRUE(source);
    const std::vector<double> times{0.2, 2.2, 4.2, 6.2, 7.5};
    int calls = 0;
    source->stills(times, keep, [&](std::size_t, std::any) { return ++calls < 2; });
    EXPECT_EQ(calls, 2);

    // The source goes on serving stills after a run that was cut short.
    std::optional<Image> again = source->image(4.2);
    ASSERT_TRUE(again);
    EXPECT_EQ(again->width(), 320);
    int delivered = 0;
    source->stills(times, keep, [&](std::size_t, std::any made) {
        delivered += stillOf(made).has_value();
        return true;
    });
    EXPECT_EQ(delivered, 5);

    // A making step that throws (on a decoder's thread) leaves that one result empty.
    auto throwsOnThird = [](std::size_t i, std::optional<Image> still) -> std::any {
        if (i == 2)
            throw std::runtime_error("no room");
        return still;
    };
    std::vector<bool> empty;
    source->stills(times, throwsOnThird, [&](std::size_t, std::any made) {
        empty.push_back(!made.has_value());
        return true;
    });
    EXPECT_EQ(empty, (std::vector<bool>{false, false, true, false, false}));
}

// The mean of each quarter of a picture, channel by channel, so that pictures of different sizes
// (and resampled by different filters) can be compared by their colours.
std::vector<double> quarterMeans(const Image& image)
{
    std::vector<double> means;
    const int w = image.width(), h = image.height();
    for (int q = 0; q < 4; ++q) {
        const int left = (q % 2) * w / 2, top = (q / 2) * h / 2;
        for (double m : test::regionMean(image.pixels(), left, top, w / 2, h / 2))
            means.push_back(m);
    }
    return means;
}

TEST(StillsSideBySide, StillsReducedAsDecodedMatchTheFullSizeOnesAndLeaveImageFullSize)
{
    // Five times in different groups (two decoders) and two times (one decoder, one at a time).
    const std::vector<std::vector<double>> timeSets{{0.2, 2.2, 4.2, 6.2, 7.5}, {1.0, 5.0}};
    // 320 x 240: reduced with each side rounded to the nearest pixel; at or above the longer
    // side nothing is reduced.
    const std::pair<int, std::string> cases[] = {
        {100, "100x75"}, {16, "16x12"}, {320, "320x240"}, {1000, "320x240"}};
    std::shared_ptr<StillsSource> single = StillsSource::open(groupsClip());
    std::shared_ptr<StillsSource> source = StillsSource::open(groupsClip());
    ASSERT_TRUE(single && source);
    for (const std::vector<double>& times : timeSets) {
        std::vector<std::optional<Image>> full;
        for (double t : times)
            full.push_back(single->image(t));
        for (const auto& [maxSide, size] : cases) {
            SCOPED_TRACE("max side " + std::to_string(maxSide) + ", " + std::to_string(times.size()) +
                         " times");
            std::size_t delivered = 0;
            source->stills(
                times, keep,
                [&](std::size_t i, std::any made) {
                std::optional<Image> still = stillOf(made);
                ++delivered;
                EXPECT_TRUE(still && full[i]);
                if (!still || !full[i])
                    return true;
                EXPECT_EQ(test::sizeText(still->width(), still->height()), size);
                if (size == "320x240") {
                    EXPECT_TRUE(test::samePixels(*still, *full[i]));
                } else {
                    const std::vector<double> reduced = quarterMeans(*still),
                                              expected = quarterMeans(*full[i]);
                    EXPECT_EQ(reduced.size(), expected.size());
                    for (std::size_t k = 0; k < std::min(reduced.size(), expected.size()); ++k)
                        EXPECT_NEAR(reduced[k], expected[k], 6) << "quarter value " << k;
                }
                return true;
                },
                maxSide);
            EXPECT_EQ(delivered, times.size());
            // The same times asked of image() afterwards come full size, not as the reduced
            // stills last converted: the last time first, which the one-at-a-time run ended on.
            for (std::size_t i = times.size(); i-- > 0;) {
                std::optional<Image> again = source->image(times[i]);
                ASSERT_TRUE(again && full[i]);
                EXPECT_TRUE(test::samePixels(*again, *full[i]));
            }
        }
    }
}

}  // namespace
}  // namespace quillon
