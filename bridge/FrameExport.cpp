// The "export" command: the chosen frames of the current source written at full size into a
// folder, named after the source file and the frame's position, never replacing a file.
#include <algorithm>
#include <any>
#include <cmath>
#include <cstdio>

#include "bridge/Args.hpp"
#include "bridge/Bridge.hpp"
#include "bridge/FileWrite.hpp"
#include "bridge/Protocol.hpp"
#include "media/Encode.hpp"
#include "media/SamplePlan.hpp"

namespace quillon {

namespace {

// "clip_p025": the source file's name without its extension ("frame" when that is empty), "_p"
// and the position rounded to a whole percent, halves away from zero, in at least three digits.
std::string frameStem(const std::string& base, double percent)
{
    long long rounded = std::isfinite(percent) ? std::llround(std::clamp(percent, -1e9, 1e9)) : 0;
    char digits[32];
    std::snprintf(digits, sizeof digits, "%03lld", rounded);
    return base + "_p" + digits;
}

}  // namespace

void Bridge::exportFrames(std::int64_t id, const Json& args)
{
    CurrentSource current = currentSource();
    if (!current.source || !current.file) {
        resolve(id, false, "No source loaded");
        return;
    }
    std::vector<std::int64_t> ids = args::integers(args, "ids");
    std::string format = args.at("format").get<std::string>();
    const double quality = args.at("quality").get<double>();
    if (ids.empty()) {
        resolve(id, false, "No frames selected");
        return;
    }

    // The work captures the source and its file now; the frame records are read when it runs.
    exportInto(id, args, "Choose a folder to save the frames",
               [this, ids, source = current.source, clip = *current.file, format,
                quality](const std::filesystem::path& folder) {
        return writeFrames(ids, source, clip, folder, format, quality);
    });
}

void Bridge::exportInto(std::int64_t id, const Json& args, const char* panelTitle,
                        std::function<WriteResult(const std::filesystem::path& folder)> write)
{
    auto submit = [this, id, write = std::move(write)](const std::filesystem::path& folder) {
        queueCommand(id, [this, id, write, folder] {
            WriteResult result = write(folder);
            if (io_.stopRequested())
                return;  // the bridge is going away; nobody is left to answer
            Json reply{{"written", std::move(result.written)},
                       {"failed", std::move(result.failed)},
                       {"folder", folder.string()}};
            if (result.reportRenamed)
                reply["renamed"] = result.renamed;
            if (result.cancelled)
                reply["cancelled"] = true;
            resolve(id, true, reply);
        });
    };

    if (std::optional<std::string> dest = args::path(args, "dest")) {
        submit(absolutePath(pagePaths_.resolve(*dest)));  // so the reply names the folder in full
        return;
    }
    PanelRequest request;
    request.kind = PanelRequest::Kind::OpenFolder;
    request.title = panelTitle;
    request.acceptLabel = "Export Here";
    request.canCreateFolders = true;
    host_.showPanel(request,
                    whileAlive(unlessCancelled(id, [this, id, submit](std::vector<std::string> paths) {
                        if (paths.empty() || paths.front().empty()) {
                            resolve(id, true, nullptr);
                            return;
                        }
                        pagePaths_.remember(paths.front());
                        submit(std::filesystem::path(paths.front()));
                    })));
}

WriteResult Bridge::writeFrames(std::vector<std::int64_t> ids, const std::shared_ptr<StillsSource>& src,
                                const std::filesystem::path& clip, const std::filesystem::path& dir,
                                const std::string& format, double quality)
{
    WriteResult result;
    std::string base = clip.filename().stem().string();
    if (base.empty())
        base = "frame";
    const std::string ext = extForFormat(format);

    std::sort(ids.begin(), ids.end());  // ascending, repeats kept
    if (!isWritableFolder(dir)) {
        for (std::int64_t frame : ids)
            result.failed.push_back({{"id", frame}, {"reason", "folder not writable"}});
        return result;
    }

    // Ids the last extraction has no record of (none ran since this source was opened, or that
    // still could not be read) are looked up in the default plan of the captured source.
    std::optional<std::vector<StillSample>> fallbackPlan;
    const auto total = static_cast<std::int64_t>(ids.size());
    std::vector<double> times;
    std::vector<double> percents;
    for (std::int64_t frame : ids) {
        StillSample at{0, 0};
        if (auto still = stills_.find(frame); still != stills_.end()) {
            at = {still->second.percent, still->second.sec};
        } else {
            if (!fallbackPlan)
                fallbackPlan = sampleTimes(src->durationSec(), kDefaultStepPercent, src->fps());
            if (frame >= 0 && frame < std::ssize(*fallbackPlan))
                at = (*fallbackPlan)[static_cast<std::size_t>(frame)];
        }
        times.push_back(at.sec);
        percents.push_back(at.percent);
    }

    // Frames are encoded on the decoding threads, then named and written here in order, so the
    // naming of repeats and collisions is the same as one at a time.
    auto encodeFrame = [&](std::size_t, std::optional<Image> still) -> std::any {
        if (!still)
            return {};
        return encodeImage(*still, format, quality);
    };
    src->stills(times, encodeFrame, [&](std::size_t k, std::any made) {
        if (stopHere(result.cancelled))
            return false;
        const std::int64_t frame = ids[k];
        std::optional<Bytes> encoded;
        if (!made.has_value()) {
            result.failed.push_back({{"id", frame}, {"reason", "could not decode frame"}});
        } else {
            encoded = std::any_cast<std::optional<Bytes>>(std::move(made));
            if (!encoded)
                result.failed.push_back({{"id", frame}, {"reason", "could not encode frame"}});
        }
        if (encoded) {
            // The "_p025" part stays whole when a long name has to be shortened.
            if (auto written = writeNewFile(dir, base, frameStem("", percents[k]), ext, *encoded))
                result.written.push_back(written->string());
            else
                result.failed.push_back({{"id", frame}, {"reason", "write failed (permission or disk)"}});
        }
        emit(protocol::kExportProgress, {{"done", static_cast<std::int64_t>(k) + 1}, {"total", total}});
        return true;
    });
    return result;
}

}  // namespace quillon
