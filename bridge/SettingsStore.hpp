#pragma once

#include <filesystem>
#include <optional>
#include <string>

namespace quillon {

// The user's choices that outlive a run: the output of each mode, the spacing of stills and the
// window's size. Kept in a GLib key file in the user's configuration folder.

// Output format, quality and destination folder of one mode.
struct OutputChoice {
    std::string format = "jpeg";  // a format name as the page sends it to the export commands
    double quality = 0.9;         // 0 to 1, 1 the best
    std::filesystem::path dest;   // empty: ask for a folder each time
};

// The spacing of stills: a step in percent of the clip, or every so many seconds.
struct Spacing {
    enum class Unit { Percent, Seconds };
    Unit unit = Unit::Percent;
    double value = 5;
};

struct WindowSize {
    int width = 1040;
    int height = 720;
    bool maximized = false;
};

struct Settings {
    OutputChoice video;
    OutputChoice images;
    Spacing spacing;
    WindowSize window;
};

// Limits a stored value must keep to; a value outside them is read as its default.
inline constexpr double kMaxSpacingSeconds = 24 * 3600;
inline constexpr int kMaxWindowSide = 32768;
inline constexpr std::size_t kMaxFormatNameLength = 16;

// Whether text can be a format name: 1 to kMaxFormatNameLength lower-case letters and digits.
// Which names are offered is the page's business; the store only keeps junk out.
bool isFormatName(const std::string& text);

// The spacing of a unit named "percent" or "seconds" and a value, when the value is above 0 and at
// most 100 percent or kMaxSpacingSeconds; nothing otherwise.
std::optional<Spacing> spacingOf(const std::string& unit, double value);
// The name of a spacing's unit, as spacingOf takes it.
const char* unitName(Spacing::Unit unit);

// Any thread. The settings file: g_get_user_config_dir()/quillon/settings.ini.
std::filesystem::path userSettingsFile();

// Any thread. Reads the settings from file. A missing or unreadable file, or one that is not a key
// file, gives the defaults; a damaged or out-of-range value gives that value's default and leaves
// the others as stored.
Settings loadSettings(const std::filesystem::path& file);

// Any thread. Writes the settings to file, creating its folder. The file is replaced atomically:
// a reader (or a crash midway) sees the old contents or the new, never a mixture. False when the
// folder cannot be made or the file cannot be written.
bool saveSettings(const std::filesystem::path& file, const Settings& settings);

}  // namespace quillon
