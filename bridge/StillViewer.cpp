// The viewer's commands: a still's large picture ("stillPicture"), stepping a still to the frame
// before or after it, or a second away ("stepStill"), and back to its planned time
// ("restoreStill"); and an image file's large picture ("imagePicture"). A stepped still keeps its
// id: from then on the id stands for the frame it shows, in export and in its file name.
#include <algorithm>
#include <cmath>
#include <future>

#include "bridge/Args.hpp"
#include "bridge/Bridge.hpp"
#include "bridge/Protocol.hpp"
#include "media/SamplePlan.hpp"
#include "media/Thumbnail.hpp"

namespace quillon {

namespace {

constexpr int kPictureMaxSide = 2560;  // the largest picture the viewer may ask for

// The longer side of the picture a command asks for, held within what the host sends.
int pictureSide(const Json& args)
{
    return static_cast<int>(
        std::clamp(std::round(args.at("maxSide").get<double>()), 16.0, double(kPictureMaxSide)));
}

// Whether a still at `sec` shows the frame of this interval, taken as the decoder takes times: to
// the nearest 1/600 s first.
bool shows(const SteppedStill& frame, double sec)
{
    const double t = std::round(std::max(sec, 0.0) * 600) / 600;
    return frame.startSec - 1e-9 <= t && t < frame.endSec - 1e-9;
}

}  // namespace

Json Bridge::stillReply(std::int64_t frame, const StillRecord& record, const SteppedStill& shown,
                        const StillsSource& source, int maxSide) const
{
    const PixelSize full = source.pixelSize();
    // The grid's preview is made on a second thread while this one encodes the large picture:
    // the reply waits for both, and a step is answered in about the time of the larger alone.
    std::future<std::string> preview = std::async(std::launch::async, [image = shown.image] {
        return thumbnailDataURL(image, protocol::kPreviewSide);
    });
    std::string picture = thumbnailDataURL(shown.image, maxSide);
    return {{"id", frame},
            // A moved still is at the start of its frame; a planned one at its planned time.
            {"timeSec", record.moved ? record.moved->startSec : record.sec},
            {"percent", record.percent},
            {"frame", shown.frameNumber},
            {"moved", record.moved.has_value()},
            {"thumbDataUrl", preview.get()},
            {"dataUrl", std::move(picture)},
            {"width", protocol::wholePixels(full.width)},
            {"height", protocol::wholePixels(full.height)}};
}

void Bridge::queueStillCommand(std::int64_t id, const Json& args, StillWork work)
{
    std::shared_ptr<StillsSource> source = currentSource().source;
    std::optional<std::int64_t> frame = args::integer(args.value("id", Json()));
    if (!source) {
        resolve(id, false, "No source loaded");
        return;
    }
    if (!frame) {
        resolve(id, false, "missing id");
        return;
    }
    queueCommand(id, [this, id, frame = *frame, source = std::move(source), maxSide = pictureSide(args),
                      work = std::move(work)] {
        if (!stills_.contains(frame)) {
            resolve(id, false, "No such still");
            return;
        }
        std::optional<SteppedStill> shown = work(frame, *source, maxSide);
        if (!shown) {
            resolve(id, false, "Could not decode that frame.");
            return;
        }
        resolve(id, true, stillReply(frame, stills_.at(frame), *shown, *source, maxSide));
    });
}

void Bridge::stillPicture(std::int64_t id, const Json& args)
{
    queueStillCommand(id, args, [this](std::int64_t frame, StillsSource& source, int maxSide) {
        return source.step(stills_.at(frame).sec, {FrameStep::Unit::Frames, 0}, maxSide);
    });
}

void Bridge::stepStill(std::int64_t id, const Json& args)
{
    const double frames = args::number(args, "frames", NAN);
    const double seconds = args::number(args, "seconds", NAN);
    FrameStep by;
    if (std::isfinite(frames)) {
        by = {FrameStep::Unit::Frames, frames};
    } else if (std::isfinite(seconds)) {
        by = {FrameStep::Unit::Seconds, seconds};
    } else if (currentSource().source && args::integer(args.value("id", Json()))) {
        resolve(id, false, "missing frames or seconds");
        return;
    }
    queueStillCommand(id, args, [this, by](std::int64_t frame, StillsSource& source, int maxSide) {
        StillRecord& record = stills_.at(frame);
        std::optional<SteppedStill> shown = source.step(record.sec, by, maxSide);
        // A step that stays on the same frame (before the first or past the last) keeps the
        // still's time as it was.
        if (shown && !shows(*shown, record.sec)) {
            record.moved = {record.moved ? record.moved->plannedSec : record.sec,
                            record.moved ? record.moved->plannedPercent : record.percent, shown->startSec};
            const double duration = source.durationSec();
            record.sec = shown->stillSec;
            // Taken to a billionth of a percent, so a frame exactly half way between two whole
            // percents is named after the higher one, as a planned position would be, whatever
            // the last bit of the division.
            record.percent = duration > 0 ? std::round(shown->startSec / duration * 1e11) / 1e9 : 0;
        }
        return shown;
    });
}

void Bridge::restoreStill(std::int64_t id, const Json& args)
{
    queueStillCommand(id, args, [this](std::int64_t frame, StillsSource& source, int maxSide) {
        StillRecord& record = stills_.at(frame);
        if (record.moved)
            record = {record.moved->plannedSec, record.moved->plannedPercent, std::nullopt};
        return source.step(record.sec, {FrameStep::Unit::Frames, 0}, maxSide);
    });
}

void Bridge::imagePicture(std::int64_t id, const Json& args)
{
    std::optional<std::string> path = args::path(args, "path");
    if (!path) {
        resolve(id, false, "missing path");
        return;
    }
    queueCommand(id, [this, id, file = pagePaths_.resolve(*path), maxSide = pictureSide(args)] {
        LoadedImage loaded = loadImageAndSize(file, maxSide);
        std::string url = loaded.image ? thumbnailDataURL(*loaded.image, maxSide) : std::string();
        if (url.empty()) {
            resolve(id, false, "Could not read that image.");
            return;
        }
        const PixelSize size = loaded.displayedSize.value_or(PixelSize{});  // 0 x 0 when unknown
        resolve(id, true,
                {{"dataUrl", url},
                 {"width", protocol::wholePixels(size.width)},
                 {"height", protocol::wholePixels(size.height)}});
    });
}

}  // namespace quillon
