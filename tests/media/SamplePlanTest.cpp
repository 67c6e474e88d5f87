#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "media/SamplePlan.hpp"

using quillon::sampleTimes;
using quillon::StillSample;

namespace {

const double kNan = std::numeric_limits<double>::quiet_NaN();
const double kInf = std::numeric_limits<double>::infinity();

// Doubles are compared exactly: frame ids and file names depend on these very values.
void expectPlan(const std::vector<StillSample>& plan, const std::vector<StillSample>& expected)
{
    ASSERT_EQ(plan.size(), expected.size());
    for (size_t i = 0; i < plan.size(); ++i) {
        EXPECT_EQ(plan[i].percent, expected[i].percent) << "sample " << i;
        EXPECT_EQ(plan[i].sec, expected[i].sec) << "sample " << i;
    }
}

}  // namespace

TEST(SamplePlan, WorkedExamples)
{
    expectPlan(sampleTimes(10, 10, 30), {{0, 0}, {10, 1}, {20, 2}, {30, 3}, {40, 4}, {50, 5},
                                         {60, 6}, {70, 7}, {80, 8}, {90, 9}, {100, 9.96}});
    EXPECT_EQ(sampleTimes(10, 10, 24).back().sec, 9.958333333333334);
    expectPlan(sampleTimes(2.5, 20, 12.5), {{0, 0}, {20, 0.5}, {40, 1}, {60, 1.5}, {80, 2}, {100, 2.42}});
    expectPlan(sampleTimes(7, 30, 60), {{0, 0}, {30, 2.1}, {60, 4.2}, {90, 6.3}, {100, 6.96}});
    expectPlan(sampleTimes(10, 150, 30), {{0, 0}, {100, 9.96}});
    expectPlan(sampleTimes(3, 33, 10), {{0, 0}, {33, 0.99}, {66, 1.98}, {99, 2.9699999999999998}, {100, 2.9}});
    expectPlan(sampleTimes(0.02, 25, 30), {{0, 0}, {25, 0.005}, {50, 0.01}, {75, 0.015}, {100, 0}});
    expectPlan(sampleTimes(100, 99.9999995, 30), {{0, 0}, {99.9999995, 99.999999}, {100, 99.96}});
    expectPlan(sampleTimes(10, 99.9999999995, 30), {{0, 0}, {100, 9.96}});

    // The accumulated error of a step of 0.1 is kept, as the page's own arithmetic has it.
    const auto fine = sampleTimes(10, 0.1, 30);
    ASSERT_EQ(fine.size(), 1001u);
    EXPECT_EQ(fine[3].percent, 0.30000000000000004);
    EXPECT_EQ(fine[3].sec, 0.030000000000000006);
    EXPECT_EQ(fine[999].percent, 99.8999999999986);
    EXPECT_EQ(fine[999].sec, 9.98999999999986);
}

TEST(SamplePlan, UnusableArgumentsFallBack)
{
    for (double duration : {0.0, -3.0, kNan}) {
        const auto plan = sampleTimes(duration, 10, 30);
        ASSERT_EQ(plan.size(), 11u);
        for (const auto& s : plan)
            EXPECT_EQ(s.sec, 0) << duration;
    }
    // A step that is not a finite positive number means 5.
    for (double step : {0.0, -1.0, kInf, -kInf, kNan}) {
        const auto plan = sampleTimes(10, step, 30);
        ASSERT_EQ(plan.size(), 21u) << step;
        EXPECT_EQ(plan[19].sec, 9.5);
    }
    // The last sample lies one frame interval before the end, at least 0.04 s.
    for (double fps : {0.0, -5.0, kInf, kNan, 25.0, 120.0})
        EXPECT_EQ(sampleTimes(10, 50, fps).back().sec, 9.96) << fps;
}

TEST(SamplePlan, TinyStepsAreBounded)
{
    // A step of 1e-12 from the page must not exhaust memory or time.
    for (double step : {1e-12, 1e-300, std::numeric_limits<double>::denorm_min()}) {
        const auto plan = sampleTimes(60, step, 30);
        EXPECT_EQ(plan.size(), 10001u);
        EXPECT_EQ(plan.back().percent, 100);
    }
}
