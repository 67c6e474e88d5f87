// The "extract" command: stills at evenly spaced points of the current source, each sent to the
// page as a preview as soon as it is ready, with a progress count after every sample.
#include "bridge/Args.hpp"
#include "bridge/Bridge.hpp"
#include "media/SamplePlan.hpp"
#include "media/Thumbnail.hpp"

namespace quillon {

namespace {

constexpr int kPreviewLimit = 360;  // longer side of a preview, in pixels

}  // namespace

void Bridge::extract(std::int64_t id, const Json& args)
{
    std::shared_ptr<StillsSource> source = currentSource().source;
    if (!source) {
        resolve(id, false, "No source loaded");
        return;
    }
    double stepPercent = args::number(args, "stepPercent", 5);

    // The run works on the source that was current when the command arrived, even when an open
    // queued before it replaces the bridge's source in the meantime.
    io_.async([this, id, source = std::move(source), stepPercent] {
        // The planner takes a step that is not a finite positive number as 5 and raises a smaller
        // positive step to 0.01, so a run never has more than 10,001 samples: a page that sends
        // 1e-12 sees the 0.01 plan, {"count": 10001} and 10,002 progress events.
        std::vector<StillSample> samples =
            sampleTimes(source->durationSec(), stepPercent, source->fps());
        const auto total = static_cast<std::int64_t>(samples.size());

        frameTimes_.clear();
        framePercents_.clear();
        emit("window.__onExtractProgress", {{"done", 0}, {"total", total}});
        for (std::int64_t i = 0; i < total; ++i) {
            if (io_.stopRequested())
                return;  // shutting down: the page is going away with the bridge
            const StillSample& sample = samples[static_cast<std::size_t>(i)];
            // One full-size still at a time: it is released at the end of this iteration.
            if (std::optional<Image> still = source->image(sample.sec)) {
                frameTimes_[i] = sample.sec;
                framePercents_[i] = sample.percent;
                emit("window.__onFrameReady", {{"id", i},
                                               {"percent", sample.percent},
                                               {"timeSec", sample.sec},
                                               {"thumbDataUrl", thumbnailDataURL(*still, kPreviewLimit)},
                                               {"width", still->width()},
                                               {"height", still->height()}});
            }
            emit("window.__onExtractProgress", {{"done", i + 1}, {"total", total}});
        }
        resolve(id, true, {{"count", total}});
    });
}

}  // namespace quillon
