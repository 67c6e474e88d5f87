#include "media/StillsSource.hpp"

#include <algorithm>
#include <cctype>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

extern "C" {
#include <libavutil/log.h>
}

#include "media/GifDecoder.hpp"
#include "media/VideoDecoder.hpp"
#include "media/VipsLimits.hpp"

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

bool hasGifExtension(const std::filesystem::path& url)
{
    std::string ext = url.extension().string();
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    return ext == ".gif";
}

}  // namespace

StillsSource::~StillsSource() = default;

std::shared_ptr<StillsSource> StillsSource::open(const std::filesystem::path& url)
{
    ensureVipsStarted();
    silenceFfmpeg();
    std::shared_ptr<StillsSource> source(new StillsSource);
    source->url_ = url;
    source->decoder_ = std::make_unique<Decoder>();
    Decoder& d = *source->decoder_;

    if (hasGifExtension(url)) {
        source->isGif_ = true;
        std::optional<GifLayout> layout = readGifLayout(url);
        if (!layout || layout->delays.empty())
            return nullptr;
        d.gifCumulative = gifCumulative(*layout);
        const double total = d.gifCumulative.back();
        source->durationSec_ = total > 0.0001 ? total : 0.0001;
        source->fps_ = static_cast<double>(layout->delays.size()) / (total > 0 ? total : 1.0);
        d.gif = GifDecoder::open(url);
        if (!d.gif)
            return nullptr;
        long long width = layout->width, height = layout->height;
        if (width == 0 || height == 0) {
            // The logical screen gives no size: the first frame as decoded does.
            std::optional<Image> first = d.gif->frame(0);
            width = first ? first->width() : 0;
            height = first ? first->height() : 0;
        }
        if (width < 1 || height < 1 || width > 16384 || height > 16384 || !withinPixelLimit(width, height))
            return nullptr;
        source->pixelSize_ = PixelSize{static_cast<double>(width), static_cast<double>(height)};
        return source;
    }

    source->isGif_ = false;
    d.video = VideoDecoder::open(url);
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
        source->pixelSize_ = PixelSize{static_cast<double>(first->width()), static_cast<double>(first->height())};
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

// Hands the stills a helper thread decodes over to the delivering thread, one at a time: the
// helper waits until its last still has been taken before it decodes the next.
class Handover {
public:
    void put(std::optional<Image> still)
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return !full_ || stopped_; });
        still_ = std::move(still);
        full_ = true;
        changed_.notify_all();
    }

    std::optional<Image> take()
    {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [this] { return full_; });
        full_ = false;
        changed_.notify_all();
        return std::move(still_);
    }

    void stop()
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        changed_.notify_all();
    }

    bool stopped()
    {
        std::lock_guard lock(mutex_);
        return stopped_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<Image> still_;
    bool full_ = false;
    bool stopped_ = false;
};

// Decodes the times the helper takes on `helper` in a thread of its own and the others on `own`,
// and delivers every still in order on the calling thread. The helper thread has ended on return.
void deliverSideBySide(VideoDecoder& own, VideoDecoder& helper, const std::vector<double>& times,
                       const std::vector<bool>& helperTakes, const StillsSource::Delivery& deliver)
{
    Handover handover;
    std::thread worker([&] {
        for (std::size_t i = 0; i < times.size() && !handover.stopped(); ++i)
            if (helperTakes[i])
                handover.put(helper.image(times[i]));
    });
    // The helper is stopped and waited for however delivery ends, a throw included.
    struct Join {
        Handover& handover;
        std::thread& worker;
        ~Join()
        {
            handover.stop();
            worker.join();
        }
    } join{handover, worker};
    for (std::size_t i = 0; i < times.size(); ++i) {
        std::optional<Image> still = helperTakes[i] ? handover.take() : own.image(times[i]);
        if (!deliver(i, std::move(still)))
            return;
    }
}

}  // namespace

void StillsSource::stills(const std::vector<double>& times, const Delivery& deliver)
{
    auto oneByOne = [&](std::size_t from) {
        for (std::size_t i = from; i < times.size(); ++i)
            if (!deliver(i, image(times[i])))
                return;
    };
    VideoDecoder* video = decoder_ ? decoder_->video.get() : nullptr;
    if (!video || times.size() < 3) {
        oneByOne(0);
        return;
    }

    // Runs of times that share a key frame go to one decoder, and the runs alternate between the
    // two, so that neither decodes a frame the other needs. Where the index cannot tell, all
    // times stay with this source's own decoder.
    std::vector<bool> helperTakes(times.size(), false);
    bool helper = false;
    int runs = 0;
    std::optional<std::int64_t> previousKey;
    for (std::size_t i = 0; i < times.size(); ++i) {
        std::optional<std::int64_t> key = video->keyFrameFor(times[i]);
        if (!key) {
            oneByOne(0);
            return;
        }
        if (i > 0 && *key != *previousKey) {
            helper = !helper;
            ++runs;
        }
        helperTakes[i] = helper;
        previousKey = key;
    }
    // The helper decoder opens the file again; one that describes it differently (the file was
    // replaced since) is not used.
    std::unique_ptr<VideoDecoder> second = runs > 0 ? VideoDecoder::open(url_) : nullptr;
    if (!second || second->durationSec() != video->durationSec() || second->fps() != video->fps() ||
        second->displaySize() != video->displaySize()) {
        oneByOne(0);
        return;
    }

    deliverSideBySide(*video, *second, times, helperTakes, deliver);
    helperFrames_ += second->framesDecoded();  // the helper thread has ended
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
