#pragma once

#include <algorithm>
#include <cmath>

namespace quillon {

// How far a step moves from the frame on screen: a number of frames (negative: back), or a
// number of seconds from the start of that frame.
struct FrameStep {
    enum class Unit { Frames, Seconds };
    Unit unit = Unit::Frames;
    double amount = 0;
};

// The most frames one step moves either way: each frame back decodes from a key frame, so a
// larger count would hold the work queue for as long as the page likes. Farther moves go by
// seconds.
inline constexpr int kMaxFrameSteps = 250;

// The whole number of frames a step by frames moves, rounded and held within kMaxFrameSteps
// either way; 0 when its amount is not a number.
inline long long frameCount(const FrameStep& by)
{
    const double bounded = std::clamp(by.amount, -double(kMaxFrameSteps), double(kMaxFrameSteps));
    return std::isfinite(bounded) ? std::llround(bounded) : 0;
}

}  // namespace quillon
