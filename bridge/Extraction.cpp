// The "extract" command: stills at evenly spaced points of the current source, each sent to the
// page as a preview as soon as it is ready, with a progress count after every sample.
#include <any>

#include "bridge/Bridge.hpp"
#include "bridge/Protocol.hpp"
#include "media/SamplePlan.hpp"
#include "media/Thumbnail.hpp"

namespace quillon {

void Bridge::extract(std::int64_t id, const Json& args)
{
    std::shared_ptr<StillsSource> source = currentSource().source;
    if (!source) {
        resolve(id, false, "No source loaded");
        return;
    }
    const double stepPercent = args.at("stepPercent").get<double>();

    // The run works on the source that was current when the command arrived, even when an open
    // queued before it replaces the bridge's source in the meantime.
    queueCommand(id, [this, id, source = std::move(source), stepPercent] {
        // The planner takes a step that is not a finite positive number as the default and raises a smaller
        // positive step to 0.01, so a run never has more than 10,001 samples: a page that sends
        // 1e-12 sees the 0.01 plan, {"count": 10001} and 10,002 progress events.
        std::vector<StillSample> samples = sampleTimes(source->durationSec(), stepPercent, source->fps());
        const auto total = static_cast<std::int64_t>(samples.size());

        stills_.clear();
        emit(protocol::kExtractProgress, {{"done", 0}, {"total", total}});
        std::vector<double> times;
        for (const StillSample& sample : samples)
            times.push_back(sample.sec);
        bool cancelled = false;
        std::int64_t delivered = 0;  // samples handled, read or not
        // Previews are made on the decoding threads; they arrive here in the plan's order. A
        // video's stills come already reduced to the preview's size, scaled straight from the
        // decoded frames; the still's own size is the source's.
        const PixelSize full = source->pixelSize();
        auto makePreview = [](std::size_t, std::optional<Image> still) -> std::any {
            if (!still)
                return {};
            return thumbnailDataURL(*still, protocol::kPreviewSide);
        };
        source->stills(times, makePreview, [&](std::size_t index, std::any made) {
            if (stopHere(cancelled))
                return false;
            const auto i = static_cast<std::int64_t>(index);
            const StillSample& sample = samples[index];
            if (made.has_value()) {
                stills_[i] = {sample.sec, sample.percent, std::nullopt};
                emit(protocol::kFrameReady, {{"id", i},
                                             {"percent", sample.percent},
                                             {"timeSec", sample.sec},
                                             {"thumbDataUrl", std::any_cast<const std::string&>(made)},
                                             {"width", static_cast<int>(full.width)},
                                             {"height", static_cast<int>(full.height)}});
            }
            emit(protocol::kExtractProgress, {{"done", i + 1}, {"total", total}});
            delivered = i + 1;
            return true;
        });
        if (io_.stopRequested())
            return;  // shutting down: the page is going away with the bridge
        // A cancelled run counts the samples it got to: frame ids 0 .. count-1 are the ones the
        // page may have received, and the ones an export can find again.
        if (cancelled)
            resolve(id, true, {{"count", delivered}, {"cancelled", true}});
        else
            resolve(id, true, {{"count", total}});
    });
}

}  // namespace quillon
