#pragma once

#include <vector>

namespace quillon {

// One planned sample point of a clip.
struct StillSample {
    double percent;  // position along the clip, 0 to 100; the last sample of a plan is exactly 100
    double sec;      // time in seconds from the start of the clip
};

// The step between stills, in percent of the clip, wherever none is given: the planner, the
// commands that plan, the shell commands' --step.
inline constexpr double kDefaultStepPercent = 5;

// The smallest step the planner accepts: a smaller positive step is raised to this, so a plan
// never has more than 10,001 samples however small a step the page sends.
inline constexpr double kMinStepPercent = 0.01;

// Plans the sample points of a clip: 0 %, step, 2 step (accumulated), ... below 99.999999999,
// then 100 %, each with its time. Pure function; any thread. A step that is not a finite positive
// number means kDefaultStepPercent; a duration below zero or not a number means 0; fps only sets
// how far before the end the 100 % sample lies (one frame interval, at least 0.04 s).
std::vector<StillSample> sampleTimes(double durationSec, double stepPercent, double fps = 30);

}  // namespace quillon
