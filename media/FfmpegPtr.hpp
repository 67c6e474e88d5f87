#pragma once

// One owning C++ type per FFmpeg handle, each released in exactly one place.

#include <memory>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavfilter/avfilter.h>
#include <libavformat/avformat.h>
#include <libavutil/frame.h>
#include <libavutil/mem.h>
#include <libswscale/swscale.h>
}

namespace quillon::ff {

// FFmpeg's free functions that take the address of the pointer (and null it) or the pointer itself.
template <auto Free>
struct FreeByAddress {
    void operator()(auto* p) const { Free(&p); }
};
template <auto Free>
struct FreeByPointer {
    void operator()(auto* p) const { Free(p); }
};
struct IoFreer {
    void operator()(AVIOContext* c) const
    {
        av_freep(&c->buffer);  // the buffer may have been replaced by FFmpeg; free the current one
        avio_context_free(&c);
    }
};

using FormatPtr = std::unique_ptr<AVFormatContext, FreeByAddress<avformat_close_input>>;
using CodecPtr = std::unique_ptr<AVCodecContext, FreeByAddress<avcodec_free_context>>;
using PacketPtr = std::unique_ptr<AVPacket, FreeByAddress<av_packet_free>>;
using FramePtr = std::unique_ptr<AVFrame, FreeByAddress<av_frame_free>>;
using GraphPtr = std::unique_ptr<AVFilterGraph, FreeByAddress<avfilter_graph_free>>;
using InOutPtr = std::unique_ptr<AVFilterInOut, FreeByAddress<avfilter_inout_free>>;
using SwsPtr = std::unique_ptr<SwsContext, FreeByPointer<sws_freeContext>>;
using BufferPtr = std::unique_ptr<std::uint8_t, FreeByPointer<av_free>>;
using IoPtr = std::unique_ptr<AVIOContext, IoFreer>;

inline FramePtr makeFrame() { return FramePtr(av_frame_alloc()); }
inline PacketPtr makePacket() { return PacketPtr(av_packet_alloc()); }

// Opens the stream an AVIOContext reads for demuxing, with the given container format; nothing on
// failure. The context must outlive the returned handle.
inline FormatPtr openInput(AVIOContext* io, const AVInputFormat* format)
{
    AVFormatContext* raw = avformat_alloc_context();
    if (raw == nullptr)
        return nullptr;
    raw->pb = io;
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (avformat_open_input(&raw, nullptr, format, nullptr) < 0)
        return nullptr;  // avformat_open_input frees the context (not the AVIOContext) on failure
    return FormatPtr(raw);
}

// Opens a decoder for a stream's codec parameters, set up by `configure` before it opens; nothing
// when there is no decoder for the codec or it does not open.
template <typename Configure>
CodecPtr openDecoder(const AVCodecParameters& parameters, Configure&& configure)
{
    const AVCodec* codec = avcodec_find_decoder(parameters.codec_id);
    if (codec == nullptr)
        return nullptr;
    CodecPtr context(avcodec_alloc_context3(codec));
    if (!context || avcodec_parameters_to_context(context.get(), &parameters) < 0)
        return nullptr;
    configure(*context);
    if (avcodec_open2(context.get(), codec, nullptr) < 0)
        return nullptr;
    return context;
}

}  // namespace quillon::ff
