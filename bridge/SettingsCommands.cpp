// The commands that hand the page the remembered settings and keep its changes: getSettings and
// saveSettings. Both run on the main thread; the file is small and written at once.
#include <system_error>

#include "bridge/Args.hpp"
#include "bridge/Bridge.hpp"

namespace quillon {

namespace {

constexpr char kCouldNotSave[] = "Could not save the settings.";

// A remembered folder that is gone (an unplugged disk, a deleted folder) is offered as "ask each
// time" rather than as a destination every export would fail to write to.
bool isFolder(const std::filesystem::path& path)
{
    std::error_code error;
    return !path.empty() && std::filesystem::is_directory(path, error);
}

}  // namespace

Json Bridge::settingsForPage(const Settings& settings)
{
    auto output = [this](const OutputChoice& choice) {
        return Json{{"format", choice.format},
                    {"quality", choice.quality},
                    {"dest", isFolder(choice.dest) ? pagePaths_.remember(choice.dest) : ""}};
    };
    return Json{{"video", output(settings.video)},
                {"images", output(settings.images)},
                {"spacing", {{"unit", unitName(settings.spacing.unit)}, {"value", settings.spacing.value}}}};
}

void Bridge::mergeOutput(OutputChoice& choice, const Json& args)
{
    if (!args.is_object())
        return;
    if (std::string format = args::string(args, "format", ""); isFormatName(format))
        choice.format = format;
    if (double quality = args::number(args, "quality", 0); quality > 0 && quality <= 1)
        choice.quality = quality;
    if (auto dest = args.find("dest"); dest != args.end() && dest->is_string()) {
        const std::string& text = dest->get_ref<const std::string&>();
        std::filesystem::path folder = text.empty() ? std::filesystem::path() : pagePaths_.resolve(text);
        if (folder.empty() || folder.is_absolute())
            choice.dest = folder;
    }
}

void Bridge::getSettings(std::int64_t id) { resolve(id, true, settingsForPage(loadSettings(settingsFile_))); }

void Bridge::saveSettingsCommand(std::int64_t id, const Json& args)
{
    // Read afresh and change only what was sent: the window's size and the other mode's choices,
    // written by others since, stay as they are.
    Settings settings = loadSettings(settingsFile_);
    if (auto video = args.find("video"); video != args.end())
        mergeOutput(settings.video, *video);
    if (auto images = args.find("images"); images != args.end())
        mergeOutput(settings.images, *images);
    if (auto spacing = args.find("spacing"); spacing != args.end() && spacing->is_object()) {
        if (auto chosen = spacingOf(args::string(*spacing, "unit", ""), args::number(*spacing, "value", 0)))
            settings.spacing = *chosen;
    }
    if (!saveSettings(settingsFile_, settings)) {
        resolve(id, false, kCouldNotSave);
        return;
    }
    resolve(id, true, settingsForPage(settings));
}

}  // namespace quillon
