// A small driver that runs one media operation the way Quillon does, so that a whole process can
// be timed against a command-line peer doing the same work.
//
//   quillon-media-bench preview IN LIMIT OUT         reduced load + JPEG data URL, as image import does
//   quillon-media-bench encode IN FORMAT QUALITY OUT  full-size decode + encodeImage, as export does
//
// Exit status 0 on success, 1 when the operation failed, 2 on bad usage.

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "media/Encode.hpp"
#include "media/Image.hpp"
#include "media/Thumbnail.hpp"

namespace {

bool writeAll(const char* path, const void* data, std::size_t size)
{
    std::ofstream out(path, std::ios::binary);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
    return static_cast<bool>(out);
}

int preview(const char* in, int limit, const char* out)
{
    const std::optional<quillon::Image> image = quillon::loadImageOriented(in, limit);
    if (!image) {
        return 1;
    }
    const std::string url = quillon::thumbnailDataURL(*image, limit);
    return !url.empty() && writeAll(out, url.data(), url.size()) ? 0 : 1;
}

int encode(const char* in, const char* format, double quality, const char* out)
{
    quillon::ensureVipsStarted();
    std::optional<quillon::Image> image;
    try {
        image = quillon::Image::fromVips(vips::VImage::new_from_file(in));
    } catch (const vips::VError&) {
        return 1;
    }
    if (!image) {
        return 1;
    }
    const std::optional<quillon::Bytes> bytes = quillon::encodeImage(*image, format, quality);
    return bytes && writeAll(out, bytes->data(), bytes->size()) ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    const std::string command = argc > 1 ? argv[1] : "";
    if (command == "preview" && argc == 5) {
        return preview(argv[2], std::atoi(argv[3]), argv[4]);
    }
    if (command == "encode" && argc == 6) {
        return encode(argv[2], argv[3], std::atof(argv[4]), argv[5]);
    }
    std::fprintf(stderr, "usage: %s preview IN LIMIT OUT | encode IN FORMAT QUALITY OUT\n", argv[0]);
    return 2;
}
