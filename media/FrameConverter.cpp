#include "media/FrameConverter.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

extern "C" {
#include <libavfilter/buffersink.h>
#include <libavfilter/buffersrc.h>
#include <libavutil/mastering_display_metadata.h>
#include <libavutil/pixdesc.h>
}

namespace quillon {

Orientation Orientation::fromDisplayMatrix(const std::int32_t matrix[9])
{
    // A stored pixel (x, y) lands at (a x + c y, b x + d y) on screen. Whichever pair dominates
    // decides between a straight picture (a, d) and a quarter turn (b, c); the signs give mirrors.
    const double a = matrix[0], b = matrix[1], c = matrix[3], d = matrix[4];
    Orientation o;
    if (std::fabs(a) + std::fabs(d) >= std::fabs(b) + std::fabs(c)) {
        o.mirrorX = a < 0;
        o.mirrorY = d < 0;
    } else {
        o.swapAxes = true;
        o.mirrorX = b < 0;  // stored x becomes displayed y
        o.mirrorY = c < 0;  // stored y becomes displayed x
    }
    return o;
}

bool allOpaque(const std::uint8_t* rgba, int width, int height, std::size_t stride)
{
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* p = rgba + static_cast<std::size_t>(y) * stride;
        for (int x = 0; x < width; ++x)
            if (p[x * 4 + 3] != 255)
                return false;
    }
    return true;
}

namespace {

bool isHdrTransfer(int transfer)
{
    return transfer == AVCOL_TRC_SMPTE2084 || transfer == AVCOL_TRC_ARIB_STD_B67;
}

// The brightest level the picture was mastered for, relative to 100 cd/m2 (tonemap's unit). Phone
// clips carry it as content light level or mastering display metadata; without either, 1000 cd/m2
// is assumed, the usual grading peak of phone HDR. Assuming the format's 10,000 cd/m2 ceiling
// instead would leave ordinary scenes a dull grey.
double signalPeak(const AVFrame& frame)
{
    if (const AVFrameSideData* sd = av_frame_get_side_data(&frame, AV_FRAME_DATA_CONTENT_LIGHT_LEVEL)) {
        const auto* light = reinterpret_cast<const AVContentLightMetadata*>(sd->data);
        if (light->MaxCLL > 100)
            return light->MaxCLL / 100.0;
    }
    if (const AVFrameSideData* sd = av_frame_get_side_data(&frame,
                                                           AV_FRAME_DATA_MASTERING_DISPLAY_METADATA)) {
        const auto* mastering = reinterpret_cast<const AVMasteringDisplayMetadata*>(sd->data);
        if (mastering->has_luminance && mastering->max_luminance.den > 0) {
            const double nits = av_q2d(mastering->max_luminance);
            if (nits > 100 && nits <= 10000)
                return nits / 100.0;
        }
    }
    return 10.0;
}

int swsColorspace(const AVFrame& frame)
{
    switch (frame.colorspace) {
    case AVCOL_SPC_BT709:
        return SWS_CS_ITU709;
    case AVCOL_SPC_FCC:
        return SWS_CS_FCC;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M:
        return SWS_CS_ITU601;
    case AVCOL_SPC_SMPTE240M:
        return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL:
        return SWS_CS_BT2020;
    default:
        // Untagged: what players assume, BT.709 for HD sizes and BT.601 up to SD.
        return (frame.width >= 1280 || frame.height > 576) ? SWS_CS_ITU709 : SWS_CS_ITU601;
    }
}

bool isFullRange(const AVFrame& frame)
{
    // The "J" formats are full range whatever the frame's tag says.
    constexpr int kFullRangeFormats[] = {AV_PIX_FMT_YUVJ420P, AV_PIX_FMT_YUVJ422P, AV_PIX_FMT_YUVJ444P,
                                         AV_PIX_FMT_YUVJ440P, AV_PIX_FMT_YUVJ411P};
    return frame.color_range == AVCOL_RANGE_JPEG ||
           std::ranges::find(kFullRangeFormats, frame.format) != std::end(kFullRangeFormats);
}

// Copies the displayed picture out of stored rows of `channels` bytes a pixel into tightly packed
// rows of `outChannels` (3 or 4) bytes a pixel, dropping alpha when only 3 are kept.
std::vector<std::uint8_t> reorient(const std::uint8_t* src, int width, int height, std::size_t stride,
                                   int channels, int outChannels, Orientation o, int& outWidth,
                                   int& outHeight)
{
    outWidth = o.swapAxes ? height : width;
    outHeight = o.swapAxes ? width : height;
    std::vector<std::uint8_t> out(static_cast<std::size_t>(outWidth) * static_cast<std::size_t>(outHeight) *
                                  static_cast<std::size_t>(outChannels));
    std::uint8_t* dst = out.data();
    for (int y = 0; y < outHeight; ++y) {
        for (int x = 0; x < outWidth; ++x, dst += outChannels) {
            int sx = o.swapAxes ? y : x;
            int sy = o.swapAxes ? x : y;
            if (o.mirrorX)
                sx = width - 1 - sx;
            if (o.mirrorY)
                sy = height - 1 - sy;
            const std::uint8_t* s = src + static_cast<std::size_t>(sy) * stride +
                                    static_cast<std::size_t>(sx) * static_cast<std::size_t>(channels);
            dst[0] = s[0];
            dst[1] = s[1];
            dst[2] = s[2];
            if (outChannels == 4)
                dst[3] = s[3];
        }
    }
    return out;
}

}  // namespace

const AVFrame* FrameConverter::toneMapped(const AVFrame& frame)
{
    const int peakKey = static_cast<int>(std::lround(signalPeak(frame) * 100));
    const int key[4] = {frame.format, frame.width, frame.height, frame.color_trc * 100000 + peakKey};
    if (!graph_ || std::memcmp(key, graphKey_, sizeof key) != 0) {
        graph_.reset();
        graphIn_ = graphOut_ = nullptr;
        ff::GraphPtr graph(avfilter_graph_alloc());
        if (!graph)
            return nullptr;
        graph->nb_threads = 2;
        char args[160];
        std::snprintf(args, sizeof args, "video_size=%dx%d:pix_fmt=%d:time_base=1/1:pixel_aspect=1/1",
                      frame.width, frame.height, frame.format);
        AVFilterContext* in = nullptr;
        AVFilterContext* out = nullptr;
        if (avfilter_graph_create_filter(&in, avfilter_get_by_name("buffer"), "in", args, nullptr,
                                         graph.get()) < 0 ||
            avfilter_graph_create_filter(&out, avfilter_get_by_name("buffersink"), "out", nullptr, nullptr,
                                         graph.get()) < 0)
            return nullptr;
        // Linear light scaled so 100 cd/m2 is 1.0, BT.709 primaries, the Hable curve down to SDR,
        // then back to BT.709 limited-range YUV that the scaler turns into sRGB like any SDR clip.
        char chain[320];
        std::snprintf(chain, sizeof chain,
                      "zscale=t=linear:npl=100,format=gbrpf32le,zscale=p=bt709,"
                      "tonemap=tonemap=hable:desat=0:peak=%.2f,"
                      "zscale=t=bt709:m=bt709:r=tv,format=yuv444p",
                      peakKey / 100.0);
        AVFilterInOut* outputs = avfilter_inout_alloc();
        AVFilterInOut* inputs = avfilter_inout_alloc();
        int ok = -1;
        if (outputs && inputs) {
            outputs->name = av_strdup("in");
            outputs->filter_ctx = in;
            inputs->name = av_strdup("out");
            inputs->filter_ctx = out;
            // Parsing consumes and replaces both lists; what it leaves is freed by the owners.
            ok = avfilter_graph_parse_ptr(graph.get(), chain, &inputs, &outputs, nullptr);
            if (ok >= 0)
                ok = avfilter_graph_config(graph.get(), nullptr);
        }
        const ff::InOutPtr leftIn(inputs), leftOut(outputs);
        if (ok < 0)
            return nullptr;
        graph_ = std::move(graph);
        graphIn_ = in;
        graphOut_ = out;
        std::memcpy(graphKey_, key, sizeof key);
    }
    if (!mapped_)
        mapped_ = ff::makeFrame();
    av_frame_unref(mapped_.get());
    if (av_buffersrc_add_frame_flags(graphIn_, const_cast<AVFrame*>(&frame), AV_BUFFERSRC_FLAG_KEEP_REF) <
            0 ||
        av_buffersink_get_frame(graphOut_, mapped_.get()) < 0) {
        graph_.reset();  // a graph that failed once is rebuilt for the next frame
        return nullptr;
    }
    return mapped_.get();
}

std::optional<Image> FrameConverter::convert(const AVFrame& original, int width, int height,
                                             Orientation orientation)
{
    if (width <= 0 || height <= 0 || original.width <= 0 || original.height <= 0)
        return std::nullopt;
    const AVFrame* frame = &original;
    if (isHdrTransfer(original.color_trc)) {
        frame = toneMapped(original);
        if (!frame)
            return std::nullopt;
    }
    const AVPixFmtDescriptor* desc = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(frame->format));
    if (!desc)
        return std::nullopt;
    const int channels = (desc->flags & AV_PIX_FMT_FLAG_ALPHA) ? 4 : 3;
    const AVPixelFormat target = channels == 4 ? AV_PIX_FMT_RGBA : AV_PIX_FMT_RGB24;
    const int colorspace = swsColorspace(*frame);
    const bool fullRange = isFullRange(*frame);

    const int key[6] = {frame->format,          frame->width | (frame->height << 16),
                        width | (height << 16), colorspace,
                        fullRange ? 1 : 0,      channels};
    if (!sws_ || std::memcmp(key, swsKey_, sizeof key) != 0) {
        // Full horizontal chroma interpolation: without it the scaler repeats chroma samples, which
        // shows as colour fringes along sharp edges of a still looked at full size.
        sws_.reset(sws_getContext(frame->width, frame->height, static_cast<AVPixelFormat>(frame->format),
                                  width, height, target, SWS_BICUBIC | SWS_FULL_CHR_H_INT | SWS_ACCURATE_RND,
                                  nullptr, nullptr, nullptr));
        if (!sws_)
            return std::nullopt;
        if (!(desc->flags & AV_PIX_FMT_FLAG_RGB)) {
            sws_setColorspaceDetails(sws_.get(), sws_getCoefficients(colorspace), fullRange ? 1 : 0,
                                     sws_getCoefficients(SWS_CS_DEFAULT), 1, 0, 1 << 16, 1 << 16);
        }
        std::memcpy(swsKey_, key, sizeof key);
    }

    const std::size_t stride = (static_cast<std::size_t>(width) * static_cast<std::size_t>(channels) + 63) &
                               ~std::size_t(63);
    ff::BufferPtr buffer(
        static_cast<std::uint8_t*>(av_malloc(stride * static_cast<std::size_t>(height) + 64)));
    if (!buffer)
        return std::nullopt;
    std::uint8_t* dstData[4] = {buffer.get(), nullptr, nullptr, nullptr};
    int dstStride[4] = {static_cast<int>(stride), 0, 0, 0};
    if (sws_scale(sws_.get(), frame->data, frame->linesize, 0, frame->height, dstData, dstStride) != height)
        return std::nullopt;

    // An alpha plane that covers everything adds nothing; such stills are plain RGB.
    const int outChannels = channels == 4 && allOpaque(buffer.get(), width, height, stride) ? 3 : channels;
    if (outChannels == channels && orientation.identity())
        return Image::fromPixels(buffer.get(), width, height, stride, channels);
    int outWidth = 0, outHeight = 0;
    std::vector<std::uint8_t> pixels = reorient(buffer.get(), width, height, stride, channels, outChannels,
                                                orientation, outWidth, outHeight);
    return Image::fromPixels(pixels.data(), outWidth, outHeight,
                             static_cast<std::size_t>(outWidth) * static_cast<std::size_t>(outChannels),
                             outChannels);
}

}  // namespace quillon
