// Takes the stills of a 5 % extraction the way video mode does, so the whole process can be timed
// against 21 ffmpeg processes making the same previews.
//
//   quillon-stills-bench CLIP [STEP_PERCENT]
//
// Opens the clip, plans the samples (sampleTimes), and takes their full-size stills as extraction
// does (StillsSource::stills), making each one's 360-pixel JPEG preview on the decoding threads. Prints one line: opening time, total time, stills made,
// time spent making previews (added over the decoding threads), frames decoded and peak resident memory. Exit status 0 when every still was made.

#include <sys/resource.h>

#include <any>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "media/SamplePlan.hpp"
#include "media/StillsSource.hpp"
#include "media/Thumbnail.hpp"

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: quillon-stills-bench CLIP [STEP_PERCENT]\n");
        return 2;
    }
    const double step = argc > 2 ? std::atof(argv[2]) : 5;
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
    for (const quillon::StillSample& sample : quillon::sampleTimes(source->durationSec(), step, source->fps()))
        times.push_back(sample.sec);
    planned = static_cast<int>(times.size());
    std::atomic<long long> previewNs{0};
    source->stills(
        times,
        [&](std::size_t, std::optional<quillon::Image> still) -> std::any {
            if (!still)
                return {};
            const auto before = Clock::now();
            std::string url = quillon::thumbnailDataURL(*still, 360);
            previewNs += std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - before).count();
            return url;
        },
        [&](std::size_t, std::any preview) {
            made += preview.has_value() && !std::any_cast<std::string&>(preview).empty();
            return true;
        });
    inPreviews = std::chrono::nanoseconds(previewNs.load());
    const auto done = Clock::now();
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto ms = [](auto d) { return std::chrono::duration<double, std::milli>(d).count(); };
    std::printf("open %.1f ms, total %.1f ms (previews %.1f ms), stills %d/%d, frames decoded %lld, "
                "peak memory %.0f MiB\n",
                ms(opened - start), ms(done - start), ms(inPreviews), made, planned,
                static_cast<long long>(source->framesDecoded()), usage.ru_maxrss / 1024.0);
    return made == planned ? 0 : 1;
}
