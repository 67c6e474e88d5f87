#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "media/SamplePlan.hpp"

using quillon::sampleTimes;

namespace {

const double kNan = std::numeric_limits<double>::quiet_NaN(), kInf = std::numeric_limits<double>::infinity();

// (percent, sec) pairs, compared exactly: frame ids and file names depend on these very values.
std::vector<std::pair<double, double>> plan(double duration, double step, double fps)
{
    std::vector<std::pair<double, double>> result;
    for (const auto& s : sampleTimes(duration, step, fps))
        result.emplace_back(s.percent, s.sec);
    return result;
}

}  // namespace

TEST(SamplePlan, WorkedExamples)
{
    using P = std::vector<std::pair<double, double>>;
    P tenths;  // every tenth of the clip, then the last frame
    for (int i = 0; i < 10; ++i)
        tenths.emplace_back(10 * i, i);
    tenths.emplace_back(100, 9.96);
    EXPECT_EQ(plan(10, 10, 30), tenths);
    EXPECT_EQ(plan(10, 10, 24).back().second, 9.958333333333334);
    EXPECT_EQ(plan(2.5, 20, 12.5), (P{{0, 0}, {20, 0.5}, {40, 1}, {60, 1.5}, {80, 2}, {100, 2.42}}));
    EXPECT_EQ(plan(7, 30, 60), (P{{0, 0}, {30, 2.1}, {60, 4.2}, {90, 6.3}, {100, 6.96}}));
    EXPECT_EQ(plan(10, 150, 30), (P{{0, 0}, {100, 9.96}}));
    EXPECT_EQ(plan(3, 33, 10), (P{{0, 0}, {33, 0.99}, {66, 1.98}, {99, 2.9699999999999998}, {100, 2.9}}));
    EXPECT_EQ(plan(0.02, 25, 30), (P{{0, 0}, {25, 0.005}, {50, 0.01}, {75, 0.015}, {100, 0}}));
    EXPECT_EQ(plan(100, 99.9999995, 30), (P{{0, 0}, {99.9999995, 99.999999}, {100, 99.96}}));
    EXPECT_EQ(plan(10, 99.9999999995, 30), (P{{0, 0}, {100, 9.96}}));
    // The accumulated error of a step of 0.1 is kept, as the page's own arithmetic has it.
    const P fine = plan(10, 0.1, 30);
    ASSERT_EQ(fine.size(), 1001u);
    EXPECT_EQ(fine[3], (std::pair{0.30000000000000004, 0.030000000000000006}));
    EXPECT_EQ(fine[999], (std::pair{99.8999999999986, 9.98999999999986}));
}

TEST(SamplePlan, UnusableArgumentsFallBackAndTinyStepsAreBounded)
{
    for (double duration : {0.0, -3.0, kNan})
        EXPECT_EQ(plan(duration, 50, 30),
                  (std::vector<std::pair<double, double>>{{0, 0}, {50, 0}, {100, 0}}));
    for (double step : {0.0, -1.0, kInf, -kInf, kNan})  // means 5
        EXPECT_EQ(plan(10, step, 30), plan(10, 5, 30)) << step;
    for (double fps : {0.0, -5.0, kInf, kNan, 25.0, 120.0})  // the last sample at least 0.04 s before the end
        EXPECT_EQ(plan(10, 50, fps).back().second, 9.96) << fps;
    // A step of 1e-12 from the page must not exhaust memory or time.
    for (double step : {1e-12, 1e-300, std::numeric_limits<double>::denorm_min()})
        EXPECT_EQ(plan(60, step, 30).size(), 10001u);
}
