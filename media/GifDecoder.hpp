#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

#include "media/FfmpegPtr.hpp"
#include "media/FrameConverter.hpp"
#include "media/InputFile.hpp"

namespace quillon {

// What a GIF's block structure says without decoding a pixel: the logical screen size and, for
// each complete image in file order, the delay its graphic control extension stores in hundredths
// of a second (nothing when the image has no such extension).
// firstImageWidth and firstImageHeight are the screen the first image needs (the right and bottom
// edges of its descriptor).
struct GifLayout {
    int width = 0;
    int height = 0;
    int firstImageWidth = 0;
    int firstImageHeight = 0;
    std::vector<std::optional<int>> delays;

    // The screen the frames are composited on: the logical screen, or the one the first image
    // needs when the logical screen has a zero side.
    bool screenless() const { return width == 0 || height == 0; }
    int canvasWidth() const { return screenless() ? firstImageWidth : width; }
    int canvasHeight() const { return screenless() ? firstImageHeight : height; }
};

// Reads the layout of an opened GIF file; nothing when the file is not a GIF. A file cut short
// counts the images that are complete. The file stays open and its descriptor's offset is not used.
std::optional<GifLayout> readGifLayout(const InputFile& file);

// The end time of each frame in seconds: entry i is the sum of the delays of frames 0 to i, each
// the stored delay when it is more than 0.011 s, else 0.1 s.
std::vector<double> gifCumulative(const GifLayout& layout);

// The frame shown at time t for the given end times: t is held inside [0, duration - 1e-9], and a
// time exactly on a boundary belongs to the later frame.
int gifFrameIndex(const std::vector<double>& cumulative, double durationSec, double t);

// Frames of an animated GIF composited as a viewer shows them (disposal and transparency by
// FFmpeg's GIF decoder), decoded in order. A GIF whose logical screen has a zero side (some
// encoders write 0x0) is decoded on the screen its first image needs, as web browsers show it;
// FFmpeg would refuse the file. Asking for increasing frame indices decodes each frame
// once; an earlier index restarts from the first frame, and the last two frames handed out are
// kept while they fit a fixed memory budget. A GIF whose screen is beyond the pixel limit of any
// picture, or whose screen area times frames is beyond the decoding bound, does not open. One
// thread at a time.
class GifDecoder {
public:
    // Opens the file whose layout was read, which the decoder keeps.
    static std::unique_ptr<GifDecoder> open(InputFile file, const GifLayout& layout);

    ~GifDecoder();
    GifDecoder(const GifDecoder&) = delete;
    GifDecoder& operator=(const GifDecoder&) = delete;

    // Frame `index` (0-based), RGBA when any pixel is transparent, else RGB; nothing when it
    // cannot be decoded.
    std::optional<Image> frame(int index);

    std::int64_t framesDecoded() const { return framesDecoded_; }

private:
    GifDecoder() = default;
    bool restart();
    bool decodeNext();
    static int readInput(void* opaque, std::uint8_t* buffer, int size);
    static std::int64_t seekInput(void* opaque, std::int64_t offset, int whence);

    InputFile file_;             // the file as opened; FFmpeg reads it through readInput
    std::int64_t position_ = 0;  // FFmpeg's read position in the file
    std::optional<std::array<std::uint8_t, 4>> screen_;  // the logical screen FFmpeg is shown instead
    ff::IoPtr io_;  // declared before format_, which uses it, so it is freed after
    ff::FormatPtr format_;
    ff::CodecPtr codec_;
    ff::PacketPtr packet_;
    ff::FramePtr current_;
    int currentIndex_ = -1;  // index of the frame in current_, -1 before the first
    bool draining_ = false;
    FrameConverter converter_;
    std::int64_t framesDecoded_ = 0;
    std::vector<std::pair<int, Image>> recent_;  // at most two within kGifCacheBytes, newest last
};

}  // namespace quillon
