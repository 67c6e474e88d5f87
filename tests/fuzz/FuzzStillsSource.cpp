// Mutated clips and GIFs opened as a stills source, with a few stills read forward and back.
#include <cmath>

#include "media/StillsSource.hpp"
#include "media/Thumbnail.hpp"
#include "tests/fuzz/FuzzInput.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    static const char* const kExts[] = {"mp4", "mkv", "webm", "avi", "mpg",
                                        "m2v", "mov", "gif",  "gif", "gif"};
    std::shared_ptr<quillon::StillsSource> source = quillon::StillsSource::open(
        quillon::fuzz::inputFile(data, size, kExts));
    if (!source)
        return 0;
    const double duration = source->durationSec();
    if (!std::isfinite(duration) || duration < 0)
        __builtin_trap();  // the page could not use it
    for (double fraction : {0.0, 0.37, 1.0, 0.5}) {
        if (std::optional<quillon::Image> still = source->image(duration * fraction)) {
            if (still->width() <= 0 || still->height() <= 0)
                __builtin_trap();
            quillon::thumbnailDataURL(*still, 64);
        }
    }
    return 0;
}
