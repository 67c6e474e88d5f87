#pragma once

#include <cstdint>
#include <optional>

#include "media/FfmpegPtr.hpp"

namespace quillon {

// A decoded frame and its place on the track's clock.
struct PlacedFrame {
    ff::FramePtr frame;
    std::int64_t tick = 0;
    bool damaged = false;  // decoded from missing or broken references
};

// Reads one video track forward from wherever it was last sent: demuxes the track's packets,
// decodes them, and places each frame on the track's clock in display order. It decides nothing
// about which frame a time asks for; the only use it makes of a target is to let the decoder drop,
// unseen, frames that a later frame at or before the target is known to hide. One thread at a
// time.
class DecodeCursor {
public:
    enum class State {
        Reading,   // packets remain in the file
        Draining,  // the file is read to its end; the decoder gives out the frames it still holds
        Ended,     // no frame is left
    };

    // Takes over an opened container and an opened decoder for its track `streamIndex`.
    // `frameTicks` is the nominal frame interval and `firstTick` the track's stated start, both
    // in the track's time base.
    DecodeCursor(ff::FormatPtr format, ff::CodecPtr codec, int streamIndex, std::int64_t frameTicks,
                 std::int64_t firstTick);

    // The next frame in display order; nothing at the end of the track or when the rest of it
    // cannot be decoded. Frames lying before `targetTick` that a later frame at or before it
    // hides may be dropped by the decoder without being returned.
    std::optional<PlacedFrame> next(std::int64_t targetTick);

    // Repositions the cursor at the key frame at or before `tick` (or the start of the file);
    // false when the container cannot seek there. Frames held from before are dropped.
    bool seek(std::int64_t tick, bool toStart);

    // For containers without an index, whose seeks land on no particular frame: after a seek
    // (other than to the start) packets before the first key frame are passed over unsent, so
    // the first frame out is that key frame and the frames before it cost no decoding.
    void setSeeksLandAnywhere(bool anywhere) { seeksLandAnywhere_ = anywhere; }

    State state() const { return state_; }
    // Where the last placed frame lies; meaningful once a frame has come out since the last seek.
    std::int64_t position() const { return lastTick_; }
    // Decoding time (else presentation time) of the first packet sent since the last seek.
    std::int64_t firstSentTick() const { return firstSentTick_; }
    // Frames the decoder has put out so far (dropped frames not counted).
    std::int64_t framesDecoded() const { return framesDecoded_; }

    AVFormatContext* format() const { return format_.get(); }
    const AVCodecContext* codec() const { return codec_.get(); }
    AVPacket* packet() const { return packet_.get(); }

private:
    ff::FramePtr receive(std::int64_t targetTick);
    std::optional<PlacedFrame> place(ff::FramePtr frame);

    // Owners outlive what they own: the format context goes last.
    ff::FormatPtr format_;
    ff::CodecPtr codec_;
    ff::PacketPtr packet_;
    int streamIndex_;
    std::int64_t frameTicks_;
    std::int64_t firstTick_;
    State state_ = State::Reading;
    bool seeksLandAnywhere_ = false;
    bool awaitingKey_ = false;         // packets are passed over until a key frame
    std::optional<PlacedFrame> held_;  // a frame taken out ahead to place the one before it
    std::int64_t lastTick_ = 0;
    bool placedSinceSeek_ = false;
    std::int64_t firstSentTick_ = AV_NOPTS_VALUE;
    // The latest presentation time at or before the current target among the packets sent since
    // the last seek: frames before it are hidden by it.
    std::int64_t latestSentTick_ = AV_NOPTS_VALUE;
    std::int64_t framesDecoded_ = 0;
};

}  // namespace quillon
