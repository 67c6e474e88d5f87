#pragma once

#include <any>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "media/FrameStep.hpp"
#include "media/Image.hpp"

namespace quillon {

class GifDecoder;
class VideoDecoder;

// A still reached by stepping from another: the frame's display interval on the clip's axis, a
// time inside it that image() and stills() take back to this very frame (the start itself may
// not be one, since those round times to 1/600 s), the frame's number counted from 0 (for a
// video, its start times the nominal rate, rounded), and its picture.
struct SteppedStill {
    double startSec = 0;
    double endSec = 0;
    double stillSec = 0;
    std::int64_t frameNumber = 0;
    Image image;
};

// An opened video or animated GIF from which stills are taken at any time, on one time axis in
// seconds starting at the clip's start. The description (file, kind, size, duration, rate) is fixed
// when it opens. image() keeps decoder state between calls so that increasing times decode forward
// without seeking again; a source is therefore used by one thread at a time (the bridge's serial
// work queue), and may be handed between threads, never shared by two at once.
class StillsSource {
public:
    // Opens a file: a GIF when its extension is "gif" in any case, a video otherwise (contents are
    // not inspected for that decision). Nothing when the file cannot be opened as that kind.
    static std::shared_ptr<StillsSource> open(const std::filesystem::path& file);

    ~StillsSource();
    StillsSource(const StillsSource&) = delete;
    StillsSource& operator=(const StillsSource&) = delete;

    // The still shown at the given time: full resolution, upright (rotation and flips applied),
    // pixelSize() in size. A negative time means 0. Nothing when no still can be made.
    std::optional<Image> image(double atSec);

    // Takes the stills at `times` (as image() does), has make(index, still) turn each into what the
    // caller needs (a preview, an encoded file), and hands that to use(index, made) on the
    // calling thread in the order of `times`; stops early when use returns false. Times of a
    // video that fall into different groups of pictures are decoded by two decoders side by side,
    // each taking the next group when it is free, and `make` then runs on their threads (it must
    // be safe to call from two threads at once). A throw from make counts as a still that cannot
    // be made: the result is empty. A full-size still lives only until make returns; a few made
    // results per decoder may wait to be used. The stills are the same as image() gives, one
    // call at a time; with maxSide > 0 a video's stills whose longer side is above it come
    // reduced to that longer side, scaled straight from the decoded frames (a caller that only
    // needs previews then pays for no full-size picture). An animated GIF's stills stay full size.
    using Making = std::function<std::any(std::size_t index, std::optional<Image> still)>;
    using Use = std::function<bool(std::size_t index, std::any made)>;
    void stills(const std::vector<double>& times, const Making& make, const Use& use, int maxSide = 0);

    // The frame reached by stepping from the still at atSec (as VideoDecoder::step does; a GIF
    // steps between its own frames), with its picture: a video's reduced to maxSide as stills()
    // reduces it, a GIF's full size. Stepping stays on the first and the last frame; a step of 0
    // gives the frame shown at atSec. Nothing when no still can be made.
    std::optional<SteppedStill> step(double atSec, FrameStep by, int maxSide = 0);
    bool isGif() const { return gif_ != nullptr; }
    PixelSize pixelSize() const { return pixelSize_; }
    double durationSec() const { return durationSec_; }
    double fps() const { return fps_; }

    // Frames decoded so far by this source (frames the decoder dropped unseen are not counted);
    // a diagnostic for tests and benchmarks.
    std::int64_t framesDecoded() const;

private:
    StillsSource() = default;

    std::filesystem::path file_;
    PixelSize pixelSize_;
    double durationSec_ = 0;
    double fps_ = 30;
    // Exactly one back end: FFmpeg for video, the GIF reader for GIFs.
    std::unique_ptr<VideoDecoder> video_;
    std::unique_ptr<GifDecoder> gif_;
    std::vector<double> gifEnds_;    // end time of each GIF frame, strictly increasing
    std::int64_t helperFrames_ = 0;  // decoded by the helper decoders of stills()
};

}  // namespace quillon
