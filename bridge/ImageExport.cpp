// Images mode, writing out: exportImages and writeImages, which convert each chosen image into the
// requested format and write it into one folder under its own name, never replacing a file.
#include <string>
#include <utility>

#include "bridge/Args.hpp"
#include "bridge/Bridge.hpp"
#include "bridge/FileWrite.hpp"
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

// What a worker produced for one path: the encoded file, or the reason there is none.
struct Converted {
    std::optional<Bytes> bytes;
    const char* failure = nullptr;
};

// Converts one file within the budget: the worker waits until what the conversion will hold fits
// beside the conversions already running. A picture too large to hold is streamed into the encoder
// where its format allows, and refused when even that would not fit the budget.
Converted convert(const std::filesystem::path& file, const std::string& format, double quality,
                  const ConversionOptions& options, MemoryBudget& budget)
{
    Converted result;
    const std::optional<ConversionCost> cost = conversionCost(file);
    if (!cost) {
        result.failure = "could not decode image";
        return result;
    }
    // HEIC is encoded from the whole picture at once, so a streamed one would be held after all.
    const bool wholeForEncoder = extForFormat(format) == "heic";
    if (!cost->possible || (cost->streamed && (wholeForEncoder || cost->memoryBytes > budget.total()))) {
        result.failure = "image too large";
        return result;
    }
    MemoryBudget::Share share(budget, cost->memoryBytes);
    std::optional<Image> picture = cost->streamed ? streamImageFullSize(file, options) : loadImageFullSize(file, options);
    if (!picture) {
        result.failure = "could not decode image";
        return result;
    }
    result.bytes = encodeImage(*picture, format, quality);
    if (!result.bytes)  // a streamed picture is decoded while it is encoded
        result.failure = cost->streamed ? "could not decode image" : "could not encode image";
    return result;  // the full-size picture is released here, before the bytes are written
}

// A switch of the command: on only when the key holds true.
bool flag(const Json& args, std::string_view key)
{
    auto value = args.find(key);
    return value != args.end() && value->is_boolean() && value->get<bool>();
}

}  // namespace

void Bridge::exportImages(std::int64_t id, const Json& args)
{
    std::vector<std::string> paths = args::strings(args, "paths");
    if (paths.empty()) {
        resolve(id, false, "No images selected");
        return;
    }
    std::string format = args.at("format").get<std::string>();
    const double quality = args.at("quality").get<double>();
    const ConversionOptions options{.keepDetails = flag(args, "keepDetails"), .toSrgb = flag(args, "toSrgb")};

    auto write = [this, paths = std::move(paths), format = std::move(format), quality, options](const auto& folder) {
        return writeImages(paths, folder, format, quality, options);
    };
    exportInto(id, args, "Choose a folder to save the images", std::move(write));
}

WriteResult Bridge::writeImages(const std::vector<std::string>& paths, const std::filesystem::path& dir,
                                const std::string& format, double quality, const ConversionOptions& options)
{
    WriteResult result;
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
        [&](std::size_t i) { converted[i] = convert(pagePaths_.resolve(paths[i]), format, quality, options, budget); },
        [&](std::size_t i) {
            // A cancel leaves this image unwritten; the conversions still running are dropped.
            if (io_.cancelRequested()) {
                result.cancelled = cancelledByPage();
                return false;
            }
            Converted item = std::move(converted[i]);
            converted[i] = {};
            if (item.bytes) {
                const std::filesystem::path input = pagePaths_.resolve(paths[i]);
                if (auto written = writeNewFile(dir, outputBase(input), ext, *item.bytes))
                {
                    pagePaths_.remember(*written);
                    result.written.push_back(written->string());
                }
                else
                    item.failure = "write failed (permission or disk)";
            }
            if (item.failure)
                result.failed.push_back(Json{{"path", paths[i]}, {"reason", item.failure}});
            emit(protocol::kExportProgress, Json{{"done", i + 1}, {"total", total}});
            return !io_.stopRequested();
        });
    return result;
}

}  // namespace quillon
