#include "media/DecodeCursor.hpp"

#include <utility>

namespace quillon {

DecodeCursor::DecodeCursor(ff::FormatPtr format, ff::CodecPtr codec, int streamIndex, std::int64_t frameTicks,
                           std::int64_t firstTick)
    : format_(std::move(format)),
      codec_(std::move(codec)),
      packet_(ff::makePacket()),
      streamIndex_(streamIndex),
      frameTicks_(frameTicks),
      firstTick_(firstTick)
{
}

bool DecodeCursor::seek(std::int64_t tick, bool toStart)
{
    AVFormatContext* fmt = format_.get();
    // Streams without an index (transport and program streams, elementary streams) are searched
    // by timestamp, and a search for their very start can land a whole group of pictures late,
    // above all once the file has been read to its end; their start is the start of the file.
    const bool byteStart = toStart && (fmt->iformat->flags & (AVFMT_TS_DISCONT | AVFMT_NOTIMESTAMPS)) &&
                           !(fmt->iformat->flags & AVFMT_NO_BYTE_SEEK);
    const bool ok = (byteStart && av_seek_frame(fmt, -1, 0, AVSEEK_FLAG_BYTE) >= 0) ||
                    av_seek_frame(fmt, streamIndex_, tick, AVSEEK_FLAG_BACKWARD) >= 0 ||
                    avformat_seek_file(fmt, streamIndex_, INT64_MIN, tick, tick, 0) >= 0 ||
                    (toStart && av_seek_frame(fmt, -1, 0, AVSEEK_FLAG_BYTE) >= 0);
    avcodec_flush_buffers(codec_.get());
    state_ = State::Reading;
    awaitingKey_ = seeksLandAnywhere_ && !toStart;
    held_.reset();
    placedSinceSeek_ = false;
    firstSentTick_ = AV_NOPTS_VALUE;
    latestSentTick_ = AV_NOPTS_VALUE;
    return ok;
}

std::optional<PlacedFrame> DecodeCursor::next(std::int64_t targetTick)
{
    if (held_)
        return std::exchange(held_, std::nullopt);
    ff::FramePtr frame = receive(targetTick);
    if (!frame)
        return std::nullopt;
    const bool untimedFirst = frame->pts == AV_NOPTS_VALUE && !placedSinceSeek_;
    std::optional<PlacedFrame> placed = place(std::move(frame));
    if (untimedFirst) {
        // The first frame since a seek has no presentation time of its own (a program stream
        // stores none for many reference frames) and nothing before it to count from. The frame
        // after it is taken out now: one with its own time places this one a nominal interval
        // earlier. It is held for the next call.
        if (ff::FramePtr after = receive(targetTick)) {
            const bool timed = after->pts != AV_NOPTS_VALUE;
            held_ = place(std::move(after));
            if (timed)
                placed->tick = held_->tick - frameTicks_;
        }
    }
    return placed;
}

std::optional<PlacedFrame> DecodeCursor::place(ff::FramePtr frame)
{
    // A frame whose packet carried a presentation time is placed by it (through FFmpeg's
    // best-effort choice, which only departs from it for timestamps that go backwards). Frames
    // without one (MPEG-2 reference frames in program streams, elementary streams) come out in
    // display order, so such a frame is placed one nominal interval after the frame before it:
    // the decoding times FFmpeg would otherwise fall back on are guessed after a seek and land
    // late. Only a first frame since a seek with no time of its own takes FFmpeg's best effort
    // (next() then corrects it from the frame after it when that one has a time).
    std::int64_t tick = AV_NOPTS_VALUE;
    if (frame->pts != AV_NOPTS_VALUE)
        tick = frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pts;
    else if (placedSinceSeek_)
        tick = lastTick_ + frameTicks_;
    else
        tick = frame->best_effort_timestamp;
    if (tick == AV_NOPTS_VALUE)
        tick = firstTick_;  // untimed from the start: the track's first frame
    lastTick_ = tick;
    placedSinceSeek_ = true;
    const bool damaged = frame->flags & AV_FRAME_FLAG_CORRUPT;
    return PlacedFrame{std::move(frame), tick, damaged};
}

ff::FramePtr DecodeCursor::receive(std::int64_t targetTick)
{
    if (state_ == State::Ended)
        return nullptr;
    ff::FramePtr into = ff::makeFrame();
    if (!into)
        return nullptr;
    AVCodecContext* ctx = codec_.get();
    // Errors while draining are bounded by the frames still inside the decoder.
    int drainErrors = 0;
    for (;;) {
        int r = avcodec_receive_frame(ctx, into.get());
        if (r == 0) {
            ++framesDecoded_;
            return into;
        }
        if (r == AVERROR_EOF) {
            state_ = State::Ended;
            return nullptr;
        }
        if (state_ == State::Draining) {
            // A frame that failed to decode (a damaged packet, or one whose references were never
            // seen): the frames behind it may still come out.
            if (r == AVERROR(EAGAIN) || ++drainErrors > 64)
                return nullptr;
            continue;
        }
        // EAGAIN, or an error for one frame (frame threads report it one call late): either way
        // the decoder takes the next packet of the track, or hears of the end of the file.
        for (;;) {
            AVPacket* pkt = packet_.get();
            if (av_read_frame(format_.get(), pkt) < 0) {
                // Starts draining; the only failure, draining already, changes nothing.
                avcodec_send_packet(ctx, nullptr);
                state_ = State::Draining;
                break;
            }
            if (pkt->stream_index != streamIndex_ || (awaitingKey_ && !(pkt->flags & AV_PKT_FLAG_KEY))) {
                av_packet_unref(pkt);
                continue;
            }
            awaitingKey_ = false;
            // A frame is never shown when a later frame at or before the target has already been
            // sent (reference frames precede the B-frames between them in decoding order); when
            // nothing refers to it the decoder may then drop it unseen. Stored durations do not
            // decide this: containers round them, and on variable-rate clips they are nominal.
            const bool hidden = pkt->pts != AV_NOPTS_VALUE && latestSentTick_ != AV_NOPTS_VALUE &&
                                pkt->pts < latestSentTick_ && latestSentTick_ <= targetTick;
            ctx->skip_frame = hidden ? AVDISCARD_NONREF : AVDISCARD_DEFAULT;
            if (pkt->pts != AV_NOPTS_VALUE && pkt->pts <= targetTick &&
                (latestSentTick_ == AV_NOPTS_VALUE || pkt->pts > latestSentTick_ ||
                 latestSentTick_ > targetTick))
                latestSentTick_ = pkt->pts;
            if (firstSentTick_ == AV_NOPTS_VALUE)
                firstSentTick_ = pkt->dts != AV_NOPTS_VALUE ? pkt->dts : pkt->pts;
            // The decoder has just asked for input, so it never refuses a packet for being full.
            // A packet it rejects is damaged data: it is passed over and the next is sent at once,
            // which then tells whether a frame can still be made.
            const int sent = avcodec_send_packet(ctx, pkt);
            av_packet_unref(pkt);
            if (sent >= 0)
                break;
        }
    }
}

}  // namespace quillon
