#include "media/SamplePlan.hpp"

#include <cmath>

namespace quillon {

namespace {

// Positions at or above this are taken as the end; it keeps a point that accumulation left a hair
// below 100 from standing beside the final 100.
constexpr double kNearEnd = 99.999999999;
// Every sample but the last is kept at least this far before the end of the clip.
constexpr double kEndGuard = 0.000001;
constexpr double kMinFrameInterval = 0.04;

}  // namespace

std::vector<StillSample> sampleTimes(double durationSec, double stepPercent, double fps)
{
    double step = (stepPercent > 0 && std::isfinite(stepPercent)) ? stepPercent : kDefaultStepPercent;
    if (step < kMinStepPercent)
        step = kMinStepPercent;

    // Percentages accumulate by repeated addition; the order of operations is part of the result,
    // since the page names exported files after these exact values.
    std::vector<double> percents;
    double p = 0;
    do {
        percents.push_back(p);
        p = step + p;
    } while (p < kNearEnd);
    percents.push_back(100);

    const double d = durationSec >= 0 ? durationSec : 0;  // false for NaN
    double f = kMinFrameInterval;
    if (std::isfinite(fps) && fps > 0 && 1 / fps > kMinFrameInterval)
        f = 1 / fps;
    double end = d - f;
    if (end < 0)
        end = 0;
    double cap = d - kEndGuard;
    if (cap < 0)
        cap = 0;

    std::vector<StillSample> plan;
    plan.reserve(percents.size());
    for (double percent : percents) {
        double sec;
        if (percent >= kNearEnd) {
            sec = end;
        } else {
            const double v = d * (percent / 100);
            sec = cap < v ? cap : v;
        }
        plan.push_back({percent, sec});
    }
    return plan;
}

}  // namespace quillon
