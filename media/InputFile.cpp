#include "media/InputFile.hpp"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <ranges>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include <vips/vips.h>

extern "C" {
#include <libavutil/dict.h>
}

namespace quillon {

std::string InputFile::procPath() const { return "/proc/self/fd/" + std::to_string(fd_.get()); }

std::optional<InputFile> openInputFile(const std::filesystem::path& file)
{
    int fd = -1;
    do {
        fd = ::open(file.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0)
        return std::nullopt;
    InputFile input(fd);
    struct stat info {};
    if (::fstat(fd, &info) != 0 || !S_ISREG(info.st_mode))
        return std::nullopt;
    // Reads then block as usual (O_NONBLOCK has no effect on regular files, but the flag is
    // cleared so that nothing depends on that).
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != 0)
        return std::nullopt;
    return input;
}

namespace {

// Demuxers that open other files named inside the input: playlists and manifests (HLS, DASH, IMF),
// lists of files (concat, ffconcat), image sequences (image2), and script formats.
constexpr std::string_view kRefusedDemuxers[] = {"hls",    "dash",     "imf",        "concat",
                                                 "image2", "avisynth", "vapoursynth"};

bool refusedDemuxer(std::string_view names)
{
    // A demuxer's name may list several (e.g. "mov,mp4,m4a,3gp,3g2,mj2").
    for (const auto name : std::views::split(names, ','))
        if (std::ranges::find(kRefusedDemuxers, std::string_view(name.begin(), name.end())) !=
            std::end(kRefusedDemuxers))
            return true;
    return false;
}

// Every demuxer of this FFmpeg but the refused ones, as FFmpeg's comma-separated allow list.
const std::string& allowedDemuxers()
{
    static const std::string list = [] {
        std::string names;
        void* state = nullptr;
        while (const AVInputFormat* format = av_demuxer_iterate(&state)) {
            if (format->name == nullptr || refusedDemuxer(format->name))
                continue;
            if (!names.empty())
                names += ',';
            names += format->name;
        }
        return names;
    }();
    return list;
}

}  // namespace

ff::FormatPtr openMediaInput(const InputFile& file)
{
    if (file.fd() < 0)
        return nullptr;
    const std::string path = file.procPath();
    const std::string& allowed = allowedDemuxers();
    // Nothing can throw from here until the options have their owner.
    AVDictionary* options = nullptr;
    av_dict_set(&options, "protocol_whitelist", "file", 0);
    av_dict_set(&options, "format_whitelist", allowed.c_str(), 0);
    AVFormatContext* context = nullptr;
    const int result = avformat_open_input(&context, path.c_str(), nullptr, &options);
    const std::unique_ptr<AVDictionary, ff::FreeByAddress<av_dict_free>> unused(options);
    if (result < 0)
        return nullptr;  // avformat_open_input frees the context itself on failure
    return ff::FormatPtr(context);
}

bool hasAcceptedImageSignature(const InputFile& file)
{
    std::array<unsigned char, 16> head{};
    ssize_t n = 0;
    do {
        n = ::pread(file.fd(), head.data(), head.size(), 0);
    } while (n < 0 && errno == EINTR);
    if (n < 12)
        return false;
    const auto starts = [&](std::size_t at, std::string_view bytes) {
        return std::memcmp(head.data() + at, bytes.data(), bytes.size()) == 0;
    };
    using namespace std::string_view_literals;
    return starts(0, "\x89PNG\r\n\x1a\n"sv) ||                                            // PNG
           starts(0, "\xFF\xD8\xFF"sv) ||                                                 // JPEG
           starts(0, "II*\0"sv) || starts(0, "MM\0*"sv) ||                                // TIFF
           starts(0, "II+\0"sv) || starts(0, "MM\0+"sv) ||                                // BigTIFF
           starts(4, "ftyp"sv) ||                                                         // HEIF, AVIF
           starts(0, "BM"sv) ||                                                           // BMP
           (starts(0, "RIFF"sv) && starts(8, "WEBP"sv)) ||                                // WebP
           starts(0, "\0\0\0\x0CjP  \r\n\x87\n"sv) || starts(0, "\xFF\x4F\xFF\x51"sv) ||  // JPEG 2000
           starts(0, "8BPS"sv) ||                                                         // Photoshop
           starts(0, "GIF87a"sv) || starts(0, "GIF89a"sv);                                // GIF
}

void blockUnacceptedImageLoaders()
{
    static std::once_flag once;
    std::call_once(once, [] {
        // Untrusted operations first, then every loader; then the loaders of the accepted formats
        // are allowed again, JPEG 2000 and ImageMagick (BMP, Photoshop) among them although
        // libvips counts those as untrusted: hasAcceptedImageSignature keeps other content from
        // reaching ImageMagick.
        vips_block_untrusted_set(TRUE);
        vips_operation_block_set("VipsForeignLoad", TRUE);
        for (const char* loader :
             {"VipsForeignLoadJpeg", "VipsForeignLoadPng", "VipsForeignLoadTiff", "VipsForeignLoadHeif",
              "VipsForeignLoadWebp", "VipsForeignLoadJp2k", "VipsForeignLoadMagick", "VipsForeignLoadNsgif"})
            vips_operation_block_set(loader, FALSE);
    });
}

}  // namespace quillon
