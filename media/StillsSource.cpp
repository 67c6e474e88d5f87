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

// Exactly one of the two back ends is present.
struct StillsSource::Decoder {
    std::unique_ptr<VideoDecoder> video;
    std::unique_ptr<GifDecoder> gif;
    std::vector<double> gifCumulative;  // end time of each GIF frame, strictly increasing
};

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
    source->decoder_ = std::make_unique<Decoder>();
    Decoder& d = *source->decoder_;

    if (hasGifExtension(file)) {
        source->isGif_ = true;
        // The layout and the frames come from one opened file, so they describe the same GIF.
        std::optional<InputFile> input = openInputFile(file);
        if (!input)
            return nullptr;
        std::optional<GifLayout> layout = readGifLayout(*input);
        if (!layout || layout->delays.empty())
            return nullptr;
        d.gifCumulative = gifCumulative(*layout);
        const double total = d.gifCumulative.back();
        source->durationSec_ = total > 0.0001 ? total : 0.0001;
        source->fps_ = static_cast<double>(layout->delays.size()) / (total > 0 ? total : 1.0);
        d.gif = GifDecoder::open(std::move(*input), *layout);
        if (!d.gif)
            return nullptr;
        long long width = layout->width, height = layout->height;
        if (width == 0 || height == 0) {
            // The logical screen gives no size: the first image's does.
            width = layout->firstImageWidth;
            height = layout->firstImageHeight;
        }
        if (width < 1 || height < 1 || width > 16384 || height > 16384 || !withinPixelLimit(width, height))
            return nullptr;
        source->pixelSize_ = PixelSize{static_cast<double>(width), static_cast<double>(height)};
        return source;
    }

    source->isGif_ = false;
    d.video = VideoDecoder::open(file);
    if (!d.video)
        return nullptr;
    source->durationSec_ = d.video->durationSec();
    source->fps_ = d.video->fps();
    if (std::optional<PixelSize> size = d.video->displaySize()) {
        source->pixelSize_ = *size;
    } else {
        // The headers give no size: the still at 0 s does.
        std::optional<Image> first = d.video->image(0);
        if (!first || first->width() < 1 || first->height() < 1)
            return nullptr;
        source->pixelSize_ = PixelSize{static_cast<double>(first->width()),
                                       static_cast<double>(first->height())};
    }
    return source;
}

std::optional<Image> StillsSource::image(double atSec)
{
    if (!decoder_)
        return std::nullopt;
    if (isGif_) {
        if (!decoder_->gif)
            return std::nullopt;
        return decoder_->gif->frame(gifFrameIndex(decoder_->gifCumulative, durationSec_, atSec));
    }
    if (!decoder_->video)
        return std::nullopt;
    return decoder_->video->image(atSec);
}

namespace {

// The largest decoded frame (in the decoder's own sample format) for which a second decoder runs
// side by side: 1080p with 10-bit or 4:4:4 samples is within it, 2160p is not.
constexpr std::int64_t kSideBySideFrameBytes = 8 << 20;

// Made results a decoder may have waiting to be used before it stops to wait itself.
constexpr std::size_t kMadeAhead = 4;

// The still at `sec` made into the caller's result; nothing (an empty result) when decoding or
// making throws, as for a still that cannot be made, so that a decoder thread never ends the
// process and the other results still arrive.
std::any makeAt(VideoDecoder& decoder, std::size_t index, double sec, int maxSide,
                const StillsSource::Making& make)
{
    try {
        return make(index, decoder.image(sec, maxSide));
    } catch (...) {
        return {};
    }
}

// Two decoders on threads of their own take the stills of a list of times, run by run (a run is
// a stretch of consecutive times with one key frame), each claiming the next run as soon as it
// has finished its last one, and make each still into its result there; the calling thread
// takes the results in list order.
class SideBySide {
public:
    SideBySide(const std::vector<double>& times, std::vector<std::size_t> runStarts, int maxSide,
               const StillsSource::Making& make)
        : times_(times), runStarts_(std::move(runStarts)), maxSide_(maxSide), make_(make)
    {
        runStarts_.push_back(times.size());
    }

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
                std::any made = makeAt(decoder, i, times_[i], maxSide_, make_);
                std::unique_lock lock(mutex_);
                changed_.wait(lock, [&] { return stopped_ || roomForMore(); });
                if (stopped_)
                    return;
                ready_.emplace(i, Made{&decoder, std::move(made)});
                changed_.notify_all();
            }
        }
    }

    std::any take(std::size_t index)
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return ready_.contains(index); });
        auto node = ready_.extract(index);
        changed_.notify_all();
        return std::move(node.mapped().result);
    }

    void stop()
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        ready_.clear();
        changed_.notify_all();
    }

private:
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
};

// Hands the results for `times` in order, decoded by `first` and `second` side by side. Both
// decoder threads have ended on return, a throw from `use` included.
void useSideBySide(VideoDecoder& first, VideoDecoder& second, const std::vector<double>& times,
                   std::vector<std::size_t> runStarts, int maxSide, const StillsSource::Making& make,
                   const StillsSource::Use& use)
{
    SideBySide work(times, std::move(runStarts), maxSide, make);
    std::thread one([&] { work.decode(first); });
    std::thread two([&] { work.decode(second); });
    struct Join {
        SideBySide& work;
        std::thread& one;
        std::thread& two;
        ~Join()
        {
            work.stop();
            one.join();
            two.join();
        }
    } join{work, one, two};
    for (std::size_t i = 0; i < times.size(); ++i)
        if (!use(i, work.take(i)))
            return;
}

}  // namespace

void StillsSource::stills(const std::vector<double>& times, const Making& make, const Use& use, int maxSide)
{
    auto oneByOne = [&] {
        for (std::size_t i = 0; i < times.size(); ++i) {
            std::any made;
            try {
                made = make(i, decoder_ && decoder_->video && !isGif_
                                   ? decoder_->video->image(times[i], maxSide)
                                   : image(times[i]));
            } catch (...) {
                made.reset();  // as for a still that cannot be made
            }
            if (!use(i, std::move(made)))
                return;
        }
    };
    VideoDecoder* video = decoder_ ? decoder_->video.get() : nullptr;
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
    useSideBySide(*video, *second, times, std::move(runStarts), maxSide, make, use);
    helperFrames_ += second->framesDecoded();  // its thread has ended
}

std::optional<SteppedStill> StillsSource::step(double atSec, FrameStep by, int maxSide)
{
    if (!decoder_)
        return std::nullopt;
    SteppedStill still;
    if (isGif_) {
        const std::vector<double>& ends = decoder_->gifCumulative;
        if (!decoder_->gif || ends.empty())
            return std::nullopt;
        const int last = static_cast<int>(ends.size()) - 1;
        auto startOf = [&](int index) { return index > 0 ? ends[static_cast<std::size_t>(index - 1)] : 0.0; };
        int index = gifFrameIndex(ends, durationSec_, atSec);
        if (by.unit == FrameStep::Unit::Frames) {
            const double count = std::round(
                std::clamp(by.amount, -double(kMaxFrameSteps), double(kMaxFrameSteps)));
            if (std::isfinite(count))
                index = static_cast<int>(std::clamp(index + count, 0.0, double(last)));
        } else if (std::isfinite(by.amount)) {
            index = gifFrameIndex(ends, durationSec_, startOf(index) + std::clamp(by.amount, -1e9, 1e9));
        }
        std::optional<Image> picture = decoder_->gif->frame(index);
        if (!picture)
            return std::nullopt;
        still.startSec = startOf(index);
        still.endSec = ends[static_cast<std::size_t>(index)];
        still.frameNumber = index;
        still.image = std::move(*picture);
    } else {
        if (!decoder_->video)
            return std::nullopt;
        std::optional<SteppedFrame> frame = decoder_->video->step(atSec, by, maxSide);
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
    if (!decoder_)
        return 0;
    if (decoder_->gif)
        return decoder_->gif->framesDecoded();
    return decoder_->video ? decoder_->video->framesDecoded() + helperFrames_ : 0;
}

}  // namespace quillon
