#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "media/SamplePlan.hpp"

using quillon::sampleTimes;
using quillon::StillSample;

namespace {

// Doubles are compared exactly: frame ids and file names depend on these very values.
void expectPlan(const std::vector<StillSample>& plan, const std::vector<StillSample>& expected)
{
    ASSERT_EQ(plan.size(), expected.size());
    for (size_t i = 0; i < plan.size(); ++i) {
        EXPECT_EQ(plan[i].percent, expected[i].percent) << "percent of sample " << i;
        EXPECT_EQ(plan[i].sec, expected[i].sec) << "time of sample " << i;
    }
}

}  // namespace

TEST(SamplePlan, WorkedExamples)
{
    expectPlan(sampleTimes(10, 10, 30), {{0, 0}, {10, 1}, {20, 2}, {30, 3}, {40, 4}, {50, 5},
                                         {60, 6}, {70, 7}, {80, 8}, {90, 9}, {100, 9.96}});
    EXPECT_EQ(sampleTimes(10, 10, 24).back().sec, 9.958333333333334);
    EXPECT_EQ(sampleTimes(10, 10, 0).back().sec, 9.96);
    expectPlan(sampleTimes(2.5, 20, 12.5),
               {{0, 0}, {20, 0.5}, {40, 1}, {60, 1.5}, {80, 2}, {100, 2.42}});
    expectPlan(sampleTimes(7, 30, 60), {{0, 0}, {30, 2.1}, {60, 4.2}, {90, 6.3}, {100, 6.96}});
    expectPlan(sampleTimes(10, 150, 30), {{0, 0}, {100, 9.96}});
    expectPlan(sampleTimes(3, 33, 10),
               {{0, 0}, {33, 0.99}, {66, 1.98}, {99, 2.9699999999999998}, {100, 2.9}});
    expectPlan(sampleTimes(0.02, 25, 30),
               {{0, 0}, {25, 0.005}, {50, 0.01}, {75, 0.015}, {100, 0}});
    expectPlan(sampleTimes(100, 99.9999995, 30),
               {{0, 0}, {99.9999995, 99.999999}, {100, 99.96}});
}

TEST(SamplePlan, DurationZeroOrUnusableGivesTimeZero)
{
    for (double d : {0.0, -3.0, std::numeric_limits<double>::quiet_NaN()}) {
        auto plan = sampleTimes(d, 10, 30);
        ASSERT_EQ(plan.size(), 11u);
        for (const auto& s : plan)
            EXPECT_EQ(s.sec, 0);
        EXPECT_EQ(plan.back().percent, 100);
    }
}

TEST(SamplePlan, UnusableStepMeansFive)
{
    const double inf = std::numeric_limits<double>::infinity();
    for (double step : {0.0, -1.0, inf, -inf, std::numeric_limits<double>::quiet_NaN()}) {
        auto plan = sampleTimes(10, step, 30);
        ASSERT_EQ(plan.size(), 21u);
        EXPECT_EQ(plan[1].percent, 5);
        EXPECT_EQ(plan[1].sec, 0.5);
        EXPECT_EQ(plan[19].percent, 95);
        EXPECT_EQ(plan[19].sec, 9.5);
        EXPECT_EQ(plan.back().sec, 9.96);
    }
}

TEST(SamplePlan, AccumulationErrorIsKept)
{
    auto plan = sampleTimes(10, 0.1, 30);
    ASSERT_EQ(plan.size(), 1001u);
    EXPECT_EQ(plan[3].percent, 0.30000000000000004);
    EXPECT_EQ(plan[3].sec, 0.030000000000000006);
    EXPECT_EQ(plan[998].percent, 99.7999999999986);
    EXPECT_EQ(plan[998].sec, 9.97999999999986);
    EXPECT_EQ(plan[999].percent, 99.8999999999986);
    EXPECT_EQ(plan[999].sec, 9.98999999999986);
    EXPECT_EQ(plan[1000].percent, 100);
    EXPECT_EQ(plan[1000].sec, 9.96);
}

TEST(SamplePlan, StepsNearOneHundred)
{
    expectPlan(sampleTimes(10, 99.99999999, 30), {{0, 0}, {99.99999999, 9.999999}, {100, 9.96}});
    expectPlan(sampleTimes(10, 99.9999999995, 30), {{0, 0}, {100, 9.96}});
    expectPlan(sampleTimes(10, 33.3333333334, 30),
               {{0, 0}, {33.3333333334, 3.33333333334}, {66.6666666668, 6.66666666668}, {100, 9.96}});
}

TEST(SamplePlan, FrameIntervalFallsBackToFourHundredths)
{
    const double inf = std::numeric_limits<double>::infinity();
    for (double fps : {0.0, -5.0, inf, std::numeric_limits<double>::quiet_NaN(), 25.0, 120.0})
        EXPECT_EQ(sampleTimes(10, 50, fps).back().sec, 9.96) << fps;
}

TEST(SamplePlan, TinyStepsAreBounded)
{
    // A step below the minimum plans as the minimum step: at most 10,001 samples, so a step of
    // 1e-12 from the page cannot exhaust memory or time.
    for (double step : {1e-12, 1e-300, std::numeric_limits<double>::denorm_min(), 0.001}) {
        auto plan = sampleTimes(60, step, 30);
        EXPECT_LE(plan.size(), 10001u);
        EXPECT_EQ(plan.size(), sampleTimes(60, quillon::kMinStepPercent, 30).size());
        EXPECT_EQ(plan.front().percent, 0);
        EXPECT_EQ(plan.back().percent, 100);
    }
}
