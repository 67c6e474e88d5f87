// Stills taken in one run by two decoders side by side must be the very stills image() gives one
// call at a time, delivered in order, with no frame decoded twice.
#include <gtest/gtest.h>

#include <stdexcept>

#include <vips/vips8>

#include "media/StillsSource.hpp"
#include "tests/support/Fixtures.hpp"

namespace quillon {
namespace {

// 8 s at 25 fps with a key frame every 50 frames and B-frames: four groups of pictures.
std::filesystem::path groupsClip()
{
    static const std::filesystem::path clip = [] {
        std::filesystem::path file = test::freshDir("parallel-stills") / "groups.mp4";
        const int status = test::run("ffmpeg -v error -f lavfi -i testsrc2=size=320x240:rate=25:duration=8 "
                                     "-c:v libx264 -preset veryfast -g 50 -bf 3 -pix_fmt yuv420p " +
                                     test::shellQuote(file.string()));
        EXPECT_EQ(status, 0);
        return file;
    }();
    return clip;
}

// Hands each still over as it is, for the tests to compare.
std::any keep(std::size_t, std::optional<Image> still)
{
    return still;
}

std::optional<Image> stillOf(std::any& made)
{
    return std::any_cast<std::optional<Image>>(std::move(made));
}

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
        SCOPED_TRACE("time " + std::to_string(times[i]));
        EXPECT_TRUE(still && expected[i]);
        if (still && expected[i]) {
            EXPECT_TRUE(test::samePixels(*still, *expected[i]));
        }
        return true;
    });
    std::vector<std::size_t> inOrder(times.size());
    for (std::size_t i = 0; i < inOrder.size(); ++i)
        inOrder[i] = i;
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

}  // namespace
}  // namespace quillon
