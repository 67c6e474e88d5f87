#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "media/FfmpegPtr.hpp"
#include "media/Image.hpp"

namespace quillon {

// How stored pixels are turned to stand as displayed: a quarter-turn rotation plus a mirror, as a
// mapping from each displayed pixel back to the stored one.
struct Orientation {
    bool swapAxes = false;  // the displayed picture is the stored one turned a quarter: sides swap
    bool mirrorX = false;   // stored x runs against the displayed axis it lands on
    bool mirrorY = false;   // stored y runs against the displayed axis it lands on

    bool identity() const { return !swapAxes && !mirrorX && !mirrorY; }

    // The nearest quarter-turn-plus-mirror of a display matrix (FFmpeg's 3x3 layout, 16.16 fixed
    // point for the 2x2 part; the translation is ignored).
    static Orientation fromDisplayMatrix(const std::int32_t matrix[9]);
};

// Whether every pixel of 8-bit RGBA rows is fully opaque.
bool allOpaque(const std::uint8_t* rgba, int width, int height, std::size_t stride);

// Turns decoded frames into upright 8-bit sRGB images: the YUV-to-RGB step uses the frame's own
// matrix and range (untagged frames: BT.601 up to SD sizes, BT.709 above), PQ and HLG frames are
// tone-mapped to SDR first, and the orientation is applied last. Keeps its scaler and filter graph
// between calls; one thread at a time.
class FrameConverter {
public:
    FrameConverter() = default;
    FrameConverter(const FrameConverter&) = delete;
    FrameConverter& operator=(const FrameConverter&) = delete;

    // The frame at width x height (its stored size unless the stream changed size mid-way), with
    // alpha kept when the pixel format has it. Nothing when conversion fails.
    std::optional<Image> convert(const AVFrame& frame, int width, int height, Orientation orientation);

private:
    const AVFrame* toneMapped(const AVFrame& frame);

    ff::SwsPtr sws_;
    int swsKey_[6] = {};  // source format, width, height, colour space, range, target channels

    ff::GraphPtr graph_;
    AVFilterContext* graphIn_ = nullptr;   // owned by graph_
    AVFilterContext* graphOut_ = nullptr;  // owned by graph_
    int graphKey_[4] = {};                 // format, width, height, transfer
    ff::FramePtr mapped_;
};

}  // namespace quillon
