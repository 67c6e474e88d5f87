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

struct FormatCloser {
    void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
struct CodecFreer {
    void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
struct PacketFreer {
    void operator()(AVPacket* p) const { av_packet_free(&p); }
};
struct FrameFreer {
    void operator()(AVFrame* f) const { av_frame_free(&f); }
};
struct SwsFreer {
    void operator()(SwsContext* c) const { sws_freeContext(c); }
};
struct GraphFreer {
    void operator()(AVFilterGraph* g) const { avfilter_graph_free(&g); }
};
struct IoFreer {
    void operator()(AVIOContext* c) const
    {
        av_freep(&c->buffer);  // the buffer may have been replaced by FFmpeg; free the current one
        avio_context_free(&c);
    }
};
struct AvFreer {
    void operator()(void* p) const { av_free(p); }
};

using FormatPtr = std::unique_ptr<AVFormatContext, FormatCloser>;
using CodecPtr = std::unique_ptr<AVCodecContext, CodecFreer>;
using PacketPtr = std::unique_ptr<AVPacket, PacketFreer>;
using FramePtr = std::unique_ptr<AVFrame, FrameFreer>;
using SwsPtr = std::unique_ptr<SwsContext, SwsFreer>;
using IoPtr = std::unique_ptr<AVIOContext, IoFreer>;
using GraphPtr = std::unique_ptr<AVFilterGraph, GraphFreer>;
using BufferPtr = std::unique_ptr<std::uint8_t, AvFreer>;

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

// Opens a file for demuxing, optionally forcing the container format; nothing on failure.
inline FormatPtr openInput(const char* path, const AVInputFormat* format = nullptr)
{
    AVFormatContext* raw = nullptr;
    if (avformat_open_input(&raw, path, format, nullptr) < 0)
        return nullptr;  // avformat_open_input frees the context itself on failure
    return FormatPtr(raw);
}

}  // namespace quillon::ff
