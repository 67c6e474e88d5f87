// Images mode, writing out: exportImages and writeImages, which convert each chosen image into the
// requested format and write it into one folder under its own name, never replacing a file.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <utility>

#include "bridge/Args.hpp"
#include "bridge/Bridge.hpp"
#include "bridge/FileWrite.hpp"
#include "bridge/ImageFiles.hpp"
#include "bridge/MemoryBudget.hpp"
#include "bridge/OrderedPool.hpp"
#include "bridge/Protocol.hpp"
#include "media/Encode.hpp"
#include "media/Thumbnail.hpp"

namespace quillon {

namespace {

// The input's own name without its last extension ("archive.tar" for archive.tar.gz), or "image"
// when nothing is left.
std::string outputBase(const std::filesystem::path& input)
{
    std::string base = input.filename().stem().string();
    return base.empty() ? "image" : base;
}

// The folder the i-th converted file goes into: the destination, or the path's own folder under
// it, created when missing. An existing file of the folder's name is never replaced: the folder
// then cannot be made and nothing is.
std::optional<std::filesystem::path> outputFolder(const std::filesystem::path& dir, const ImageLayout& layout,
                                                  std::size_t i)
{
    if (i >= layout.folders.size() || layout.folders[i].empty())
        return dir;
    const std::filesystem::path folder = dir / layout.folders[i];
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error || !std::filesystem::is_directory(folder, error))
        return std::nullopt;
    return folder;
}

// What a worker produced for one path: the encoded file, or the reason there is none.
struct Converted {
    std::optional<Bytes> bytes;
    const char* failure = nullptr;
};

// Encodes a loaded picture; without one, or when encoding fails, the reason there is no file.
Converted encoded(const std::optional<Image>& picture, const std::string& format, double quality,
                  const char* encodeFailure = "could not encode image")
{
    Converted result;
    if (picture)
        result.bytes = encodeImage(*picture, format, quality);
    if (!result.bytes)
        result.failure = picture ? encodeFailure : "could not decode image";
    return result;
}

// Converts one file reduced to a longest side of maxSide, within the budget. Nothing when the
// picture already fits (or its size cannot be read): it is then converted at its own size. JPEG,
// PNG and TIFF stream through the reduction and hold little more than the result, but other
// loaders (HEIF among them) decode the whole picture first, so the budget is charged the larger
// of the full-size conversion's cost and the reduced one's; a picture too large to hold at full
// size is still converted, since only what the loader itself produces is bounded.
std::optional<Converted> convertReduced(const std::filesystem::path& file, const std::string& format,
                                        double quality, const ConversionOptions& options, int maxSide,
                                        MemoryBudget& budget)
{
    const std::optional<PixelSize> size = imagePixelSize(file);
    if (!size || std::max(size->width, size->height) <= maxSide)
        return std::nullopt;
    const double scale = maxSide / std::max(size->width, size->height);
    const auto side = [scale](double length) {
        return static_cast<std::uint64_t>(std::ceil(length * scale)) + 1;
    };
    // At most four channels of two bytes, held once as pixels and twice as the encoded file.
    std::uint64_t bytes = 3 * side(size->width) * side(size->height) * 4 * 2;
    if (const std::optional<ConversionCost> cost = conversionCost(file); cost && !cost->streamed)
        bytes = std::max(bytes, cost->memoryBytes);
    MemoryBudget::Share share(budget, std::min(bytes, budget.total()));
    return encoded(loadImageReduced(file, maxSide, options), format, quality);
}

// Converts one file within the budget: the worker waits until what the conversion will hold fits
// beside the conversions already running. A picture too large to hold is streamed into the encoder
// where its format allows, and refused when even that would not fit the budget.
Converted convert(const std::filesystem::path& file, const std::string& format, double quality,
                  const ConversionOptions& options, MemoryBudget& budget)
{
    const std::optional<ConversionCost> cost = conversionCost(file);
    if (!cost)
        return {std::nullopt, "could not decode image"};
    // HEIC is encoded from the whole picture at once, so a streamed one would be held after all.
    const bool wholeForEncoder = extForFormat(format) == "heic";
    if (!cost->possible || (cost->streamed && (wholeForEncoder || cost->memoryBytes > budget.total())))
        return {std::nullopt, "image too large"};
    MemoryBudget::Share share(budget, cost->memoryBytes);
    // A streamed picture is decoded while it is encoded. The full-size picture is released on
    // return, before the bytes are written.
    if (cost->streamed)
        return encoded(streamImageFullSize(file, options), format, quality, "could not decode image");
    return encoded(loadImageFullSize(file, options), format, quality);
}

}  // namespace

// The optional size and folder arguments of exportImages: "maxSide", a whole number of pixels
// from 1 up (anything else converts at full size), and "folders", one folder per path relative to
// the destination (ignored unless it is an array of strings as long as "paths"). Folders go
// through the page's path table, so a name that is not UTF-8 finds its real bytes again. With
// either argument present, the reply also says how many files were renamed ("renamed").
ImageLayout Bridge::imageLayout(const Json& args, std::size_t pathCount) const
{
    ImageLayout layout;
    layout.reportRenamed = args.contains("maxSide") || args.contains("folders");
    if (const std::optional<std::int64_t> side = args::integer(args.value("maxSide", Json()));
        side && *side > 0)
        layout.maxSide = static_cast<int>(std::min<std::int64_t>(*side, std::numeric_limits<int>::max()));
    const std::vector<std::string> folders = args::strings(args, "folders");
    if (folders.size() == pathCount) {
        for (const std::string& folder : folders)
            layout.folders.push_back(safeRelativeFolder(pagePaths_.resolve(folder).string()));
    }
    return layout;
}

void Bridge::exportImages(std::int64_t id, const Json& args)
{
    std::vector<std::string> paths = args::strings(args, "paths");
    if (paths.empty()) {
        resolve(id, false, "No images selected");
        return;
    }
    std::string format = args.at("format").get<std::string>();
    const double quality = args.at("quality").get<double>();
    const ConversionOptions options{.keepDetails = args.at("keepDetails").get<bool>(),
                                    .toSrgb = args.at("toSrgb").get<bool>()};
    ImageLayout layout = imageLayout(args, paths.size());

    auto write = [this, paths = std::move(paths), format = std::move(format), quality, options,
                  layout = std::move(layout)](const auto& folder) {
        return writeImages(paths, folder, format, quality, options, layout);
    };
    exportInto(id, args, "Choose a folder to save the images", std::move(write));
}

WriteResult Bridge::writeImages(const std::vector<std::string>& paths, const std::filesystem::path& dir,
                                const std::string& format, double quality, const ConversionOptions& options,
                                const ImageLayout& layout)
{
    WriteResult result;
    result.reportRenamed = layout.reportRenamed;
    const std::string ext = extForFormat(format);
    if (!isWritableFolder(dir)) {
        for (const std::string& path : paths)
            result.failed.push_back(Json{{"path", path}, {"reason", "folder not writable"}});
        return result;
    }

    // Decoding and encoding run on the pool, at most one full-size picture per worker and only as
    // many as the memory budget holds; names are chosen and files written here, in input order, so
    // a name taken by an earlier path of this export pushes a later one to the next suffix exactly
    // as a file already in the folder would.
    MemoryBudget budget(MemoryBudget::defaultBytes());
    OrderedPool pool;
    const std::size_t window = pool.workers() + 1;
    std::vector<Converted> converted(paths.size());
    const Json total = paths.size();
    pool.run(
        paths.size(), window,
        [&](std::size_t i) {
        const std::filesystem::path file = pagePaths_.resolve(paths[i]);
        std::optional<Converted> reduced;
        if (layout.maxSide > 0)
            reduced = convertReduced(file, format, quality, options, layout.maxSide, budget);
        converted[i] = reduced ? std::move(*reduced) : convert(file, format, quality, options, budget);
        },
        [&](std::size_t i) {
        // A cancel leaves this image unwritten; the conversions still running are dropped.
        if (stopHere(result.cancelled))
            return false;
        Converted item = std::move(converted[i]);
        converted[i] = {};
        if (item.bytes) {
            const std::filesystem::path input = pagePaths_.resolve(paths[i]);
            const std::string base = outputBase(input);
            std::optional<std::filesystem::path> written;
            if (std::optional<std::filesystem::path> folder = outputFolder(dir, layout, i))
                written = writeNewFile(*folder, base, ext, *item.bytes);
            if (written) {
                pagePaths_.remember(*written);
                result.written.push_back(written->string());
                if (written->filename() != base + "." + ext)
                    ++result.renamed;
            } else {
                item.failure = "write failed (permission or disk)";
            }
        }
        if (item.failure)
            result.failed.push_back(Json{{"path", paths[i]}, {"reason", item.failure}});
        emit(protocol::kExportProgress, Json{{"done", i + 1}, {"total", total}});
        return !io_.stopRequested();
    });
    return result;
}

}  // namespace quillon
