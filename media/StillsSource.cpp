#include "media/StillsSource.hpp"

#include <algorithm>
#include <cctype>
#include <mutex>
#include <string>

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

std::int64_t StillsSource::framesDecoded() const
{
    if (!decoder_)
        return 0;
    if (decoder_->gif)
        return decoder_->gif->framesDecoded();
    return decoder_->video ? decoder_->video->framesDecoded() : 0;
}

}  // namespace quillon
