// The commands that manage the current source and the page's surroundings: chooseVideo, loadVideo,
// setMode, chooseDest and reveal, and open(), which makes a file the current source.
#include <system_error>

#include "bridge/Args.hpp"
#include "bridge/Bridge.hpp"
#include "bridge/Protocol.hpp"
#include "media/Extensions.hpp"

namespace quillon {

namespace {

constexpr char kCouldNotOpen[] = "Could not read that file as a video or GIF.";

}  // namespace

std::filesystem::path Bridge::absolutePath(const std::filesystem::path& path)
{
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(path, error);
    return error ? path : absolute;
}

FileFilter stillsContentTypes()
{
    // Movies and videos in general, then the kinds a generic video type may not cover on every
    // system: GIF, WebM, Matroska and AVI. Name patterns catch files whose MIME type is unknown.
    FileFilter filter{"Videos and animated GIFs",
                      {"video/*", "image/gif", "video/webm", "video/x-matroska", "video/x-msvideo"},
                      {}};
    for (const std::string& ext : kStillsExtensions)
        filter.patterns.push_back("*." + ext);
    return filter;
}

void Bridge::chooseVideo(std::int64_t id)
{
    PanelRequest request;
    request.kind = PanelRequest::Kind::OpenFile;
    request.title = "Choose a video or animated GIF";
    request.acceptLabel = "Open";
    request.filters = {stillsContentTypes()};
    host_.showPanel(
        request, whileAlive(unlessCancelled(id, [this, id](std::vector<std::string> paths) {
            if (paths.empty() || paths.front().empty())
                resolve(id, true, nullptr);
            else
                loadVideo(id, Json{{"path", paths.front()}});  // opened as if the page had named it
        })));
}

void Bridge::setPageState(std::int64_t id, const Json& args)
{
    // Counts that are not whole numbers of at least 0 count as 0, as for any argument of the
    // wrong type.
    auto count = [&args](const char* key) -> std::int64_t {
        std::optional<std::int64_t> n = args::integer(args.value(key, Json()));
        return n && *n > 0 ? *n : 0;
    };
    pageState_ = {args::string(args, "work", ""), count("stills"), count("images")};
    resolve(id, true, nullptr);
}

void Bridge::loadVideo(std::int64_t id, const Json& args)
{
    std::optional<std::string> path = args::path(args, "path");
    if (!path) {
        resolve(id, false, "missing path");
        return;
    }
    queueCommand(id, [this, id, file = absolutePath(*path)] {
        if (auto description = open(file))
            resolve(id, true, *description);
        else
            resolve(id, false, kCouldNotOpen);
    });
}

void Bridge::setMode(std::int64_t id, const Json& args)
{
    // Stored as given; only handleDrop compares it, with "images".
    currentMode_ = args.at("mode").get<std::string>();
    resolve(id, true, nullptr);
}

void Bridge::chooseDest(std::int64_t id)
{
    PanelRequest request;
    request.kind = PanelRequest::Kind::OpenFolder;
    request.title = "Choose a folder to save the frames";
    request.acceptLabel = "Choose";
    request.canCreateFolders = true;
    host_.showPanel(
        request, whileAlive([this, id](std::vector<std::string> paths) {
            if (paths.empty() || paths.front().empty())
                resolve(id, true, nullptr);
            else
                resolve(id, true, Json{{"path", pagePaths_.remember(absolutePath(paths.front()))}});
        }));
}

void Bridge::reveal(std::int64_t id, const Json& args)
{
    // Paths are not checked: what the file manager does with missing ones is its own business.
    std::vector<std::string> paths = args::strings(args, "paths");
    for (std::string& path : paths)
        path = pagePaths_.resolve(path).native();  // names the page only knows with U+FFFD in them
    host_.runOnMain(whileAlive([this, id, paths = std::move(paths)] {
        host_.reveal(paths);
        resolve(id, true, nullptr);
    }));
}

std::optional<Json> Bridge::open(const std::filesystem::path& file)
{
    std::shared_ptr<StillsSource> source = StillsSource::open(file);
    if (!source)
        return std::nullopt;  // the current source and the frame records stay as they were

    Json description = {
        {"path", file.string()},
        {"name", file.filename().string()},
        {"durationSec", source->durationSec()},
        {"width", protocol::wholePixels(source->pixelSize().width)},
        {"height", protocol::wholePixels(source->pixelSize().height)},
        {"fps", source->fps()},
        {"isGif", source->isGif()},
    };
    CurrentSource previous{source, file};
    {
        std::lock_guard lock(sourceMutex_);
        std::swap(current_, previous);
    }
    // The previous source is released here, outside the lock, so the main thread never waits for
    // a decoder to shut down.
    previous = {};
    stills_.clear();
    return description;
}

}  // namespace quillon
