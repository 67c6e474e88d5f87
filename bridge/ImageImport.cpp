// Images mode, bringing files in: chooseImages, importImages, drops, and streamImages, which turns
// a list of files and folders into image records with previews, sent to the page in batches.
#include <string>
#include <utility>

#include "bridge/Args.hpp"
#include "bridge/Bridge.hpp"
#include "bridge/ImageFiles.hpp"
#include "bridge/OrderedPool.hpp"
#include "bridge/Protocol.hpp"
#include "media/Extensions.hpp"
#include "media/Thumbnail.hpp"

namespace quillon {

namespace {

constexpr std::size_t kBatchSize = 24;
// Previews finished ahead of the one the page gets next. They are small (a few tens of kilobytes
// each), so the window only bounds memory while keeping the workers busy past a slow file.
constexpr std::size_t kPreviewWindow = 32;

FileFilter imageContentTypes()
{
    FileFilter filter{"Images", {"image/*"}, {}};
    for (const std::string& ext : kImageExtensions)
        filter.patterns.push_back("*." + ext);
    return filter;
}

// What a worker learns about one file: its displayed size and its preview.
struct ImagePreview {
    std::int64_t width = 0;
    std::int64_t height = 0;
    std::string thumbDataUrl;
};

ImagePreview makePreview(const std::filesystem::path& file)
{
    LoadedImage loaded = loadImageAndSize(file, protocol::kPreviewSide);
    const PixelSize size = loaded.displayedSize.value_or(PixelSize{});  // 0 x 0 when unknown
    ImagePreview preview{protocol::wholePixels(size.width), protocol::wholePixels(size.height), {}};
    if (loaded.image)
        preview.thumbDataUrl = thumbnailDataURL(*loaded.image, protocol::kPreviewSide);
    return preview;
}

}  // namespace

void Bridge::chooseImages(std::int64_t id, const Json& args)
{
    // A GTK chooser picks files or folders, not both: "folders": true asks for the folder variant.
    const bool chooseFolders = args.at("folders").get<bool>();

    PanelRequest request;
    request.acceptLabel = "Add";
    if (chooseFolders) {
        request.kind = PanelRequest::Kind::OpenFolders;
        request.title = "Choose folders of images";
    } else {
        request.kind = PanelRequest::Kind::OpenFiles;
        request.title = "Choose images or folders";
        request.filters = {imageContentTypes()};
    }
    host_.showPanel(request, whileAlive(unlessCancelled(id, [this, id](std::vector<std::string> paths) {
                        if (paths.empty())
                            resolve(id, true, Json{{"count", 0}});
                        else
                            importImages(id, Json{{"paths", paths}});  // as if the page had named them
                    })));
}

void Bridge::importImages(std::int64_t id, const Json& args)
{
    std::vector<std::string> paths = args::strings(args, "paths");
    std::vector<std::filesystem::path> inputs(paths.begin(), paths.end());
    queueCommand(id, [this, id, inputs = std::move(inputs)] { streamImages(inputs, id); });
}

void Bridge::handleDrop(std::vector<std::filesystem::path> files)
{
    if (currentMode_ != "images") {
        for (const std::filesystem::path& file : files) {
            if (!kStillsExtensions.contains(lowerExtension(file)))
                continue;
            io_.async([this, file] {
                std::optional<Json> description = open(file);
                emit(protocol::kDrop, description ? *description : Json(nullptr));
            });
            return;
        }
    }
    io_.async([this, files = std::move(files)] { streamImages(files, std::nullopt); });
}

void Bridge::streamImages(const std::vector<std::filesystem::path>& inputs,
                          std::optional<std::int64_t> resolveId)
{
    const std::vector<FoundImage> found = collectImageFilesWithFolders(inputs);
    const std::size_t total = found.size();
    emit(protocol::kImagesBegin, Json{{"total", total}});

    // Previews are made on the pool; ids, records and batches are made here, in sorted order.
    std::vector<ImagePreview> previews(total);
    Json batch = Json::array();
    bool cancelled = false;
    std::size_t count = 0;  // records made
    // One worker more than cores: a worker waits each time libvips hands its picture to a thread
    // of its own and back, and the extra worker keeps the cores busy meanwhile (200 photographs:
    // 1.05x the time of two separate thumbnailer processes, against 1.15x with one per core). The
    // pictures in flight are reduced on load wherever the format allows, so memory hardly grows.
    OrderedPool pool(OrderedPool::defaultWorkers() + 1);
    pool.run(
        total, kPreviewWindow, [&](std::size_t i) { previews[i] = makePreview(found[i].path); },
        [&](std::size_t i) {
        if (stopHere(cancelled))
            return false;
        ImagePreview preview = std::move(previews[i]);
        previews[i] = {};
        const std::int64_t id = nextImageId_++;
        batch.push_back(Json{{"id", id},
                             {"name", found[i].path.filename().string()},
                             {"path", pagePaths_.remember(found[i].path)},
                             {"width", preview.width},
                             {"height", preview.height},
                             {"thumbDataUrl", std::move(preview.thumbDataUrl)},
                             {"isImage", true},
                             // Where the file lies under the folder it was added with, so a
                             // conversion can keep the folder's layout.
                             {"folder", pagePaths_.remember(found[i].folder)}});
        ++count;
        if (batch.size() == kBatchSize) {
            emit(protocol::kImagesChunk, Json{{"items", std::move(batch)}});
            batch = Json::array();
        }
        return true;
        });
    if (io_.stopRequested())
        return;  // the bridge is going away; nobody is left to answer
    // Records already made reach the page, also after a cancel: their ids are taken.
    if (!batch.empty())
        emit(protocol::kImagesChunk, Json{{"items", std::move(batch)}});
    if (!resolveId)
        return;
    if (cancelled)
        resolve(*resolveId, true, Json{{"count", count}, {"cancelled", true}});
    else
        resolve(*resolveId, true, Json{{"count", total}});
}

}  // namespace quillon
