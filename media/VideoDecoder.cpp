#include "media/VideoDecoder.hpp"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstring>
#include <utility>


#include "media/InputFile.hpp"
#include "media/VipsLimits.hpp"

namespace quillon {

namespace {

// Stills are refused beyond these sides, even when their pixel count would be allowed: a header
// that claims them is damaged or hostile, and no video worth taking stills from is that large.
constexpr long long kMaxVideoSide = 16384;

// Without an index that reaches the target, a target this far ahead is reached by seeking rather
// than by decoding everything in between.
constexpr double kForwardReachSec = 10.0;

// Decoding forward stops paying off near the end only for skipped frames: within this distance of
// the end every frame is decoded, so the last frame is there even when packet durations overstate.
constexpr double kNoSkipNearEndSec = 1.0;

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
           withinPixelLimit(static_cast<long long>(std::max(width, 1.0)), static_cast<long long>(std::max(height, 1.0)));
}

}  // namespace

VideoDecoder::~VideoDecoder() = default;

std::unique_ptr<VideoDecoder> VideoDecoder::open(const std::filesystem::path& file)
{
    std::unique_ptr<VideoDecoder> d(new VideoDecoder);
    d->workBound_ = kMaxDecodeWork;
    std::optional<InputFile> input = openInputFile(file);
    if (!input)
        return nullptr;
    d->format_ = openMediaInput(*input);
    if (!d->format_)
        return nullptr;
    AVFormatContext* fmt = d->format_.get();
    if (avformat_find_stream_info(fmt, nullptr) < 0)
        return nullptr;

    // The first video track; a cover picture attached to an audio file is not one.
    for (unsigned i = 0; i < fmt->nb_streams; ++i) {
        AVStream* st = fmt->streams[i];
        if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC)) {
            d->stream_ = st;
            d->streamIndex_ = static_cast<int>(i);
            break;
        }
    }
    if (!d->stream_)
        return nullptr;
    AVStream* st = d->stream_;
    for (unsigned i = 0; i < fmt->nb_streams; ++i)
        if (static_cast<int>(i) != d->streamIndex_)
            fmt->streams[i]->discard = AVDISCARD_ALL;

    const AVCodecParameters* par = st->codecpar;
    d->codedWidth_ = std::max(par->width, 0);
    d->codedHeight_ = std::max(par->height, 0);
    if (!sizeAllowed(d->codedWidth_, d->codedHeight_))
        return nullptr;

    // A track whose codec has no decoder here would open only to fail at every still; it is
    // refused now so the user hears at once that the file cannot be read.
    const AVCodec* codec = avcodec_find_decoder(par->codec_id);
    if (!codec)
        return nullptr;
    d->codec_.reset(avcodec_alloc_context3(codec));
    if (!d->codec_ || avcodec_parameters_to_context(d->codec_.get(), par) < 0)
        return nullptr;
    AVCodecContext* ctx = d->codec_.get();
    ctx->pkt_timebase = st->time_base;
    ctx->thread_count = 2;
    ctx->thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
    ctx->max_pixels = kMaxImagePixels;
    // Frames decoded from missing references (an open group of pictures entered at its key
    // frame) come out marked as damaged rather than silently dropped, so a seek can tell that
    // the frame it wants exists and start further back.
    ctx->flags |= AV_CODEC_FLAG_OUTPUT_CORRUPT;
    if (avcodec_open2(ctx, codec, nullptr) < 0)
        return nullptr;
    d->packet_ = ff::makePacket();
    d->kept_ = ff::makeFrame();
    d->pending_ = ff::makeFrame();
    if (!d->packet_ || !d->kept_ || !d->pending_)
        return nullptr;

    d->timeBase_ = st->time_base;
    if (d->timeBase_.num <= 0 || d->timeBase_.den <= 0)
        return nullptr;
    d->startTick_ = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;

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
        if (std::strstr(fmt->iformat->name, "matroska") && fmt->start_time != AV_NOPTS_VALUE && fmt->start_time > 0)
            duration -= static_cast<double>(fmt->start_time) / AV_TIME_BASE;
    }
    d->durationSec_ = std::isfinite(duration) && duration > 0 ? duration : 0;

    double rate = usableRate(st->avg_frame_rate);
    if (rate == 0)
        rate = usableRate(st->r_frame_rate);
    d->fps_ = rate > 0 ? rate : 30;

    const double tick = av_q2d(d->timeBase_);
    d->frameTicks_ = std::max<std::int64_t>(1, std::llround(1.0 / d->fps_ / tick));
    // Containers with millisecond clocks store each frame's start rounded to the millisecond, up
    // to half a tick after the time the frame rate gives it; times are matched with that much
    // slack where the clock is that coarse yet still much finer than a frame.
    d->slackSec_ = (tick >= 1e-4 && tick * 10 <= 1.0 / d->fps_) ? tick / 2 : 1e-9;

    std::size_t sideSize = 0;
    if (const std::uint8_t* side = av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, &sideSize);
        side && sideSize >= sizeof d->matrix_) {
        std::copy_n(reinterpret_cast<const std::int32_t*>(side), 9, d->matrix_);
        d->haveMatrix_ = true;
        d->orientation_ = Orientation::fromDisplayMatrix(d->matrix_);
    }
    if (std::optional<PixelSize> size = d->displaySize(); size && !sizeAllowed(size->width, size->height))
        return nullptr;
    return d;
}

std::optional<PixelSize> VideoDecoder::displaySize() const
{
    const double w = codedWidth_, h = codedHeight_;
    double a = 1, b = 0, c = 0, d = 1;
    if (haveMatrix_) {
        a = matrix_[0] / 65536.0;
        b = matrix_[1] / 65536.0;
        c = matrix_[3] / 65536.0;
        d = matrix_[4] / 65536.0;
    }
    // std::round takes halves away from zero.
    const double tw = std::round(std::fabs(a * w + c * h));
    const double th = std::round(std::fabs(b * w + d * h));
    if (tw > 0 && th > 0)
        return PixelSize{tw, th};
    if (w > 0 && h > 0)
        return PixelSize{w, h};
    return std::nullopt;
}

double VideoDecoder::secondsAt(std::int64_t tick) const
{
    return static_cast<double>(tick - startTick_) * av_q2d(timeBase_);
}

std::int64_t VideoDecoder::frameTick(const AVFrame& frame)
{
    std::int64_t tick = frame.best_effort_timestamp;
    if (tick == AV_NOPTS_VALUE)
        tick = frame.pts;
    if (tick == AV_NOPTS_VALUE)
        tick = lastTick_ + frameTicks_;  // untimed frame: one nominal interval after the last
    lastTick_ = tick;
    return tick;
}

bool VideoDecoder::seekTo(std::int64_t tick)
{
    AVFormatContext* fmt = format_.get();
    bool ok = av_seek_frame(fmt, streamIndex_, tick, AVSEEK_FLAG_BACKWARD) >= 0 ||
              avformat_seek_file(fmt, streamIndex_, INT64_MIN, tick, tick, 0) >= 0 ||
              (tick <= startTick_ && av_seek_frame(fmt, -1, 0, AVSEEK_FLAG_BYTE) >= 0);
    avcodec_flush_buffers(codec_.get());
    firstSentTick_ = AV_NOPTS_VALUE;
    draining_ = false;
    haveKept_ = havePending_ = false;
    positioned_ = ok;
    return ok;
}

VideoDecoder::Next VideoDecoder::receive(AVFrame* into, std::int64_t targetTick)
{
    AVCodecContext* ctx = codec_.get();
    const bool mayDrop = durationSec_ > 0 && secondsAt(targetTick) < durationSec_ - kNoSkipNearEndSec;
    // Errors while draining are bounded by the frames still inside the decoder.
    int drainErrors = 0;
    if (overBound_)
        return Next::Failed;  // this still has had all the work it may have
    for (;;) {
        int r = avcodec_receive_frame(ctx, into);
        if (r == 0) {
            ++framesDecoded_;
            const long long area = std::max<long long>(static_cast<long long>(codedWidth_) * codedHeight_,
                                                       static_cast<long long>(into->width) * into->height);
            if (area > 0 && framesDecoded_ - stillFirstFrame_ > workBound_ / area) {
                overBound_ = true;
                return Next::Failed;
            }
            return Next::Frame;
        }
        if (r == AVERROR_EOF)
            return Next::End;
        if (draining_) {
            // A frame that failed to decode (a damaged packet, or one whose references were never
            // seen): the frames behind it may still come out.
            if (r == AVERROR(EAGAIN) || ++drainErrors > 64)
                return Next::Failed;
            continue;
        }
        // EAGAIN, or an error for one frame (frame threads report it one call late): either way
        // the decoder takes the next packet.
        // The decoder wants input: the next packet of the track, or the end of the file.
        for (;;) {
            r = av_read_frame(format_.get(), packet_.get());
            if (r < 0) {
                avcodec_send_packet(ctx, nullptr);
                draining_ = true;
                break;
            }
            AVPacket* pkt = packet_.get();
            if (pkt->stream_index != streamIndex_) {
                av_packet_unref(pkt);
                continue;
            }
            // A frame that ends before the target is never shown; when nothing refers to it the
            // decoder may drop it unseen. The frame holding the target is decoded in full.
            const bool endsBefore = mayDrop && pkt->pts != AV_NOPTS_VALUE && pkt->duration > 0 &&
                                    pkt->pts + pkt->duration <= targetTick;
            ctx->skip_frame = endsBefore ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
            if (firstSentTick_ == AV_NOPTS_VALUE)
                firstSentTick_ = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
            r = avcodec_send_packet(ctx, pkt);
            av_packet_unref(pkt);
            // A packet the decoder rejects is damaged data: it is passed over and decoding goes
            // on with the next, which then tells whether a frame can still be made.
            break;
        }
    }
}

bool VideoDecoder::shouldSeek(std::int64_t targetTick) const
{
    if (draining_)
        return false;  // the file is read to its end; nothing lies ahead
    const std::int64_t position = lastTick_;
    // Packets already handed to the decoder: its reordering delay plus one per thread.
    const std::int64_t margin = frameTicks_ * (codec_->has_b_frames + codec_->thread_count + 2);
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

std::optional<Image> VideoDecoder::deliver(const AVFrame& frame, std::int64_t tick)
{
    if (delivered_ && deliveredTick_ == tick)
        return delivered_;
    int width = frame.width, height = frame.height;
    if (std::optional<PixelSize> size = displaySize()) {
        // The stored size that turns into the displayed one: the still always has pixelSize.
        width = static_cast<int>(orientation_.swapAxes ? size->height : size->width);
        height = static_cast<int>(orientation_.swapAxes ? size->width : size->height);
    }
    delivered_.reset();
    delivered_ = converter_.convert(frame, width, height, orientation_);
    deliveredTick_ = delivered_ ? tick : INT64_MIN;
    return delivered_;
}

// The timestamp of the last frame that may be the still at atSec.
std::int64_t VideoDecoder::targetTick(double atSec)
{
    double t = atSec >= 0 ? atSec : 0;  // also takes NaN to 0
    const double tick = av_q2d(timeBase_);
    // Far past any real clip; keeps the conversion to ticks from overflowing.
    t = std::min(t, 1e12 * tick);
    if (!startKnown_)
        findStart();
    return startTick_ + static_cast<std::int64_t>(std::floor((t + slackSec_) / tick));
}

std::optional<std::int64_t> VideoDecoder::keyFrameFor(double atSec)
{
    const int found = av_index_search_timestamp(stream_, targetTick(atSec), AVSEEK_FLAG_BACKWARD);
    const AVIndexEntry* key = found >= 0 ? avformat_index_get_entry(stream_, found) : nullptr;
    if (!key)
        return std::nullopt;
    return key->timestamp;
}

std::optional<Image> VideoDecoder::image(double atSec)
{
    stillFirstFrame_ = framesDecoded_;
    overBound_ = false;
    std::optional<Image> still = decodeStill(atSec);
    if (overBound_) {
        // Decoding stopped part way, so what was kept is not the frame at atSec; the next still
        // starts afresh from a seek.
        positioned_ = haveKept_ = havePending_ = false;
        delivered_.reset();
        deliveredTick_ = INT64_MIN;
        overBound_ = false;
        return std::nullopt;
    }
    return still;
}

std::optional<Image> VideoDecoder::decodeStill(double atSec)
{
    const double tick = av_q2d(timeBase_);
    const std::int64_t limit = targetTick(atSec);

    if (positioned_ && haveKept_ && keptTick_ <= limit) {
        if (havePending_ && pendingTick_ > limit)
            return deliver(*kept_, keptTick_);  // the same frame as last time still covers t
        if (!shouldSeek(limit) && advanceTo(limit))
            return finish(limit);
    }

    // Seek to the key frame at or before the target and decode forward from there. The index
    // may point past the target (it can hold decoding times), and frames after a key frame may
    // refer to frames before it (open groups of pictures): when the first frame out is already
    // late, or a frame up to the target comes out damaged, start again further back.
    std::int64_t seekTick = limit;
    std::int64_t backoff = std::max<std::int64_t>(frameTicks_, std::llround(1.0 / tick));
    for (int attempt = 0; attempt < 24; ++attempt) {
        const bool fromStart = seekTick <= startTick_;
        if (!seekTo(seekTick)) {
            if (fromStart)
                return std::nullopt;
            seekTick = std::max(startTick_ - 1, seekTick - backoff);
            backoff *= 2;
            continue;
        }
        Next first = receive(kept_.get(), limit);
        // From the very start of the file, damaged frames are passed over: the first whole one
        // is the earliest still there is.
        while (fromStart && first == Next::Frame && (kept_->flags & AV_FRAME_FLAG_CORRUPT)) {
            frameTick(*kept_);
            first = receive(kept_.get(), limit);
        }
        if (first != Next::Frame) {
            if (fromStart)
                return std::nullopt;  // not one frame from the start of the file
            seekTick = std::max(startTick_ - 1, seekTick - backoff);
            backoff *= 2;
            continue;
        }
        const std::int64_t firstTick = frameTick(*kept_);
        if (!fromStart && firstSentTick_ != AV_NOPTS_VALUE && firstTick < firstSentTick_) {
            // No frame shows before its own packet is decoded, so this one is left over from
            // before the seek (FFmpeg's MPEG-1 decoder can hand one out at the end of the file):
            // the seek landed past the key frame and nothing after it could be decoded.
            seekTick = std::max(startTick_ - 1, seekTick - backoff);
            backoff *= 2;
            continue;
        }
        const bool damaged = kept_->flags & AV_FRAME_FLAG_CORRUPT;
        if (!damaged && (firstTick <= limit || fromStart)) {
            keptTick_ = firstTick;
            haveKept_ = true;
            if (firstTick > limit)
                return deliver(*kept_, keptTick_);  // the time lies before the first frame
            if (advanceTo(limit) || fromStart)
                return finish(limit);
        }
        seekTick = std::max(startTick_ - 1, std::min(seekTick, firstTick) - backoff);
        backoff *= 2;
    }
    return std::nullopt;
}

void VideoDecoder::findStart()
{
    // The clip starts with its first frame as decoded. The stream's stated start is not always
    // that frame's timestamp: AVI stores decoding times only, and with B-frames every frame then
    // comes out one decoding step late. The file is still at its start after opening.
    startKnown_ = true;
    if (receive(kept_.get(), startTick_) != Next::Frame)
        return;
    startTick_ = frameTick(*kept_);
    keptTick_ = startTick_;
    haveKept_ = positioned_ = !(kept_->flags & AV_FRAME_FLAG_CORRUPT);
}

bool VideoDecoder::advanceTo(std::int64_t limit)
{
    // kept_ holds a whole frame at or before the target; a frame taken out earlier that now lies
    // at or before the target replaces it.
    bool damaged = false;
    if (havePending_) {
        if (pendingDamaged_) {
            damaged = true;
        } else {
            std::swap(kept_, pending_);
            keptTick_ = pendingTick_;
        }
        havePending_ = false;
    }
    for (;;) {
        const Next next = receive(pending_.get(), limit);
        if (next != Next::Frame)
            break;  // the end of the file (or an unreadable rest): the last frame is the still
        const std::int64_t tick = frameTick(*pending_);
        const bool bad = pending_->flags & AV_FRAME_FLAG_CORRUPT;
        if (tick > limit) {
            pendingTick_ = tick;
            pendingDamaged_ = bad;
            havePending_ = true;
            break;
        }
        if (bad) {
            damaged = true;
        } else {
            std::swap(kept_, pending_);
            keptTick_ = tick;
            damaged = false;
        }
        av_frame_unref(pending_.get());
    }
    return !damaged;
}

std::optional<Image> VideoDecoder::finish(std::int64_t limit)
{
    if (!havePending_ && trackEndTick_ != AV_NOPTS_VALUE) {
        // The file ended (or broke off) before the target. Past the track's stated end the last
        // frame stays on screen; inside it, the frames are missing (a file cut short), and the
        // last frame that could be read is not the still at that time.
        const std::int64_t shown = std::max<std::int64_t>(kept_->pkt_duration, frameTicks_);
        if (limit < trackEndTick_ - frameTicks_ && keptTick_ + 2 * shown < limit)
            return std::nullopt;
    }
    return deliver(*kept_, keptTick_);
}

}  // namespace quillon
