// `quillon-cli frames` and `quillon-cli convert`: the app's video-mode export and images-mode
// conversion for scripts. Both drive the same Bridge commands as the window (loadVideo, extract,
// export; exportImages), so planning, naming, encoding and the never-overwrite rule are the app's.
#include <algorithm>
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

// The options of both commands. What is not given is left to the bridge's own defaults.
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

std::optional<double> parseNumber(const char* text)
{
    char* end = nullptr;
    double value = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// The options that take a value checked before it is kept: each answers an error message for a
// value it refuses, the empty string otherwise.
std::string setFormat(Options& options, const char* value)
{
    if (!isKnownFormat(value))
        return "unknown format: " + std::string(value);
    options.format = value;
    return {};
}

std::string setQuality(Options& options, const char* value)
{
    options.quality = parseNumber(value);
    if (!options.quality || *options.quality < 0 || *options.quality > 1)
        return "quality must be a number from 0 to 1: " + std::string(value);
    return {};
}

std::string setStep(Options& options, const char* value)
{
    options.step = parseNumber(value);
    if (!options.step || *options.step <= 0 || *options.step > 100)
        return "step must be a percentage above 0: " + std::string(value);
    return {};
}

std::string setMaxSide(Options& options, const char* value)
{
    char* end = nullptr;
    const long side = std::strtol(value, &end, 10);
    if (end == value || *end != '\0' || side < 1 || side > 1000000)
        return "max-side must be a whole number of pixels from 1: " + std::string(value);
    options.maxSide = static_cast<int>(side);
    return {};
}

// One option: its flag, the command it belongs to, and what it does: a switch sets its field, a
// text option stores its value as given, and any other option takes its value through `apply`.
enum class For { Both, Frames, Convert };
struct Option {
    std::string_view flag;
    For command;
    bool Options::*sets = nullptr;
    std::string Options::*text = nullptr;
    std::string (*apply)(Options& options, const char* value) = nullptr;
};

constexpr Option kOptions[] = {
    {"--json", For::Both, &Options::json},
    {"--out", For::Both, nullptr, &Options::out},
    {"--format", For::Both, nullptr, nullptr, setFormat},
    {"--quality", For::Both, nullptr, nullptr, setQuality},
    {"--step", For::Frames, nullptr, nullptr, setStep},
    {"--pick", For::Frames, nullptr, &Options::pick},
    {"--max-side", For::Convert, nullptr, nullptr, setMaxSide},
    {"--keep-folders", For::Convert, &Options::keepFolders},
    {"--keep-details", For::Convert, &Options::keepDetails},
    {"--to-srgb", For::Convert, &Options::toSrgb},
};

int usageError(const char* usage, const std::string& problem)
{
    std::fprintf(stderr, "quillon-cli: %s\n%s", problem.c_str(), usage);
    return 2;
}

// Parses the arguments; returns an exit status when the command should stop (help or error).
std::optional<int> parseOptions(int argc, char** argv, bool frames, Options& options)
{
    const char* usage = frames ? kFramesUsage : kConvertUsage;
    const For command = frames ? For::Frames : For::Convert;
    for (int i = 0; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::fputs(usage, stdout);
            return 0;
        }
        if (arg == "--") {
            options.inputs.insert(options.inputs.end(), argv + i + 1, argv + argc);
            break;
        }
        const auto option = std::ranges::find_if(kOptions, [&](const Option& o) {
            return o.flag == arg && (o.command == For::Both || o.command == command);
        });
        if (option == std::end(kOptions)) {
            if (arg.size() > 1 && arg[0] == '-')
                return usageError(usage, "unknown option: " + std::string(arg));
            options.inputs.emplace_back(arg);
        } else if (option->sets) {
            options.*option->sets = true;
        } else if (i + 1 >= argc) {
            return usageError(usage, std::string(arg) + " needs a value");
        } else if (option->text) {
            options.*option->text = argv[++i];
        } else if (std::string problem = option->apply(options, argv[++i]); !problem.empty()) {
            return usageError(usage, problem);
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

// A path made absolute against the working folder; empty when that fails.
std::string absolute(const std::string& path)
{
    std::error_code error;
    return fs::absolute(path, error).string();
}

// The message of a failed reply, or the fallback when it carries none.
std::string failure(const Reply& reply, const char* fallback)
{
    return reply.payload.is_string() ? reply.payload.get<std::string>() : fallback;
}

// Moves the progress bar on the bridge's progress events, under "planning" while stills are planned
// and exportLabel while files are written.
BatchSession::EventHandler showProgress(Progress& progress, const char* exportLabel)
{
    return [&progress, exportLabel](const std::string& name, const json& payload) {
        const char* label = name == protocol::kExtractProgress  ? "planning"
                            : name == protocol::kExportProgress ? exportLabel
                                                                : nullptr;
        if (label)
            progress.update(label, payload.value("done", 0L), payload.value("total", 0L));
    };
}

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
        std::fprintf(stderr, "quillon-cli: %s\n", failure(reply, "export failed").c_str());
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
    BatchSession session(showProgress(progress, "writing"));
    Reply opened = session.request("loadVideo", {{"path", absolute(options.inputs.front())}});
    if (!opened.ok) {
        std::fprintf(stderr, "quillon-cli: %s: %s\n", options.inputs.front().c_str(),
                     failure(opened, "cannot open").c_str());
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
    Reply exported = session.request("export",
                                     options.exportArgs({{"ids", *ids}, {"dest", absolute(options.out)}}));
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
        inputs.emplace_back(absolute(input));
    }
    const std::vector<FoundImage> files = collectImageFilesWithFolders(inputs);
    if (files.empty()) {
        std::fputs("quillon-cli: no images found\n", stderr);
        return 1;
    }
    if (!prepareOutput(options.out))
        return 1;

    Progress progress;
    BatchSession session(showProgress(progress, "converting"));
    json paths = json::array();
    json folders = json::array();
    for (const FoundImage& file : files) {
        paths.push_back(file.path.string());
        folders.push_back(file.folder.string());
    }
    json request = options.exportArgs({{"paths", paths}, {"dest", absolute(options.out)}});
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
