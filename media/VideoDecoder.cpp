#include "media/VideoDecoder.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <string_view>
#include <utility>

extern "C" {
#include <libavutil/imgutils.h>
}

#include "media/InputFile.hpp"
#include "media/MediaLimits.hpp"

namespace quillon {

namespace {

// Stills are refused beyond these sides, even when their pixel count would be allowed: a header
// that claims them is damaged or hostile, and no video worth taking stills from is that large.
constexpr long long kMaxVideoSide = 16384;

// Without an index that reaches the target, a target this far ahead is reached by seeking rather
// than by decoding everything in between.
constexpr double kForwardReachSec = 10.0;

double usableRate(AVRational r)
{
    if (r.num <= 0 || r.den <= 0)
        return 0;
    const double v = av_q2d(r);
    return std::isfinite(v) && v > 0 ? v : 0;
}

bool sizeAllowed(double width, double height)
{
    return width <= kMaxVideoSide && height <= kMaxVideoSide &&
           withinPixelLimit(static_cast<long long>(std::max(width, 1.0)),
                            static_cast<long long>(std::max(height, 1.0)));
}

// Opens a file for demuxing.
ff::FormatPtr openContainer(const std::filesystem::path& file)
{
    // A regular file only (a FIFO or a device would block or never end), read by FFmpeg on the
    // file protocol with the demuxers that follow references to other files refused.
    const std::optional<InputFile> input = openInputFile(file);
    if (!input)
        return nullptr;
    ff::FormatPtr format = openMediaInput(*input);
    if (!format)
        return nullptr;
    // A still picture (PNG or JPEG data under a video's name) opens through FFmpeg's image
    // demuxers as a "video" of one frame with no length: it is not a video. MJPEG inside AVI or
    // MOV comes through those containers' demuxers and stays one.
    const std::string_view name = format->iformat->name;
    if (name == "image2" || name.ends_with("_pipe"))
        return nullptr;
    return format;
}

// How long a frame is shown, in stream ticks; newer FFmpeg names the field `duration`.
std::int64_t shownTicks(const AVFrame& frame)
{
#if LIBAVUTIL_VERSION_INT >= AV_VERSION_INT(57, 30, 100)
    return frame.duration;
#else
    return frame.pkt_duration;
#endif
}

// The stream's display matrix; nothing when the stream has none. Newer FFmpeg keeps stream side
// data in the codec parameters.
const std::int32_t* displayMatrix(const AVStream& stream)
{
#if LIBAVCODEC_VERSION_INT >= AV_VERSION_INT(60, 30, 100)
    const AVPacketSideData* data = av_packet_side_data_get(
        stream.codecpar->coded_side_data, stream.codecpar->nb_coded_side_data, AV_PKT_DATA_DISPLAYMATRIX);
    const std::uint8_t* matrix = data ? data->data : nullptr;
    const std::size_t size = data ? data->size : 0;
#else
    std::size_t size = 0;
    const std::uint8_t* matrix = av_stream_get_side_data(&stream, AV_PKT_DATA_DISPLAYMATRIX, &size);
#endif
    return size >= 9 * sizeof(std::int32_t) ? reinterpret_cast<const std::int32_t*>(matrix) : nullptr;
}

}  // namespace

VideoDecoder::~VideoDecoder() = default;

std::unique_ptr<VideoDecoder> VideoDecoder::open(const std::filesystem::path& file)
{
    std::unique_ptr<VideoDecoder> d(new VideoDecoder);
    ff::FormatPtr container = openContainer(file);
    if (!container)
        return nullptr;
    AVFormatContext* fmt = container.get();
    if (avformat_find_stream_info(fmt, nullptr) < 0)
        return nullptr;

    // The first video track; a cover picture attached to an audio file is not one. Every other
    // stream is discarded by the demuxer.
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        AVStream* st = fmt->streams[i];
        if (!d->stream_ && st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO &&
            !(st->disposition & AV_DISPOSITION_ATTACHED_PIC))
            d->stream_ = st;
        else
            st->discard = AVDISCARD_ALL;
    }
    if (!d->stream_)
        return nullptr;
    AVStream* st = d->stream_;
    const int streamIndex = st->index;

    const AVCodecParameters* par = st->codecpar;
    d->codedWidth_ = std::max(par->width, 0);
    d->codedHeight_ = std::max(par->height, 0);
    if (!sizeAllowed(d->codedWidth_, d->codedHeight_))
        return nullptr;
    if (par->format >= 0 && d->codedWidth_ > 0 && d->codedHeight_ > 0)
        d->decodedFrameBytes_ = std::max(0, av_image_get_buffer_size(static_cast<AVPixelFormat>(par->format),
                                                                     d->codedWidth_, d->codedHeight_, 1));

    // A track whose codec has no decoder here would open only to fail at every still; it is
    // refused now so the user hears at once that the file cannot be read.
    ff::CodecPtr decoder = ff::openDecoder(*par, [&](AVCodecContext& context) {
        context.pkt_timebase = st->time_base;
        context.thread_count = 2;
        context.thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
        context.max_pixels = kMaxImagePixels;
        // Frames decoded from missing references (an open group of pictures entered at its key
        // frame) come out marked as damaged rather than silently dropped, so a seek can tell that
        // the frame it wants exists and start further back.
        context.flags |= AV_CODEC_FLAG_OUTPUT_CORRUPT;
    });
    if (!decoder)
        return nullptr;

    d->timeBase_ = st->time_base;
    if (d->timeBase_.num <= 0 || d->timeBase_.den <= 0)
        return nullptr;
    d->startTick_ = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    // A program stream stores no presentation time for many frames, and right after a seek
    // FFmpeg guesses the missing ones from where the search landed, up to a few frames off; the
    // guesses are only replaced by the file's own times at the next frames that carry them. Seeks
    // there land this far before the target, so the frames around the target are placed by the
    // file's times (and by counting from them) rather than by guesses.
    if (std::string_view(fmt->iformat->name) == "mpeg")
        d->seekLeadTicks_ = av_rescale_q(2, AVRational{1, 1}, d->timeBase_);

    // The video track's own length when the container states it: a container's length may
    // count from timestamp 0 rather than from the first frame (an MP4 whose edit list starts with
    // an empty stretch, a Matroska file whose timestamps start late), which would stretch the time
    // axis far past the last frame.
    double duration = 0;
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0) {
        duration = static_cast<double>(st->duration) * av_q2d(st->time_base);
        d->trackEndTick_ = d->startTick_ + st->duration;
    } else if (fmt->duration != AV_NOPTS_VALUE && fmt->duration > 0) {
        duration = static_cast<double>(fmt->duration) / AV_TIME_BASE;
        if (std::strstr(fmt->iformat->name, "matroska") && fmt->start_time != AV_NOPTS_VALUE &&
            fmt->start_time > 0)
            duration -= static_cast<double>(fmt->start_time) / AV_TIME_BASE;
    }
    d->durationSec_ = std::isfinite(duration) && duration > 0 ? duration : 0;

    double rate = usableRate(st->avg_frame_rate);
    if (rate == 0)
        rate = usableRate(st->r_frame_rate);
    d->fps_ = rate > 0 ? rate : 30;

    const double tick = av_q2d(d->timeBase_);
    d->frameTicks_ = std::max<std::int64_t>(1, std::llround(1.0 / d->fps_ / tick));
    d->cursor_ = std::make_unique<DecodeCursor>(std::move(container), std::move(decoder), streamIndex,
                                                d->frameTicks_, d->startTick_);
    if (!d->cursor_->packet())
        return nullptr;
    d->cursor_->setSeeksLandAnywhere(fmt->iformat->flags &
                                     (AVFMT_TS_DISCONT | AVFMT_GENERIC_INDEX | AVFMT_NOTIMESTAMPS));

    // Streams without an index state no length of their own; FFmpeg's estimate for them can be a
    // fifth short (program streams whose reference frames carry no timestamps) or missing
    // (elementary streams). Their length is read from the file instead.
    const bool untimed = (fmt->iformat->flags & (AVFMT_GENERIC_INDEX | AVFMT_NOTIMESTAMPS)) &&
                         st->duration == AV_NOPTS_VALUE &&
                         (fmt->duration == AV_NOPTS_VALUE || fmt->duration <= 0);
    if (untimed || (fmt->iformat->flags & AVFMT_TS_DISCONT)) {
        if (std::optional<std::int64_t> end = d->measureEndTick(untimed)) {
            d->trackEndTick_ = *end;
            d->durationSec_ = d->secondsAt(*end);
        }
    }

    d->sampleAspect_ = av_guess_sample_aspect_ratio(fmt, st, nullptr);
    if (const std::int32_t* matrix = displayMatrix(*st)) {
        d->orientation_ = Orientation::fromDisplayMatrix(matrix);
        d->turn_ = {matrix[0] / 65536.0, matrix[1] / 65536.0, matrix[3] / 65536.0, matrix[4] / 65536.0};
    }
    if (std::optional<PixelSize> size = d->displaySize(); size && !sizeAllowed(size->width, size->height))
        return nullptr;
    return d;
}

std::optional<PixelSize> VideoDecoder::displaySize() const
{
    // Pixels that are not square (anamorphic PAL and NTSC, HDV) are shown wider or narrower by
    // their aspect ratio, as players show them: the width is scaled, then the matrix turns the
    // picture.
    double w = codedWidth_;
    const double h = codedHeight_;
    if (sampleAspect_.num > 0 && sampleAspect_.den > 0 && sampleAspect_.num != sampleAspect_.den)
        w = std::max(1.0, std::round(w * sampleAspect_.num / sampleAspect_.den));
    const auto [a, b, c, d] = turn_;
    // std::round takes halves away from zero.
    const double tw = std::round(std::fabs(a * w + c * h));
    const double th = std::round(std::fabs(b * w + d * h));
    if (tw > 0 && th > 0)
        return PixelSize{tw, th};
    if (w > 0 && h > 0)
        return PixelSize{w, h};
    return std::nullopt;
}

std::optional<std::int64_t> VideoDecoder::measureEndTick(bool untimed)
{
    AVFormatContext* fmt = cursor_->format();
    AVPacket* pkt = cursor_->packet();
    const int streamIndex = stream_->index;
    auto readToEnd = [&](auto&& take) {
        while (av_read_frame(fmt, pkt) >= 0) {
            if (pkt->stream_index == streamIndex)
                take(*pkt);
            av_packet_unref(pkt);
        }
    };
    std::optional<std::int64_t> end;
    if (untimed) {
        // No timestamps at all: the frames are counted (demuxing only, no decoding) and follow
        // each other at the nominal rate.
        std::int64_t frames = 0;
        readToEnd([&](const AVPacket&) { ++frames; });
        if (frames > 0)
            end = startTick_ + frames * frameTicks_;
    } else {
        // The last timestamps lie in the file's tail: the tail is demuxed (not decoded), widening
        // it until it holds a timed frame. A frame without a presentation time is taken at its
        // decoding time, which never lies after its presentation; the last frame ends one
        // nominal interval after the latest start found.
        const std::int64_t size = avio_size(fmt->pb);
        // A tail of 64 MB without one timestamp is not a stream worth reading further.
        for (std::int64_t window = std::int64_t{1} << 20;
             !end && size > 0 && window <= (std::int64_t{64} << 20); window *= 4) {
            const std::int64_t from = std::max<std::int64_t>(0, size - window);
            if (av_seek_frame(fmt, -1, from, AVSEEK_FLAG_BYTE) < 0)
                break;
            readToEnd([&](const AVPacket& p) {
                const std::int64_t start = p.pts != AV_NOPTS_VALUE ? p.pts : p.dts;
                if (start != AV_NOPTS_VALUE && (!end || start + frameTicks_ > *end))
                    end = start + frameTicks_;
            });
            if (from == 0)
                break;
        }
    }
    // Back to the start of the file, where the first frame is found.
    av_seek_frame(fmt, -1, 0, AVSEEK_FLAG_BYTE);
    if (end && *end <= startTick_)
        end.reset();
    return end;
}

double VideoDecoder::secondsAt(std::int64_t tick) const
{
    return static_cast<double>(tick - startTick_) * av_q2d(timeBase_);
}

bool VideoDecoder::seekTo(std::int64_t tick, bool toStart)
{
    const bool ok = cursor_->seek(tick, toStart);
    kept_.reset();
    pending_.reset();
    positioned_ = ok;
    return ok;
}

// The cursor's next frame, within the work one still may cost: a still that would need more
// decoded pixels than the bound (a huge coded size times a long run of frames) fails instead of
// holding the work queue.
std::optional<PlacedFrame> VideoDecoder::nextFrame(std::int64_t targetTick)
{
    if (overBound_)
        return std::nullopt;
    std::optional<PlacedFrame> frame = cursor_->next(targetTick);
    if (frame) {
        const long long area = std::max<long long>(static_cast<long long>(codedWidth_) * codedHeight_,
                                                   static_cast<long long>(frame->frame->width) *
                                                       frame->frame->height);
        if (area > 0 && cursor_->framesDecoded() - stillFirstFrame_ > workBound_ / area) {
            overBound_ = true;
            return std::nullopt;
        }
    }
    return frame;
}

bool VideoDecoder::shouldSeek(std::int64_t targetTick) const
{
    if (cursor_->state() != DecodeCursor::State::Reading)
        return false;  // the file is read to its end; nothing lies ahead
    const std::int64_t position = cursor_->position();
    // Packets already handed to the decoder: its reordering delay plus one per thread.
    const std::int64_t margin = frameTicks_ *
                                (cursor_->codec()->has_b_frames + cursor_->codec()->thread_count + 2);
    const int entries = avformat_index_get_entries_count(stream_);
    const AVIndexEntry* last = entries > 0 ? avformat_index_get_entry(stream_, entries - 1) : nullptr;
    const int found = av_index_search_timestamp(stream_, targetTick, AVSEEK_FLAG_BACKWARD);
    if (found >= 0) {
        const AVIndexEntry* key = avformat_index_get_entry(stream_, found);
        if (key && key->timestamp > position + margin)
            return true;  // a key frame closer to the target than where decoding stands
        if (last && last->timestamp >= targetTick)
            return false;  // the index reaches the target and has no closer key frame
    }
    return static_cast<double>(targetTick - position) * av_q2d(timeBase_) > kForwardReachSec;
}

std::optional<Image> VideoDecoder::stillOf(const PlacedFrame& placed)
{
    if (still_ && stillTick_ == placed.tick && stillMaxSide_ == maxSide_)
        return still_;
    const AVFrame& frame = *placed.frame;
    int width = frame.width, height = frame.height;
    if (std::optional<PixelSize> size = displaySize()) {
        // The stored size that turns into the displayed one: the still always has pixelSize.
        width = static_cast<int>(orientation_.swapAxes ? size->height : size->width);
        height = static_cast<int>(orientation_.swapAxes ? size->width : size->height);
    }
    const int longest = std::max(width, height);
    if (maxSide_ > 0 && longest > maxSide_) {
        const double scale = static_cast<double>(maxSide_) / longest;
        width = std::max(1, static_cast<int>(std::lround(scale * width)));
        height = std::max(1, static_cast<int>(std::lround(scale * height)));
    }
    still_.reset();
    still_ = converter_.convert(frame, width, height, orientation_);
    stillTick_ = still_ ? placed.tick : INT64_MIN;
    stillMaxSide_ = maxSide_;
    return still_;
}

// The timestamp of the last frame that may be the still at atSec. Times are taken to the nearest
// 1/600 s first (a multiple of the common frame intervals), and that time is turned into ticks
// exactly, rounding down, so a time on a frame's start gives that frame.
std::int64_t VideoDecoder::targetTick(double atSec)
{
    double t = atSec >= 0 ? atSec : 0;  // also takes NaN to 0
    // Far past any real clip; keeps the conversions below from overflowing.
    t = std::min(t, std::min(1e12 * av_q2d(timeBase_), 1e12));
    if (!startKnown_)
        findStart();
    const std::int64_t steps = std::llround(t * 600);
    return startTick_ +
           av_rescale_rnd(steps, timeBase_.den, std::int64_t{600} * timeBase_.num, AV_ROUND_DOWN);
}

std::optional<std::int64_t> VideoDecoder::keyFrameFor(double atSec)
{
    const int found = av_index_search_timestamp(stream_, targetTick(atSec), AVSEEK_FLAG_BACKWARD);
    const AVIndexEntry* key = found >= 0 ? avformat_index_get_entry(stream_, found) : nullptr;
    if (!key)
        return std::nullopt;
    return key->timestamp;
}

std::optional<Image> VideoDecoder::image(double atSec, int maxSide)
{
    return imageAtTick(targetTick(atSec), maxSide);
}

std::optional<Image> VideoDecoder::imageAtTick(std::int64_t limit, int maxSide)
{
    maxSide_ = std::max(0, maxSide);
    stillFirstFrame_ = cursor_->framesDecoded();
    overBound_ = false;
    std::optional<Image> still = decodeStill(limit);
    if (overBound_) {
        // Decoding stopped part way, so what was kept is not the frame at atSec; the next still
        // starts afresh from a seek.
        positioned_ = false;
        kept_.reset();
        pending_.reset();
        still_.reset();
        stillTick_ = INT64_MIN;
        overBound_ = false;
        return std::nullopt;
    }
    return still;
}

std::optional<Image> VideoDecoder::decodeStill(std::int64_t limit)
{
    const double tick = av_q2d(timeBase_);

    if (positioned_ && kept_ && kept_->tick <= limit) {
        if (pending_ && pending_->tick > limit)
            return stillOf(*kept_);  // the same frame as last time still covers t
        if (!shouldSeek(limit) && advanceTo(limit))
            return finish(limit);
    }

    // Seek to the key frame at or before the target and decode forward from there. The index
    // may point past the target (it can hold decoding times), and frames after a key frame may
    // refer to frames before it (open groups of pictures): when the first frame out is already
    // late, or a frame up to the target comes out damaged, start again further back.
    std::int64_t seekTick = std::max(startTick_ - 1, limit - seekLeadTicks_);
    std::int64_t backoff = std::max<std::int64_t>(frameTicks_, std::llround(1.0 / tick));
    auto further = [&](std::int64_t from) {
        seekTick = std::max(startTick_ - 1, from - backoff);
        backoff *= 2;
    };
    for (int attempt = 0; attempt < 24; ++attempt) {
        const bool fromStart = seekTick <= startTick_;
        if (!seekTo(seekTick, fromStart)) {
            if (fromStart)
                return std::nullopt;
            further(seekTick);
            continue;
        }
        std::optional<PlacedFrame> first = nextFrame(limit);
        // From the very start of the file, damaged frames are passed over: the first whole one
        // is the earliest still there is.
        while (fromStart && first && first->damaged)
            first = nextFrame(limit);
        if (!first) {
            if (fromStart)
                return std::nullopt;  // not one frame from the start of the file
            further(seekTick);
            continue;
        }
        const std::int64_t firstTick = first->tick;
        const std::int64_t firstSent = cursor_->firstSentTick();
        if (!fromStart && firstSent != AV_NOPTS_VALUE && firstTick < firstSent) {
            // No frame shows before its own packet is decoded, so this one is left over from
            // before the seek (FFmpeg's MPEG-1 decoder can hand one out at the end of the file):
            // the seek landed past the key frame and nothing after it could be decoded.
            further(seekTick);
            continue;
        }
        if (!first->damaged && (firstTick <= limit || fromStart)) {
            kept_ = std::move(first);
            if (firstTick > limit)
                return stillOf(*kept_);  // the time lies before the first frame
            if (advanceTo(limit) || fromStart)
                return finish(limit);
        }
        further(std::min(seekTick, firstTick));
    }
    return std::nullopt;
}

void VideoDecoder::findStart()
{
    // The clip starts with its first frame as decoded. The stream's stated start is not always
    // that frame's timestamp: AVI stores decoding times only, and with B-frames every frame then
    // comes out one decoding step late. The file is still at its start after opening.
    startKnown_ = true;
    std::optional<PlacedFrame> first = nextFrame(startTick_);
    if (!first)
        return;
    startTick_ = first->tick;
    positioned_ = !first->damaged;
    if (positioned_)
        kept_ = std::move(first);
}

bool VideoDecoder::advanceTo(std::int64_t limit)
{
    if (pending_ && pending_->tick > limit)
        return true;  // the frame after the kept one lies past the target: the kept one is the still
    // kept_ holds a whole frame at or before the target; each frame after it up to the target
    // replaces it, and one that comes out damaged leaves the still unknown until a whole one
    // follows.
    bool damaged = false;
    std::optional<PlacedFrame> frame = std::exchange(pending_, std::nullopt);
    if (!frame)
        frame = nextFrame(limit);
    for (; frame; frame = nextFrame(limit)) {
        if (frame->tick > limit) {
            pending_ = std::move(frame);
            break;
        }
        damaged = frame->damaged;
        if (!damaged)
            kept_ = std::move(frame);
    }
    // Without a frame past the target the file has ended (or its rest cannot be read): the last
    // frame is the still.
    return !damaged;
}

std::optional<Image> VideoDecoder::finish(std::int64_t limit)
{
    if (!pending_ && trackEndTick_ != AV_NOPTS_VALUE) {
        // The file ended (or broke off) before the target. Past the track's stated end the last
        // frame stays on screen; inside it, the frames are missing (a file cut short), and the
        // last frame that could be read is not the still at that time.
        const std::int64_t shown = std::max<std::int64_t>(shownTicks(*kept_->frame), frameTicks_);
        if (limit < trackEndTick_ - frameTicks_ && kept_->tick + 2 * shown < limit)
            return std::nullopt;
    }
    return stillOf(*kept_);
}

std::optional<std::int64_t> VideoDecoder::nextFrameTick()
{
    if (!kept_)
        return std::nullopt;
    if (pending_)
        return pending_->tick;
    // The frame after the kept one has not been taken out yet (the still lay before the first
    // frame, or the file ended there): read it, keeping it for the next still.
    std::optional<PlacedFrame> frame = nextFrame(kept_->tick);
    while (frame && frame->tick <= kept_->tick)
        frame = nextFrame(kept_->tick);
    if (!frame)
        return std::nullopt;
    pending_ = std::move(frame);
    return pending_->tick;
}

std::optional<SteppedFrame> VideoDecoder::step(double atSec, FrameStep by, int maxSide)
{
    std::optional<Image> still;
    const auto reach = [&](std::int64_t tick) {
        still = imageAtTick(tick, maxSide);
        return still && kept_;
    };
    if (!reach(targetTick(atSec)))
        return std::nullopt;
    if (by.unit == FrameStep::Unit::Frames) {
        const long long count = frameCount(by);
        // Forward: the next frame is the one the decoder holds or reads next, so no seek is made.
        for (long long i = 0; i < count; ++i) {
            const std::optional<std::int64_t> next = nextFrameTick();
            if (!next)
                break;  // the last frame: stepping stays on it
            if (!reach(*next))
                return std::nullopt;
        }
        // Back: the frame on screen just before this one starts. It is decoded from the key
        // frame before it, so a step back costs at most one group of pictures.
        for (long long i = 0; i > count; --i) {
            const std::int64_t current = kept_->tick;
            if (current <= startTick_)
                break;  // the first frame: stepping stays on it
            if (!reach(current - 1))
                return std::nullopt;
            if (kept_->tick >= current)
                break;  // nothing decodable lies before it
        }
    } else if (std::isfinite(by.amount) && by.amount != 0) {
        // The frame on screen that many seconds from the start of the current one, held inside
        // the clip: before the first frame gives the first, past the end the last.
        const double seconds = std::clamp(by.amount, -1e6, 1e6);
        const std::int64_t offset = av_rescale_q(std::llround(seconds * 1e6), AVRational{1, 1000000},
                                                 timeBase_);
        if (!reach(std::max(startTick_, kept_->tick + offset)))
            return std::nullopt;
    }

    SteppedFrame result{secondsAt(kept_->tick), 0, std::move(*still)};
    const std::int64_t tick = kept_->tick;
    if (const std::optional<std::int64_t> next = nextFrameTick()) {
        result.endSec = secondsAt(*next);
    } else {
        // The last frame lasts to the track's stated end, or one frame interval when none is
        // stated (or the statement ends before the frame).
        const std::int64_t shown = std::max<std::int64_t>(shownTicks(*kept_->frame), frameTicks_);
        const std::int64_t end = trackEndTick_ != AV_NOPTS_VALUE && trackEndTick_ > tick ? trackEndTick_
                                                                                         : tick + shown;
        result.endSec = secondsAt(end);
    }
    return result;
}

}  // namespace quillon
