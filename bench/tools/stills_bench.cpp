// Takes the stills of a 5 % extraction the way video mode does, so the whole process can be timed
// against 21 ffmpeg processes making the same previews.
//
//   quillon-stills-bench CLIP [STEP_PERCENT] [--no-floor]
//
// Opens the clip, plans the samples (sampleTimes), and takes their stills as extraction does
// (StillsSource::stills, reduced to 360 pixels as they are decoded), making each one's 360-pixel
// JPEG preview on the decoding threads.
// Prints one line: opening time, total time, stills made, time spent making previews (added over
// the decoding threads, in wall time and in those threads' CPU time), frames decoded, CPU time and
// peak resident memory.
//
// Then, in the same process, the decode floor: FFmpeg alone on one thread seeks to each time's key
// frame and decodes the reference frames up to it and the frame shown at that time, no more. Its
// CPU time divided by two (the two cores our stills are spread over) is the floor; the second line
// prints it with its frame count, and ours / floor for the wall time and for half our CPU time.
// --no-floor leaves the floor out, so that a profile of the process holds only our own work.
// Exit status 0 when every still was made.

#include <sys/resource.h>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

#include <algorithm>
#include <any>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "media/SamplePlan.hpp"
#include "media/StillsSource.hpp"
#include "media/Thumbnail.hpp"

namespace {

double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

struct Floor {
    double cpuMs = 0;
    long long frames = 0;
    int found = 0;
};

// Decodes, for each time, the frames its still needs and nothing else, with FFmpeg on one thread:
// a seek to the key frame at or before it, every reference frame from there, and the frame whose
// display interval holds the time. Frames no other frame refers to are skipped unless they are
// the one shown. Returns nothing when the clip cannot be decoded.
std::optional<Floor> decodeFloor(const char* path, const std::vector<double>& times)
{
    AVFormatContext* fmt = nullptr;
    if (avformat_open_input(&fmt, path, nullptr, nullptr) < 0)
        return std::nullopt;
    std::optional<Floor> result;
    AVCodecContext* ctx = nullptr;
    AVPacket* pkt = av_packet_alloc();
    AVFrame* frame = av_frame_alloc();
    const AVCodec* codec = nullptr;
    int index = -1;
    if (pkt && frame && avformat_find_stream_info(fmt, nullptr) >= 0 &&
        (index = av_find_best_stream(fmt, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0)) >= 0 &&
        (ctx = avcodec_alloc_context3(codec)) &&
        avcodec_parameters_to_context(ctx, fmt->streams[index]->codecpar) >= 0) {
        AVStream* st = fmt->streams[index];
        ctx->thread_count = 1;
        ctx->pkt_timebase = st->time_base;
        const AVRational rate = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
        const std::int64_t frameTicks = std::max<std::int64_t>(
            1, av_rescale_q(1, av_inv_q(rate), st->time_base));
        const std::int64_t first = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
        if (rate.num > 0 && avcodec_open2(ctx, codec, nullptr) >= 0) {
            Floor floor;
            std::int64_t lastShown = AV_NOPTS_VALUE;
            const double before = threadCpuMs();
            for (double sec : times) {
                const std::int64_t target = first + av_rescale_q(std::llround(sec * 1e6),
                                                                 AVRational{1, 1000000}, st->time_base);
                // A time in the group of pictures already being decoded, after the last still, goes
                // on decoding from there, as a decoder taking its times in order does.
                const int key = av_index_search_timestamp(st, target, AVSEEK_FLAG_BACKWARD);
                const bool sameGroup = lastShown != AV_NOPTS_VALUE && key >= 0 &&
                                       avformat_index_get_entry(st, key)->timestamp <= lastShown &&
                                       lastShown <= target;
                if (!sameGroup) {
                    if (av_seek_frame(fmt, index, target, AVSEEK_FLAG_BACKWARD) < 0)
                        continue;
                    avcodec_flush_buffers(ctx);
                }
                bool shown = false, draining = false;
                while (!shown) {
                    const int r = avcodec_receive_frame(ctx, frame);
                    if (r == 0) {
                        ++floor.frames;
                        const std::int64_t pts = frame->best_effort_timestamp;
                        shown = pts != AV_NOPTS_VALUE && pts + frameTicks > target;
                        if (shown)
                            lastShown = pts;
                        av_frame_unref(frame);
                        continue;
                    }
                    if (r != AVERROR(EAGAIN) || draining)
                        break;
                    if (av_read_frame(fmt, pkt) < 0) {
                        avcodec_send_packet(ctx, nullptr);
                        draining = true;
                        continue;
                    }
                    if (pkt->stream_index == index) {
                        const bool isTarget = pkt->pts != AV_NOPTS_VALUE && pkt->pts <= target &&
                                              pkt->pts + frameTicks > target;
                        ctx->skip_frame = isTarget ? AVDISCARD_DEFAULT : AVDISCARD_NONREF;
                        avcodec_send_packet(ctx, pkt);
                    }
                    av_packet_unref(pkt);
                }
                floor.found += shown;
            }
            floor.cpuMs = threadCpuMs() - before;
            result = floor;
        }
    }
    avcodec_free_context(&ctx);
    av_frame_free(&frame);
    av_packet_free(&pkt);
    avformat_close_input(&fmt);
    return result;
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: quillon-stills-bench CLIP [STEP_PERCENT] [--no-floor]\n");
        return 2;
    }
    const double step = argc > 2 ? std::atof(argv[2]) : 5;
    const bool withFloor = !(argc > 3 && std::string_view(argv[3]) == "--no-floor");
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    std::shared_ptr<quillon::StillsSource> source = quillon::StillsSource::open(argv[1]);
    if (!source) {
        std::fprintf(stderr, "could not open %s\n", argv[1]);
        return 1;
    }
    const auto opened = Clock::now();
    int made = 0, planned = 0;
    Clock::duration inPreviews{};
    std::vector<double> times;
    for (const quillon::StillSample& sample :
         quillon::sampleTimes(source->durationSec(), step, source->fps()))
        times.push_back(sample.sec);
    planned = static_cast<int>(times.size());
    std::atomic<long long> previewNs{0};
    std::atomic<long long> previewCpuUs{0};
    source->stills(
        times,
        [&](std::size_t, std::optional<quillon::Image> still) -> std::any {
            if (!still)
                return {};
            const auto before = Clock::now();
            const double cpuBefore = threadCpuMs();
            std::string url = quillon::thumbnailDataURL(*still, 360);
            previewNs += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - before).count();
            previewCpuUs += std::llround((threadCpuMs() - cpuBefore) * 1e3);
            return url;
        },
        [&](std::size_t, std::any preview) {
        made += preview.has_value() && !std::any_cast<std::string&>(preview).empty();
        return true;
        },
        360);
    inPreviews = std::chrono::nanoseconds(previewNs.load());
    const auto done = Clock::now();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto ms = [](auto d) { return std::chrono::duration<double, std::milli>(d).count(); };
    auto tvMs = [](timeval tv) { return tv.tv_sec * 1e3 + tv.tv_usec / 1e3; };
    const double oursCpu = tvMs(usage.ru_utime) + tvMs(usage.ru_stime);
    const double oursWall = ms(done - start);
    std::printf(
        "open %.1f ms, total %.1f ms (previews %.1f ms, cpu %.1f ms), stills %d/%d, frames decoded %lld, "
        "cpu %.1f ms, peak memory %.0f MiB\n",
        ms(opened - start), oursWall, ms(inPreviews), previewCpuUs.load() / 1e3, made, planned,
        static_cast<long long>(source->framesDecoded()), oursCpu, usage.ru_maxrss / 1024.0);
    source.reset();
    if (!withFloor)
        return made == planned ? 0 : 1;
    const std::optional<Floor> floor = decodeFloor(argv[1], times);
    if (!floor || floor->cpuMs <= 0) {
        std::fprintf(stderr, "the decode floor could not be measured on %s\n", argv[1]);
        return 1;
    }
    const double floorMs = floor->cpuMs / 2;
    std::printf("floor %.1f ms (one thread %.1f ms / 2), frames %lld, stills %d/%d; ours/floor wall %.2f, "
                "cpu/2 %.2f\n",
                floorMs, floor->cpuMs, floor->frames, floor->found, planned, oursWall / floorMs,
                oursCpu / 2 / floorMs);
    return made == planned && floor->found == planned ? 0 : 1;
}
