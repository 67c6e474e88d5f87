#include "media/GifDecoder.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ext/stdio_filebuf.h>
#include <fcntl.h>
#include <istream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "media/MediaLimits.hpp"

namespace quillon {

namespace {

// Skips a chain of data sub-blocks up to and including its zero-length terminator.
bool skipSubBlocks(std::istream& in)
{
    for (;;) {
        const int length = in.get();
        if (length == std::char_traits<char>::eof())
            return false;
        if (length == 0)
            return true;
        in.ignore(length);
        if (in.gcount() != length)
            return false;
    }
}

// The composited canvas as a still, written straight into the memory of a new libvips image: RGB
// when every pixel is opaque, RGBA otherwise, as the frame converter gives. The canvas of a huge
// screen is up to a gibibyte, so it is read in place rather than converted into a buffer and
// copied again. Nothing when the frame is not 8-bit RGBA in either byte order (the converter
// handles anything else) or libvips cannot allocate the picture.
std::optional<Image> canvasImage(const AVFrame& frame)
{
    int red = 0, green = 1, blue = 2;
    if (frame.format == AV_PIX_FMT_BGRA)
        std::swap(red, blue);
    else if (frame.format != AV_PIX_FMT_RGBA)
        return std::nullopt;
    const int width = frame.width, height = frame.height;
    if (width <= 0 || height <= 0 || frame.data[0] == nullptr || frame.linesize[0] < width * 4 ||
        !withinPixelLimit(width, height))
        return std::nullopt;
    const bool opaque = allOpaque(frame.data[0], width, height, static_cast<std::size_t>(frame.linesize[0]));
    const int bands = opaque ? 3 : 4;
    VipsImage* out = vips_image_new_memory();
    if (out == nullptr)
        return std::nullopt;
    vips::VImage image(out);  // owns the new image from here on
    vips_image_init_fields(out, width, height, bands, VIPS_FORMAT_UCHAR, VIPS_CODING_NONE,
                           VIPS_INTERPRETATION_sRGB, 1.0, 1.0);
    if (vips_image_write_prepare(out) != 0) {
        vips_error_clear();
        return std::nullopt;
    }
    for (int y = 0; y < height; ++y) {
        const std::uint8_t* s = frame.data[0] + static_cast<std::ptrdiff_t>(y) * frame.linesize[0];
        auto* d = static_cast<std::uint8_t*>(VIPS_IMAGE_ADDR(out, 0, y));
        for (int x = 0; x < width; ++x, s += 4, d += bands) {
            d[0] = s[red];
            d[1] = s[green];
            d[2] = s[blue];
            if (bands == 4)
                d[3] = s[3];
        }
    }
    return Image(std::move(image));
}

}  // namespace

std::optional<GifLayout> readGifLayout(const InputFile& file)
{
    // A duplicate descriptor read from the start, closed with the stream buffer.
    FileDescriptor fd(::fcntl(file.fd(), F_DUPFD_CLOEXEC, 0));
    if (!fd || ::lseek(fd.get(), 0, SEEK_SET) != 0)
        return std::nullopt;
    __gnu_cxx::stdio_filebuf<char> buffer(fd.release(), std::ios::in | std::ios::binary);
    std::istream in(&buffer);
    std::array<unsigned char, 13> head{};
    if (!in.read(reinterpret_cast<char*>(head.data()), head.size()))
        return std::nullopt;
    if (std::memcmp(head.data(), "GIF87a", 6) != 0 && std::memcmp(head.data(), "GIF89a", 6) != 0)
        return std::nullopt;
    GifLayout layout;
    layout.width = head[6] | (head[7] << 8);
    layout.height = head[8] | (head[9] << 8);
    const unsigned char packed = head[10];
    if (packed & 0x80)
        in.ignore(3 * (2 << (packed & 7)));  // global colour table

    std::optional<int> pendingDelay;  // from the graphic control extension before the next image
    for (;;) {
        const int introducer = in.get();
        if (introducer == 0x21) {
            const int label = in.get();
            if (label == 0xF9) {
                const int size = in.get();
                if (size == std::char_traits<char>::eof())
                    break;
                std::array<char, 255> data{};
                if (!in.read(data.data(), size))
                    break;
                if (size >= 3)
                    pendingDelay = static_cast<unsigned char>(data[1]) |
                                   (static_cast<unsigned char>(data[2]) << 8);
            }
            if (label == std::char_traits<char>::eof() || !skipSubBlocks(in))
                break;
        } else if (introducer == 0x2C) {
            std::array<unsigned char, 9> descriptor{};
            if (!in.read(reinterpret_cast<char*>(descriptor.data()), descriptor.size()))
                break;
            if (layout.delays.empty()) {
                const auto field = [&](int at) { return descriptor[at] | (descriptor[at + 1] << 8); };
                layout.firstImageWidth = field(0) + field(4);
                layout.firstImageHeight = field(2) + field(6);
            }
            if (descriptor[8] & 0x80)
                in.ignore(3 * (2 << (descriptor[8] & 7)));  // local colour table
            if (in.get() == std::char_traits<char>::eof() || !skipSubBlocks(in))
                break;  // an image cut short is not counted
            layout.delays.push_back(pendingDelay);
            pendingDelay.reset();
        } else {
            break;  // the trailer, or bytes that are no GIF block: the images so far are the GIF
        }
    }
    return layout;
}

std::vector<double> gifCumulative(const GifLayout& layout)
{
    std::vector<double> ends;
    ends.reserve(layout.delays.size());
    double total = 0;
    for (const std::optional<int>& delay : layout.delays) {
        // Missing, zero and near-zero delays are shown for 0.1 s, as viewers do.
        const double stored = delay ? *delay / 100.0 : 0.0;
        total += stored <= 0.011 ? 0.1 : stored;
        ends.push_back(total);
    }
    return ends;
}

int gifFrameIndex(const std::vector<double>& cumulative, double durationSec, double t)
{
    if (cumulative.empty())
        return 0;
    if (durationSec - 1e-9 < t)
        t = durationSec - 1e-9;
    if (!(t >= 0))
        t = 0;
    for (std::size_t i = 0; i < cumulative.size(); ++i)
        if (t < cumulative[i] - 1e-12)
            return static_cast<int>(i);
    return static_cast<int>(cumulative.size()) - 1;
}

GifDecoder::~GifDecoder() = default;

std::unique_ptr<GifDecoder> GifDecoder::open(InputFile file, const GifLayout& layout)
{
    // The canvas every frame is composited on counts against the limits of any picture, and the
    // whole file's work against the decoding bound.
    const long long width = layout.canvasWidth(), height = layout.canvasHeight();
    if (!withinPixelLimit(width, height) ||
        width * height >
            kMaxDecodeWork / std::max<long long>(1, static_cast<long long>(layout.delays.size())))
        return nullptr;
    std::unique_ptr<GifDecoder> d(new GifDecoder);
    // The file opened now is the one read from then on, restarts included: a GIF that is deleted,
    // renamed or replaced after opening keeps giving its own frames rather than failing or giving
    // another file's.
    d->file_ = std::move(file);
    if (layout.screenless() && width > 0 && height > 0 && width <= 0xFFFF && height <= 0xFFFF) {
        d->screen_ = std::array<std::uint8_t, 4>{
            static_cast<std::uint8_t>(width & 0xFF), static_cast<std::uint8_t>(width >> 8),
            static_cast<std::uint8_t>(height & 0xFF), static_cast<std::uint8_t>(height >> 8)};
    }
    d->packet_ = ff::makePacket();
    d->current_ = ff::makeFrame();
    if (!d->packet_ || !d->current_ || !d->restart())
        return nullptr;
    return d;
}

int GifDecoder::readInput(void* opaque, std::uint8_t* buffer, int size)
{
    auto* d = static_cast<GifDecoder*>(opaque);
    const ssize_t n = ::pread(d->file_.fd(), buffer, static_cast<std::size_t>(size), d->position_);
    if (n < 0)
        return AVERROR(errno);
    if (n == 0)
        return AVERROR_EOF;
    if (d->screen_) {
        // Bytes 6 to 9 of the file hold the logical screen's width and height.
        for (std::int64_t at = std::max<std::int64_t>(6, d->position_);
             at < std::min<std::int64_t>(10, d->position_ + n); ++at)
            buffer[at - d->position_] = (*d->screen_)[static_cast<std::size_t>(at - 6)];
    }
    d->position_ += n;
    return static_cast<int>(n);
}

std::int64_t GifDecoder::seekInput(void* opaque, std::int64_t offset, int whence)
{
    auto* d = static_cast<GifDecoder*>(opaque);
    const auto size = [&]() -> std::int64_t {
        struct stat info {};
        return ::fstat(d->file_.fd(), &info) == 0 ? static_cast<std::int64_t>(info.st_size) : AVERROR(errno);
    };
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE)
        return size();
    std::int64_t base = 0;
    if (whence == SEEK_CUR) {
        base = d->position_;
    } else if (whence == SEEK_END) {
        base = size();
        if (base < 0)
            return base;  // an error
    } else if (whence != SEEK_SET) {
        return AVERROR(EINVAL);
    }
    if (offset > 0 ? base > INT64_MAX - offset : base + offset < 0)
        return AVERROR(EINVAL);
    d->position_ = base + offset;
    return d->position_;
}

bool GifDecoder::restart()
{
    codec_.reset();
    format_.reset();
    io_.reset();
    currentIndex_ = -1;
    draining_ = false;
    av_frame_unref(current_.get());
    position_ = 0;
    constexpr int kIoBufferSize = 64 * 1024;
    ff::BufferPtr buffer(static_cast<std::uint8_t*>(av_malloc(kIoBufferSize)));
    if (!buffer)
        return false;
    io_.reset(avio_alloc_context(buffer.get(), kIoBufferSize, 0, this, &GifDecoder::readInput, nullptr,
                                 &GifDecoder::seekInput));
    if (!io_)
        return false;
    buffer.release();  // the context owns it now
    format_ = ff::openInput(io_.get(), av_find_input_format("gif"));
    if (!format_ || format_->nb_streams < 1)
        return false;
    codec_ = ff::openDecoder(*format_->streams[0]->codecpar,
                             [](AVCodecContext& context) { context.max_pixels = kMaxImagePixels; });
    return codec_ != nullptr;
}

bool GifDecoder::decodeNext()
{
    for (;;) {
        int r = avcodec_receive_frame(codec_.get(), current_.get());
        if (r == 0) {
            ++framesDecoded_;
            ++currentIndex_;
            return true;
        }
        if (r != AVERROR(EAGAIN) || draining_)
            return false;
        for (;;) {
            r = av_read_frame(format_.get(), packet_.get());
            if (r < 0) {
                avcodec_send_packet(codec_.get(), nullptr);  // fails only when already draining
                draining_ = true;
                break;
            }
            if (packet_->stream_index != 0) {
                av_packet_unref(packet_.get());
                continue;
            }
            // A frame the decoder refuses would shift every later frame's index by one, so the
            // frames from here on are not decoded rather than misnumbered.
            const int sent = avcodec_send_packet(codec_.get(), packet_.get());
            av_packet_unref(packet_.get());
            if (sent < 0)
                return false;
            break;
        }
    }
}

std::optional<Image> GifDecoder::frame(int index)
{
    if (index < 0)
        return std::nullopt;
    for (const auto& [i, image] : recent_)
        if (i == index)
            return image;
    // Every frame is drawn over the ones before it, so an earlier frame means starting again.
    if (!codec_ || currentIndex_ > index) {
        if (!restart())
            return std::nullopt;
    }
    // The decoder keeps its own canvas to draw the next frame on; a second reference to it held
    // here would make the decoder copy the whole canvas before drawing.
    if (currentIndex_ < index)
        av_frame_unref(current_.get());
    while (currentIndex_ < index) {
        if (!decodeNext()) {
            codec_.reset();  // the decoder's state is spent; the next request starts afresh
            return std::nullopt;
        }
    }
    std::optional<Image> image = canvasImage(*current_);
    if (!image)
        image = converter_.convert(*current_, current_->width, current_->height, Orientation{});
    if (image) {
        // The newest still is kept, and the one before it, while together they fit the budget;
        // stills of a huge screen are not kept at all.
        const auto bytes = [](const Image& kept) {
            return static_cast<long long>(kept.width()) * kept.height() * kept.channels();
        };
        recent_.emplace_back(index, *image);
        long long total = 0;
        for (const auto& kept : recent_)
            total += bytes(kept.second);
        while (!recent_.empty() && (recent_.size() > 2 || total > kGifCacheBytes)) {
            total -= bytes(recent_.front().second);
            recent_.erase(recent_.begin());
        }
    }
    return image;
}

}  // namespace quillon
