#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <optional>

#include "media/DecodeCursor.hpp"
#include "media/FfmpegPtr.hpp"
#include "media/FrameConverter.hpp"
#include "media/FrameStep.hpp"
#include "media/Image.hpp"
#include "media/MediaLimits.hpp"

namespace quillon {

// A frame reached by a step: its display interval on the clip's axis (the start is where its
// timestamp places it, the end where the next frame starts, or the track ends) and its picture.
struct SteppedFrame {
    double startSec = 0;
    double endSec = 0;
    Image image;
};

// The first video track of a file, decoded with exact seeking: image(t) is the frame whose display
// interval contains t, on a time axis that starts at the track's first frame. Decoder state is
// kept between calls, so increasing times decode forward without seeking again and no frame is
// decoded twice. One thread at a time.
class VideoDecoder {
public:
    // Opens the file and its first video track (cover pictures are not video) with a decoder for
    // its codec. Reads headers only. Nothing when there is no such track, no decoder for it, or the
    // track claims a size beyond the decoding limits.
    static std::unique_ptr<VideoDecoder> open(const std::filesystem::path& file);

    ~VideoDecoder();
    VideoDecoder(const VideoDecoder&) = delete;
    VideoDecoder& operator=(const VideoDecoder&) = delete;

    // Length in seconds; 0 when the container gives no usable length.
    double durationSec() const { return durationSec_; }
    // The track's nominal frame rate; 30 when it gives no usable one.
    double fps() const { return fps_; }
    // The displayed size: the coded size with its width scaled by the sample aspect ratio, then
    // through the display matrix, rounded; the coded size itself when that gives nothing; nothing
    // when the headers give no size.
    std::optional<PixelSize> displaySize() const;

    // The still shown at atSec (negative means 0), upright, full size; past the end, the last
    // frame. Nothing when no frame can be decoded, or when reaching it would decode more than the
    // work bound (coded area times frames decoded for this still). With maxSide > 0 a still whose
    // longer side is above it comes reduced to that longer side, scaled straight from the decoded
    // frame (each side rounded to the nearest pixel, at least 1), which costs far less than the
    // full size.
    std::optional<Image> image(double atSec, int maxSide = 0);

    // The frame reached by stepping from the one on screen at atSec, with its picture (reduced as
    // image() reduces it). Stepping stays on the first frame when it would go before it, and on
    // the last when it would go past it; a step of 0 frames gives the frame at atSec itself, and
    // a step of more than 250 frames either way moves 250.
    // Stepping forward continues decoding from where the still at atSec left it, without a seek;
    // a step back decodes from the key frame before the frame it reaches, at most one group of
    // pictures. Nothing when a frame on the way cannot be decoded.
    std::optional<SteppedFrame> step(double atSec, FrameStep by, int maxSide = 0);

    // The work bound of one still in pixels decoded; kMaxDecodeWork unless set.
    void setWorkBound(long long pixels) { workBound_ = pixels; }

    // The timestamp of the key frame from which the still at atSec is decoded, as the file's index
    // gives it; nothing when the index has no key frame at or before that time. Stills with the
    // same key frame share their decoding; stills with different ones can be decoded apart.
    std::optional<std::int64_t> keyFrameFor(double atSec);

    // The bytes of one decoded frame in the decoder's own sample format (before conversion to
    // RGB); 0 when the headers do not tell.
    std::int64_t decodedFrameBytes() const { return decodedFrameBytes_; }

    // Frames the decoder has put out so far (skipped frames not counted); a diagnostic.
    std::int64_t framesDecoded() const { return cursor_->framesDecoded(); }

private:
    VideoDecoder() = default;

    std::optional<Image> imageAtTick(std::int64_t limitTick, int maxSide);
    std::optional<Image> decodeStill(std::int64_t limitTick);
    std::optional<std::int64_t> nextFrameTick();
    std::optional<PlacedFrame> nextFrame(std::int64_t targetTick);
    std::int64_t targetTick(double atSec);
    bool seekTo(std::int64_t tick, bool toStart);
    double secondsAt(std::int64_t tick) const;
    bool shouldSeek(std::int64_t targetTick) const;
    void findStart();
    bool advanceTo(std::int64_t limitTick);
    std::optional<Image> finish(std::int64_t limitTick);
    std::optional<Image> stillOf(const PlacedFrame& frame);
    std::optional<std::int64_t> measureEndTick(bool untimed);

    // The seek policy below works on this forward reader of the track, which owns the container
    // and the decoder.
    std::unique_ptr<DecodeCursor> cursor_;
    std::optional<PlacedFrame> kept_;     // the last whole frame at or before the last target
    std::optional<PlacedFrame> pending_;  // the frame after it, already taken out, past the last target
    bool startKnown_ = false;
    bool positioned_ = false;  // the cursor continues from where the last call left it
    FrameConverter converter_;

    AVStream* stream_ = nullptr;  // owned by the cursor's container
    AVRational timeBase_{1, 1};
    std::int64_t startTick_ = 0;
    std::int64_t trackEndTick_ = AV_NOPTS_VALUE;  // where the last frame ends, if known
    std::int64_t frameTicks_ = 1;                 // nominal frame interval in ticks
    std::int64_t seekLeadTicks_ = 0;              // how far before a target seeks aim
    double durationSec_ = 0;
    double fps_ = 30;
    int codedWidth_ = 0;
    int codedHeight_ = 0;
    std::int64_t decodedFrameBytes_ = 0;
    AVRational sampleAspect_{1, 1};  // width over height of one stored pixel on screen
    Orientation orientation_;
    std::array<double, 4> turn_{1, 0, 0, 1};  // the display matrix's 2x2 part (a, b, c, d)
    long long workBound_ = kMaxDecodeWork;
    std::int64_t stillFirstFrame_ = 0;  // frames decoded when the current still was asked for
    bool overBound_ = false;            // the current still needed more work than the bound

    // The last still handed out, so a repeated time costs no conversion.
    std::int64_t stillTick_ = INT64_MIN;
    int stillMaxSide_ = 0;
    int maxSide_ = 0;  // the reduction asked for by the call to image() under way
    std::optional<Image> still_;
};

}  // namespace quillon
