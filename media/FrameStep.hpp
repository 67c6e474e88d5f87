#pragma once

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

}  // namespace quillon
