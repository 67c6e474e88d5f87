// Header probing, reduced upright decoding and previews of mutated images of every input format.
#include "media/MediaLimits.hpp"
#include "media/Thumbnail.hpp"
#include "tests/fuzz/FuzzInput.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const char* const kExts[] = {"png", "jpg", "tif", "heic", "bmp", "webp", "jp2", "psd"};
    std::filesystem::path file = quillon::fuzz::inputFile(data, size, kExts);
    quillon::imagePixelSize(file);
    if (std::optional<quillon::Image> image = quillon::loadImageOriented(file, 48)) {
        // Never larger than asked, whatever the header said, and never empty.
        if (image->width() > 48 || image->height() > 48 || image->width() <= 0 || image->height() <= 0)
            __builtin_trap();
        quillon::thumbnailDataURL(*image, 32);
    }
    return 0;
}
