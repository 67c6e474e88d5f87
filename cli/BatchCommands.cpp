// `quillon-cli frames` and `quillon-cli convert`: the app's video-mode export and images-mode
// conversion for scripts. Both drive the same Bridge commands as the window (loadVideo, extract,
// export; exportImages), so planning, naming, encoding and the never-overwrite rule are the app's.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>
#include <unistd.h>
#include <vector>

#include <nlohmann/json.hpp>

#include "bridge/ImageFiles.hpp"
#include "bridge/Protocol.hpp"
#include "cli/BatchSession.hpp"
#include "cli/Commands.hpp"
#include "media/Encode.hpp"
#include "media/SamplePlan.hpp"

namespace quillon::cli {

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr char kFramesUsage[] =
    "usage: quillon-cli frames CLIP --out DIR [--step PERCENT] [--format jpg|png|tiff|heic|webp|avif]\n"
    "                          [--quality 0..1] [--pick all|I,J,K] [--json]\n"
    "Defaults: --step 5 --format png --quality 1 --pick all.\n"
    "\n"
    "Plans stills along CLIP every PERCENT of its length (default 5) and writes the picked ones\n"
    "(frame ids as the app numbers them, 0 for the first; default all) into DIR as\n"
    "NAME_pNNN.EXT, never replacing a file (NAME_pNNN-1.EXT and so on instead). Prints each\n"
    "written path, or with --json the app's reply objects, one per line.\n"
    "Exit status: 0 when every still was written, 1 when some failed or Ctrl+C stopped the run\n"
    "(the stills written until then are listed and kept), 2 for usage errors.\n";

constexpr char kConvertUsage[] =
    "usage: quillon-cli convert PATH... --out DIR [--format jpg|png|tiff|heic|webp|avif]\n"
    "                           [--quality 0..1] [--max-side PIXELS] [--keep-folders]\n"
    "                           [--keep-details] [--to-srgb] [--json]\n"
    "Defaults: --format png --quality 1, full size, one folder.\n"
    "\n"
    "Converts image files, and the images found in folders (recursively, hidden entries left\n"
    "out, in natural order), into DIR under their own names with the new extension, upright and\n"
    "without the source's metadata, never replacing a file (NAME-1.EXT and so on instead).\n"
    "A photo keeps its colour profile when that is not sRGB; sRGB output is tagged as sRGB.\n"
    "  --keep-details  keep the capture date and time, camera, lens, exposure, ISO, artist and\n"
    "                  copyright; never the location, serial numbers or maker notes\n"
    "  --to-srgb       convert colours to sRGB rather than keep the photo's own profile\n"
    "--max-side reduces pictures whose longer side is larger to that many pixels (never\n"
    "enlarging); --keep-folders writes the images found in a folder into the same sub-folders\n"
    "of DIR, creating them. WebP at quality 1 is lossless.\n"
    "Prints each written path, or with --json the app's reply object.\n"
    "Exit status: 0 when every image was written, 1 when some failed or Ctrl+C stopped the run\n"
    "(the images written until then are listed and kept), 2 for usage errors.\n";

// Options both commands share. What is not given is left to the bridge's own defaults.
struct Options {
    std::vector<std::string> inputs;
    std::string out;
    std::optional<std::string> format;
    std::optional<double> quality;
    bool json = false;
    std::optional<double> step;
    std::string pick = "all";
    // convert only
    int maxSide = 0;  // 0: full size
    bool keepFolders = false;
    bool keepDetails = false;
    bool toSrgb = false;

    // The export's arguments: these and the format and quality when given.
    nlohmann::json exportArgs(nlohmann::json args) const
    {
        if (format)
            args["format"] = *format;
        if (quality)
            args["quality"] = *quality;
        return args;
    }
};

// The options of convert alone, one line each: the flag, whether it takes a value, and how it
// sets the options (an error message for a value it refuses, else nothing).
struct ConvertOption {
    std::string_view flag;
    bool takesValue;
    std::optional<std::string> (*apply)(Options& options, const char* value);
};

constexpr ConvertOption kConvertOptions[] = {
    {"--max-side", true,
     [](Options& o, const char* v) -> std::optional<std::string> {
         char* end = nullptr;
         const long side = std::strtol(v, &end, 10);
         if (end == v || *end != '\0' || side < 1 || side > 1000000)
             return std::string("max-side must be a whole number of pixels from 1: ") + v;
         o.maxSide = static_cast<int>(side);
         return std::nullopt;
     }},
    {"--keep-folders", false,
     [](Options& o, const char*) -> std::optional<std::string> {
         o.keepFolders = true;
         return std::nullopt;
     }},
    {"--keep-details", false,
     [](Options& o, const char*) -> std::optional<std::string> {
         o.keepDetails = true;
         return std::nullopt;
     }},
    {"--to-srgb", false,
     [](Options& o, const char*) -> std::optional<std::string> {
         o.toSrgb = true;
         return std::nullopt;
     }},
};

int usageError(const char* usage, const std::string& problem)
{
    std::fprintf(stderr, "quillon-cli: %s\n%s", problem.c_str(), usage);
    return 2;
}

std::optional<double> parseNumber(const char* text)
{
    char* end = nullptr;
    double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(value))
        return std::nullopt;
    return value;
}

const ConvertOption* convertOption(std::string_view flag)
{
    for (const ConvertOption& option : kConvertOptions) {
        if (option.flag == flag)
            return &option;
    }
    return nullptr;
}

// Parses the arguments; returns an exit status when the command should stop (help or error).
std::optional<int> parseOptions(int argc, char** argv, bool frames, Options& options)
{
    const char* usage = frames ? kFramesUsage : kConvertUsage;
    for (int i = 0; i < argc; ++i) {
        std::string_view arg = argv[i];
        auto value = [&](const char* name) -> const char* {
            if (i + 1 >= argc) {
                usageError(usage, std::string(name) + " needs a value");
                return nullptr;
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            return 0;
        } else if (arg == "--json") {
            options.json = true;
        } else if (arg == "--out") {
            const char* v = value("--out");
            if (!v)
                return 2;
            options.out = v;
        } else if (arg == "--format") {
            const char* v = value("--format");
            if (!v)
                return 2;
            if (!isKnownFormat(v))
                return usageError(usage, std::string("unknown format: ") + v);
            options.format = v;
        } else if (arg == "--quality") {
            const char* v = value("--quality");
            if (!v)
                return 2;
            auto q = parseNumber(v);
            if (!q || *q < 0 || *q > 1)
                return usageError(usage, std::string("quality must be a number from 0 to 1: ") + v);
            options.quality = *q;
        } else if (frames && arg == "--step") {
            const char* v = value("--step");
            if (!v)
                return 2;
            auto step = parseNumber(v);
            if (!step || *step <= 0 || *step > 100)
                return usageError(usage, std::string("step must be a percentage above 0: ") + v);
            options.step = *step;
        } else if (frames && arg == "--pick") {
            const char* v = value("--pick");
            if (!v)
                return 2;
            options.pick = v;
        } else if (const ConvertOption* option = frames ? nullptr : convertOption(arg)) {
            const char* v = option->takesValue ? value(std::string(option->flag).c_str()) : "";
            if (!v)
                return 2;
            if (std::optional<std::string> problem = option->apply(options, v))
                return usageError(usage, *problem);
        } else if (arg.size() > 1 && arg[0] == '-' && arg != "--") {
            return usageError(usage, "unknown option: " + std::string(arg));
        } else {
            if (arg == "--") {
                for (++i; i < argc; ++i)
                    options.inputs.emplace_back(argv[i]);
                break;
            }
            options.inputs.emplace_back(arg);
        }
    }
    if (options.out.empty())
        return usageError(usage, "--out DIR is required");
    if (options.inputs.empty())
        return usageError(usage, frames ? "a clip is required" : "at least one file or folder is required");
    if (frames && options.inputs.size() > 1)
        return usageError(usage, "frames takes one clip");
    return std::nullopt;
}

// Progress on standard error: one line redrawn in place on a terminal, plain lines otherwise.
class Progress {
public:
    Progress() : terminal_(::isatty(STDERR_FILENO) == 1) {}
    ~Progress() { finish(); }

    void update(const char* label, long done, long total)
    {
        if (total <= 0)
            return;
        if (!terminal_) {
            std::fprintf(stderr, "%s %ld/%ld\n", label, done, total);
            return;
        }
        constexpr int kWidth = 30;
        int filled = static_cast<int>(kWidth * done / total);
        std::string bar(static_cast<std::size_t>(filled), '#');
        bar.append(static_cast<std::size_t>(kWidth - filled), '.');
        std::fprintf(stderr, "\r%-10s [%s] %ld/%ld\033[K", label, bar.c_str(), done, total);
        std::fflush(stderr);
        open_ = true;
    }

    void finish()
    {
        if (open_) {
            std::fputc('\n', stderr);
            open_ = false;
        }
    }

private:
    bool terminal_;
    bool open_ = false;
};

void printJsonLine(const json& value)
{
    std::string text = value.dump(-1, ' ', false, json::error_handler_t::replace);
    std::fprintf(stdout, "%s\n", text.c_str());
}

// The frame ids of --pick: "all" for every sample, or a comma-separated list of ids.
std::optional<std::vector<std::int64_t>> pickedIds(const std::string& pick, std::size_t count)
{
    std::vector<std::int64_t> ids;
    if (pick == "all") {
        for (std::size_t i = 0; i < count; ++i)
            ids.push_back(static_cast<std::int64_t>(i));
        return ids;
    }
    std::size_t start = 0;
    while (start <= pick.size()) {
        std::size_t end = pick.find(',', start);
        std::string item = pick.substr(start, end == std::string::npos ? std::string::npos : end - start);
        char* stop = nullptr;
        long long id = std::strtoll(item.c_str(), &stop, 10);
        if (item.empty() || *stop != '\0' || id < 0 || static_cast<std::size_t>(id) >= count)
            return std::nullopt;
        ids.push_back(id);
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return ids;
}

// Makes the destination folder when it is missing; the app's export then checks it as usual.
bool prepareOutput(const std::string& out)
{
    std::error_code error;
    fs::create_directories(out, error);
    if (error) {
        std::fprintf(stderr, "quillon-cli: cannot create %s: %s\n", out.c_str(), error.message().c_str());
        return false;
    }
    return true;
}

// Prints what an export reply says and returns the exit status.
int reportExport(const Reply& reply, bool asJson, const char* failedKey)
{
    if (!reply.ok) {
        std::fprintf(stderr, "quillon-cli: %s\n",
                     reply.payload.is_string() ? reply.payload.get<std::string>().c_str() : "export failed");
        return 1;
    }
    if (asJson)
        printJsonLine(reply.payload);
    const json& written = reply.payload["written"];
    const json& failed = reply.payload["failed"];
    if (!asJson) {
        for (const json& path : written)
            std::printf("%s\n", path.get<std::string>().c_str());
    }
    for (const json& record : failed) {
        std::string what = record[failedKey].is_string() ? record[failedKey].get<std::string>()
                                                         : record[failedKey].dump();
        std::fprintf(stderr, "quillon-cli: %s%s: %s\n", std::strcmp(failedKey, "id") == 0 ? "frame " : "",
                     what.c_str(), record.value("reason", std::string("failed")).c_str());
    }
    std::fflush(stdout);
    // Interrupted: the files listed above were written in full and stay; nothing else was.
    if (reply.payload.value("cancelled", false)) {
        std::fprintf(stderr, "quillon-cli: interrupted after writing %zu file%s\n", written.size(),
                     written.size() == 1 ? "" : "s");
        return 1;
    }
    return failed.empty() ? 0 : 1;
}

}  // namespace

int runFrames(int argc, char** argv)
{
    Options options;
    if (auto status = parseOptions(argc, argv, /*frames=*/true, options))
        return *status;
    if (!prepareOutput(options.out))
        return 1;

    Progress progress;
    BatchSession session([&progress](const std::string& name, const json& payload) {
        if (name == protocol::kExtractProgress)
            progress.update("planning", payload.value("done", 0L), payload.value("total", 0L));
        else if (name == protocol::kExportProgress)
            progress.update("writing", payload.value("done", 0L), payload.value("total", 0L));
    });

    std::error_code error;
    fs::path clip = fs::absolute(options.inputs.front(), error);
    Reply opened = session.request("loadVideo", {{"path", clip.string()}});
    if (!opened.ok) {
        std::fprintf(stderr, "quillon-cli: %s: %s\n", options.inputs.front().c_str(),
                     opened.payload.is_string() ? opened.payload.get<std::string>().c_str() : "cannot open");
        return 1;
    }
    if (options.json)
        printJsonLine(opened.payload);

    // Export finds a frame by the records of the last extraction, or in the default plan when there is
    // none; so a step that is asked for is extracted first, exactly as the page does before an export.
    const json& source = opened.payload;
    std::size_t count = sampleTimes(source.at("durationSec").get<double>(), kDefaultStepPercent,
                                    source.at("fps").get<double>())
                            .size();
    if (options.step) {
        Reply extracted = session.request("extract", {{"stepPercent", *options.step}});
        progress.finish();
        if (!extracted.ok) {
            std::fprintf(stderr, "quillon-cli: %s\n", extracted.payload.dump().c_str());
            return 1;
        }
        if (options.json)
            printJsonLine(extracted.payload);
        if (extracted.payload.value("cancelled", false)) {
            std::fputs("quillon-cli: interrupted before writing any file\n", stderr);
            return 1;
        }
        count = extracted.payload.value("count", count);
    }

    auto ids = pickedIds(options.pick, count);
    if (!ids) {
        return usageError(kFramesUsage, "--pick takes \"all\" or frame ids from 0 to " +
                                            std::to_string(count - 1) + " separated by commas");
    }
    fs::path out = fs::absolute(options.out, error);
    Reply exported = session.request("export", options.exportArgs({{"ids", *ids}, {"dest", out.string()}}));
    progress.finish();
    return reportExport(exported, options.json, "id");
}

int runConvert(int argc, char** argv)
{
    Options options;
    if (auto status = parseOptions(argc, argv, /*frames=*/false, options))
        return *status;

    int status = 0;
    std::vector<fs::path> inputs;
    for (const std::string& input : options.inputs) {
        std::error_code error;
        if (!fs::exists(input, error)) {
            std::fprintf(stderr, "quillon-cli: %s: no such file or folder\n", input.c_str());
            status = 1;
            continue;
        }
        inputs.push_back(fs::absolute(input, error));
    }
    const std::vector<FoundImage> files = collectImageFilesWithFolders(inputs);
    if (files.empty()) {
        std::fputs("quillon-cli: no images found\n", stderr);
        return 1;
    }
    if (!prepareOutput(options.out))
        return 1;

    Progress progress;
    BatchSession session([&progress](const std::string& name, const json& payload) {
        if (name == protocol::kExportProgress)
            progress.update("converting", payload.value("done", 0L), payload.value("total", 0L));
    });
    json paths = json::array();
    json folders = json::array();
    for (const FoundImage& file : files) {
        paths.push_back(file.path.string());
        folders.push_back(file.folder.string());
    }
    std::error_code error;
    fs::path out = fs::absolute(options.out, error);
    json request = options.exportArgs({{"paths", paths}, {"dest", out.string()}});
    request["maxSide"] = options.maxSide;  // 0: full size; present, so the reply counts renamed files
    if (options.keepFolders)
        request["folders"] = folders;
    // Sent only when asked for, so the request is the page's own when they are not.
    if (options.keepDetails)
        request["keepDetails"] = true;
    if (options.toSrgb)
        request["toSrgb"] = true;
    Reply converted = session.request("exportImages", request);
    progress.finish();
    const std::int64_t renamed = converted.ok ? converted.payload.value("renamed", std::int64_t{0}) : 0;
    if (renamed > 0 && !options.json)
        std::fprintf(stderr, "quillon-cli: %lld %s renamed so as not to replace existing files\n",
                     static_cast<long long>(renamed), renamed == 1 ? "file was" : "files were");
    int exportStatus = reportExport(converted, options.json, "path");
    return exportStatus != 0 ? exportStatus : status;
}

}  // namespace quillon::cli
