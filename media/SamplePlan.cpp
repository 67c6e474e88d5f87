#include "media/SamplePlan.hpp"

#include <algorithm>
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
    const double step = std::max(
        stepPercent > 0 && std::isfinite(stepPercent) ? stepPercent : kDefaultStepPercent, kMinStepPercent);
    const double d = durationSec >= 0 ? durationSec : 0;  // false for NaN
    const double frame = std::isfinite(fps) && fps > 0 ? std::max(1 / fps, kMinFrameInterval)
                                                       : kMinFrameInterval;
    const double cap = std::max(d - kEndGuard, 0.0);

    // Percentages accumulate by repeated addition; the order of operations is part of the result,
    // since the page names exported files after these exact values.
    std::vector<StillSample> plan;
    double p = 0;
    do {
        plan.push_back({p, std::min(d * (p / 100), cap)});
        p = step + p;
    } while (p < kNearEnd);
    plan.push_back({100, std::max(d - frame, 0.0)});
    return plan;
}

}  // namespace quillon
