// Opens mutated clips and GIFs as a stills source and reads a few stills across the clip, at
// full size and as previews.
#include <cmath>

#include "media/StillsSource.hpp"
#include "media/Thumbnail.hpp"
#include "tests/fuzz/FuzzInput.hpp"

namespace {
const char* const kExts[] = {"mp4", "mkv", "webm", "avi", "mpg", "m2v", "mov", "gif", "gif", "gif"};
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::filesystem::path file = quillon::fuzz::inputFile(data, size, kExts);
    std::shared_ptr<quillon::StillsSource> source = quillon::StillsSource::open(file);
    if (!source)
        return 0;
    const double duration = source->durationSec();
    if (!std::isfinite(duration) || duration < 0)
        __builtin_trap();  // the description must stay usable by the page
    // Forward, then backward (a seek), as an extraction and a later export do.
    for (double fraction : {0.0, 0.37, 1.0, 0.5}) {
        if (std::optional<quillon::Image> still = source->image(duration * fraction)) {
            if (still->width() <= 0 || still->height() <= 0)
                __builtin_trap();
            quillon::thumbnailDataURL(*still, 64);
        }
    }
    return 0;
}
