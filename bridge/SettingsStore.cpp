#include "bridge/SettingsStore.hpp"

#include <memory>
#include <optional>
#include <system_error>
#include <type_traits>

#include <glib.h>

#include "media/GFreePtr.hpp"

namespace quillon {

namespace {

struct KeyFileDeleter {
    void operator()(GKeyFile* file) const { g_key_file_free(file); }
};
using KeyFilePtr = std::unique_ptr<GKeyFile, KeyFileDeleter>;

constexpr const char* kVideoGroup = "video";
constexpr const char* kImagesGroup = "images";
constexpr const char* kSpacingGroup = "spacing";
constexpr const char* kWindowGroup = "window";

// A key's value as one of GKeyFile's getters reads it; nothing when the key is missing or its text
// does not parse as the getter's type.
template <typename T, typename Value>
std::optional<T> read(GKeyFile* file, const char* group, const char* key,
                      Value (*get)(GKeyFile*, const gchar*, const gchar*, GError**))
{
    GError* error = nullptr;
    Value value = get(file, group, key, &error);
    if constexpr (std::is_pointer_v<Value>) {
        const GFreePtr<char> owned(value);
        if (!error)
            return T(owned.get());
    } else if (!error) {
        return T(value);
    }
    g_error_free(error);
    return std::nullopt;
}

// Folders are kept as file URIs: a key file holds UTF-8 text, and a folder's name need not be.
std::string folderToText(const std::filesystem::path& folder)
{
    if (folder.empty() || !folder.is_absolute())
        return "";
    const GFreePtr<char> uri(g_filename_to_uri(folder.c_str(), nullptr, nullptr));
    return uri ? uri.get() : "";
}

std::filesystem::path folderFromText(const std::string& text)
{
    if (text.empty())
        return {};
    const GFreePtr<char> path(g_filename_from_uri(text.c_str(), nullptr, nullptr));
    return path ? std::filesystem::path(path.get()) : std::filesystem::path();
}

OutputChoice readOutput(GKeyFile* file, const char* group)
{
    OutputChoice choice;
    if (auto format = read<std::string>(file, group, "format", g_key_file_get_string);
        format && isFormatName(*format))
        choice.format = *format;
    // A quality that is not a number (nan, inf) fails the range check as well.
    if (auto quality = read<double>(file, group, "quality", g_key_file_get_double);
        quality && *quality > 0 && *quality <= 1)
        choice.quality = *quality;
    if (auto dest = read<std::string>(file, group, "destination", g_key_file_get_string))
        choice.dest = folderFromText(*dest);
    return choice;
}

// Twelve significant digits: 0.9 is written "0.9", not "0.90000000000000002", and every value the
// page offers reads back the same.
void writeNumber(GKeyFile* file, const char* group, const char* key, double value)
{
    char text[G_ASCII_DTOSTR_BUF_SIZE];
    g_key_file_set_value(file, group, key, g_ascii_formatd(text, sizeof text, "%.12g", value));
}

void writeOutput(GKeyFile* file, const char* group, const OutputChoice& choice)
{
    g_key_file_set_string(file, group, "format", choice.format.c_str());
    writeNumber(file, group, "quality", choice.quality);
    g_key_file_set_string(file, group, "destination", folderToText(choice.dest).c_str());
}

}  // namespace

bool isFormatName(const std::string& text)
{
    if (text.empty() || text.size() > kMaxFormatNameLength)
        return false;
    for (char c : text) {
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
            return false;
    }
    return true;
}

std::optional<Spacing> spacingOf(const std::string& unit, double value)
{
    if (unit == "percent" && value > 0 && value <= 100)
        return Spacing{Spacing::Unit::Percent, value};
    if (unit == "seconds" && value > 0 && value <= kMaxSpacingSeconds)
        return Spacing{Spacing::Unit::Seconds, value};
    return std::nullopt;
}

const char* unitName(Spacing::Unit unit) { return unit == Spacing::Unit::Seconds ? "seconds" : "percent"; }

std::filesystem::path userSettingsFile()
{
    return std::filesystem::path(g_get_user_config_dir()) / "quillon" / "settings.ini";
}

Settings loadSettings(const std::filesystem::path& file)
{
    Settings settings;
    KeyFilePtr keys(g_key_file_new());
    if (!g_key_file_load_from_file(keys.get(), file.c_str(), G_KEY_FILE_NONE, nullptr))
        return settings;

    settings.video = readOutput(keys.get(), kVideoGroup);
    settings.images = readOutput(keys.get(), kImagesGroup);

    const auto unit = read<std::string>(keys.get(), kSpacingGroup, "unit", g_key_file_get_string);
    const auto value = read<double>(keys.get(), kSpacingGroup, "value", g_key_file_get_double);
    if (auto spacing = spacingOf(unit.value_or(""), value.value_or(0)))
        settings.spacing = *spacing;

    // Width and height go together: half of a remembered size is no size.
    const auto width = read<int>(keys.get(), kWindowGroup, "width", g_key_file_get_integer);
    const auto height = read<int>(keys.get(), kWindowGroup, "height", g_key_file_get_integer);
    auto usable = [](std::optional<int> side) { return side && *side > 0 && *side <= kMaxWindowSide; };
    if (usable(width) && usable(height)) {
        settings.window.width = *width;
        settings.window.height = *height;
    }
    if (auto maximized = read<bool>(keys.get(), kWindowGroup, "maximized", g_key_file_get_boolean))
        settings.window.maximized = *maximized;
    return settings;
}

bool saveSettings(const std::filesystem::path& file, const Settings& settings)
{
    std::error_code error;
    std::filesystem::create_directories(file.parent_path(), error);
    if (error)
        return false;

    KeyFilePtr keys(g_key_file_new());
    writeOutput(keys.get(), kVideoGroup, settings.video);
    writeOutput(keys.get(), kImagesGroup, settings.images);
    g_key_file_set_string(keys.get(), kSpacingGroup, "unit", unitName(settings.spacing.unit));
    writeNumber(keys.get(), kSpacingGroup, "value", settings.spacing.value);
    g_key_file_set_integer(keys.get(), kWindowGroup, "width", settings.window.width);
    g_key_file_set_integer(keys.get(), kWindowGroup, "height", settings.window.height);
    g_key_file_set_boolean(keys.get(), kWindowGroup, "maximized", settings.window.maximized);

    gsize length = 0;
    const GFreePtr<char> text(g_key_file_to_data(keys.get(), &length, nullptr));
    if (!text)
        return false;
    // A temporary file in the same folder, flushed and then renamed over the old one.
    return g_file_set_contents_full(file.c_str(), text.get(), static_cast<gssize>(length),
                                    static_cast<GFileSetContentsFlags>(G_FILE_SET_CONTENTS_CONSISTENT |
                                                                       G_FILE_SET_CONTENTS_DURABLE),
                                    0600, nullptr) != FALSE;
}

}  // namespace quillon
