#include "media/StillsSource.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

extern "C" {
#include <libavutil/log.h>
}

#include "media/GifDecoder.hpp"
#include "media/MediaLimits.hpp"
#include "media/VideoDecoder.hpp"

namespace quillon {

namespace {

void silenceFfmpeg()
{
    // Nothing is logged anywhere: damaged input would otherwise print FFmpeg's complaints.
    static std::once_flag once;
    std::call_once(once, [] { av_log_set_level(AV_LOG_QUIET); });
}

bool hasGifExtension(const std::filesystem::path& file)
{
    std::string ext = file.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext == ".gif";
}

}  // namespace

StillsSource::~StillsSource() = default;

std::shared_ptr<StillsSource> StillsSource::open(const std::filesystem::path& file)
{
    ensureVipsStarted();
    silenceFfmpeg();
    std::shared_ptr<StillsSource> source(new StillsSource);
    source->file_ = file;

    if (hasGifExtension(file)) {
        // The layout and the frames come from one opened file, so they describe the same GIF.
        std::optional<InputFile> input = openInputFile(file);
        if (!input)
            return nullptr;
        std::optional<GifLayout> layout = readGifLayout(*input);
        if (!layout || layout->delays.empty())
            return nullptr;
        source->gifEnds_ = gifCumulative(*layout);
        const double total = source->gifEnds_.back();
        source->durationSec_ = total > 0.0001 ? total : 0.0001;
        source->fps_ = static_cast<double>(layout->delays.size()) / (total > 0 ? total : 1.0);
        source->gif_ = GifDecoder::open(std::move(*input), *layout);
        if (!source->gif_)
            return nullptr;
        const long long width = layout->canvasWidth(), height = layout->canvasHeight();
        if (width < 1 || height < 1 || width > 16384 || height > 16384 || !withinPixelLimit(width, height))
            return nullptr;
        source->pixelSize_ = PixelSize{static_cast<double>(width), static_cast<double>(height)};
        return source;
    }

    source->video_ = VideoDecoder::open(file);
    VideoDecoder* video = source->video_.get();
    if (!video)
        return nullptr;
    source->durationSec_ = video->durationSec();
    source->fps_ = video->fps();
    if (std::optional<PixelSize> size = video->displaySize()) {
        source->pixelSize_ = *size;
    } else {
        // The headers give no size: the still at 0 s does.
        std::optional<Image> first = video->image(0);
        if (!first || first->width() < 1 || first->height() < 1)
            return nullptr;
        source->pixelSize_ = PixelSize{static_cast<double>(first->width()),
                                       static_cast<double>(first->height())};
    }
    return source;
}

std::optional<Image> StillsSource::image(double atSec)
{
    if (gif_)
        return gif_->frame(gifFrameIndex(gifEnds_, durationSec_, atSec));
    return video_->image(atSec);
}

namespace {

// The largest decoded frame (in the decoder's own sample format) for which a second decoder runs
// side by side: 1080p with 10-bit or 4:4:4 samples is within it, 2160p is not.
constexpr std::int64_t kSideBySideFrameBytes = 8 << 20;

// Made results a decoder may have waiting to be used before it stops to wait itself.
constexpr std::size_t kMadeAhead = 4;

// The still `decode` gives made into the caller's result; nothing (an empty result) when decoding
// or making throws, as for a still that cannot be made, so that a decoder thread never ends the
// process and the other results still arrive.
template <typename Decode>
std::any makeOrEmpty(const StillsSource::Making& make, std::size_t index, Decode&& decode)
{
    try {
        return make(index, decode());
    } catch (...) {
        return {};
    }
}

// Two decoders on threads of their own take the stills of a list of times, run by run (a run is
// a stretch of consecutive times with one key frame), each claiming the next run as soon as it
// has finished its last one, and make each still into its result there; the calling thread
// takes the results in list order. Both threads have ended once this is destroyed.
class SideBySide {
public:
    SideBySide(VideoDecoder& first, VideoDecoder& second, const std::vector<double>& times,
               std::vector<std::size_t> runStarts, int maxSide, const StillsSource::Making& make)
        : times_(times), runStarts_(std::move(runStarts)), maxSide_(maxSide), make_(make)
    {
        runStarts_.push_back(times.size());
        one_ = std::thread([this, &first] { decode(first); });
        two_ = std::thread([this, &second] { decode(second); });
    }

    ~SideBySide()
    {
        {
            std::lock_guard lock(mutex_);
            stopped_ = true;
            ready_.clear();
            changed_.notify_all();
        }
        one_.join();
        two_.join();
    }

    std::any take(std::size_t index)
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return ready_.contains(index); });
        auto node = ready_.extract(index);
        changed_.notify_all();
        return std::move(node.mapped().result);
    }

private:
    // The loop of one decoder's thread.
    void decode(VideoDecoder& decoder)
    {
        auto roomForMore = [&] {
            return std::count_if(ready_.begin(), ready_.end(), [&](const auto& r) {
                       return r.second.maker == &decoder;
                   }) < static_cast<std::ptrdiff_t>(kMadeAhead);
        };
        for (;;) {
            std::size_t run = 0;
            {
                std::lock_guard lock(mutex_);
                if (stopped_ || nextRun_ + 1 >= runStarts_.size())
                    return;
                run = nextRun_++;
            }
            for (std::size_t i = runStarts_[run]; i < runStarts_[run + 1]; ++i) {
                std::any made = makeOrEmpty(make_, i, [&] { return decoder.image(times_[i], maxSide_); });
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return stopped_ || roomForMore(); });
                if (stopped_)
                    return;
                ready_.emplace(i, Made{&decoder, std::move(made)});
                changed_.notify_all();
            }
        }
    }

    struct Made {
        const VideoDecoder* maker;
        std::any result;
    };
    const std::vector<double>& times_;
    std::vector<std::size_t> runStarts_;
    int maxSide_;
    const StillsSource::Making& make_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::size_t nextRun_ = 0;
    std::map<std::size_t, Made> ready_;
    bool stopped_ = false;
    std::thread one_;
    std::thread two_;
};

}  // namespace

void StillsSource::stills(const std::vector<double>& times, const Making& make, const Use& use, int maxSide)
{
    VideoDecoder* video = video_.get();
    auto oneByOne = [&] {
        for (std::size_t i = 0; i < times.size(); ++i) {
            std::any made = makeOrEmpty(
                make, i, [&] { return video ? video->image(times[i], maxSide) : image(times[i]); });
            if (!use(i, std::move(made)))
                return;
        }
    };
    // A second decoder holds its own reference frames and frames in flight, about twenty decoded
    // frames: at 1080p a few tens of megabytes, at 2160p with 10-bit samples half a gigabyte. Large
    // frames are decoded by one decoder, whose frame threads already keep both cores busy.
    if (!video || times.size() < 3 || video->decodedFrameBytes() > kSideBySideFrameBytes) {
        oneByOne();
        return;
    }

    // Runs of times that share a key frame go to one decoder, so that neither decodes a frame the
    // other needs. Where the index cannot tell, all times stay with this source's own decoder.
    std::vector<std::size_t> runStarts{0};
    std::optional<std::int64_t> previousKey;
    for (std::size_t i = 0; i < times.size(); ++i) {
        std::optional<std::int64_t> key = video->keyFrameFor(times[i]);
        if (!key) {
            oneByOne();
            return;
        }
        if (i > 0 && *key != *previousKey)
            runStarts.push_back(i);
        previousKey = key;
    }
    // The second decoder opens the file again; one that describes it differently (the file was
    // replaced since) is not used.
    std::unique_ptr<VideoDecoder> second = runStarts.size() > 1 ? VideoDecoder::open(file_) : nullptr;
    if (!second || second->durationSec() != video->durationSec() || second->fps() != video->fps() ||
        second->displaySize() != video->displaySize()) {
        oneByOne();
        return;
    }
    {
        SideBySide work(*video, *second, times, std::move(runStarts), maxSide, make);
        for (std::size_t i = 0; i < times.size(); ++i)
            if (!use(i, work.take(i)))
                break;
    }
    helperFrames_ += second->framesDecoded();  // its thread has ended
}

std::optional<SteppedStill> StillsSource::step(double atSec, FrameStep by, int maxSide)
{
    SteppedStill still;
    if (gif_) {
        const std::vector<double>& ends = gifEnds_;
        const int last = static_cast<int>(ends.size()) - 1;
        auto startOf = [&](int index) { return index > 0 ? ends[static_cast<std::size_t>(index - 1)] : 0.0; };
        int index = gifFrameIndex(ends, durationSec_, atSec);
        if (by.unit == FrameStep::Unit::Frames) {
            index = static_cast<int>(std::clamp<long long>(index + frameCount(by), 0, last));
        } else if (std::isfinite(by.amount)) {
            index = gifFrameIndex(ends, durationSec_, startOf(index) + std::clamp(by.amount, -1e9, 1e9));
        }
        std::optional<Image> picture = gif_->frame(index);
        if (!picture)
            return std::nullopt;
        still.startSec = startOf(index);
        still.endSec = ends[static_cast<std::size_t>(index)];
        still.frameNumber = index;
        still.image = std::move(*picture);
    } else {
        std::optional<SteppedFrame> frame = video_->step(atSec, by, maxSide);
        if (!frame)
            return std::nullopt;
        still.startSec = frame->startSec;
        still.endSec = frame->endSec;
        still.frameNumber = std::llround(std::max(0.0, frame->startSec) * fps_);
        still.image = std::move(frame->image);
    }
    // The middle of the interval lies well clear of the rounding to 1/600 s at both ends.
    still.stillSec = still.startSec + std::max(0.0, still.endSec - still.startSec) / 2;
    return still;
}

std::int64_t StillsSource::framesDecoded() const
{
    return gif_ ? gif_->framesDecoded() : video_->framesDecoded() + helperFrames_;
}

}  // namespace quillon
