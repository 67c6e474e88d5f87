#pragma once

namespace quillon {

// How far a step moves from the frame on screen: a number of frames (negative: back), or a
// number of seconds from the start of that frame.
struct FrameStep {
    enum class Unit { Frames, Seconds };
    Unit unit = Unit::Frames;
    double amount = 0;
};

}  // namespace quillon
