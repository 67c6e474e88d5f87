// The remembered settings: the key file store and the getSettings/saveSettings commands.

#include <unistd.h>

#include <fstream>
#include <tuple>

#include <gtest/gtest.h>

#include "bridge/SettingsStore.hpp"
#include "tests/bridge/BridgeFixtures.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;

void writeText(const fs::path& file, const std::string& text)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file, std::ios::binary) << text;
}

// Every field, so that whole settings compare at once.
auto fields(const Settings& s)
{
    return std::tuple(s.video.format, s.video.quality, s.video.dest, s.images.format, s.images.quality,
                      s.images.dest, s.spacing.unit, s.spacing.value, s.window.width, s.window.height,
                      s.window.maximized);
}

TEST(SettingsStore, MissingEmptyOrNonKeyFilesGiveTheDefaults)
{
    const fs::path dir = test::freshDir("settings-missing");
    const auto defaults = fields(Settings{});
    EXPECT_EQ(fields(loadSettings(dir / "absent" / "settings.ini")), defaults);
    for (const std::string& junk : {std::string(), std::string("\x89PNG\r\n\x1a\n\0\0\xff", 11),
                                    std::string("format=png\n"), std::string("[video\nformat=png\n")}) {
        writeText(dir / "settings.ini", junk);
        EXPECT_EQ(fields(loadSettings(dir / "settings.ini")), defaults) << junk;
    }
    fs::create_directories(dir / "a-folder.ini");
    EXPECT_EQ(fields(loadSettings(dir / "a-folder.ini")), defaults);
}

// A width without a usable height is no size: both stay at their defaults.
TEST(SettingsStore, DamagedValuesFallBackOneByOneAndTheRestIsKept)
{
    const fs::path file = test::freshDir("settings-damaged") / "settings.ini";
    writeText(file, "[video]\nformat=PNG!\nquality=1.5\ndestination=/not/a/uri\n"
                    "[images]\nformat=tiff\nquality=nan\ndestination=file:///photos/out\n"
                    "[spacing]\nunit=seconds\nvalue=-2\n"
                    "[window]\nwidth=1200\nheight=huge\nmaximized=perhaps\n");
    Settings expected;
    expected.images.format = "tiff";
    expected.images.dest = "/photos/out";
    EXPECT_EQ(fields(loadSettings(file)), fields(expected));
}

TEST(SettingsStore, RoundTripKeepsEachModeApartAndOddFolderNames)
{
    const fs::path file = test::freshDir("settings-round-trip") / "config" / "quillon" / "settings.ini";
    Settings s;
    s.video = {"png", 1, "/home/u/Stills"};
    s.images = {"heic", 0.42, fs::path("/home/u/caf\xE9 \xFF/out")};  // not UTF-8
    s.spacing = {Spacing::Unit::Seconds, 2.5};
    s.window = {1300, 811, true};
    ASSERT_TRUE(saveSettings(file, s));
    EXPECT_EQ(fs::status(file).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);

    // The text itself, as another reader of the file sees it.
    const std::string text = test::contents(file);
    for (const char* line :
         {"[video]\nformat=png\n", "[images]\nformat=heic\n", "destination=file:///home/u/Stills\n",
          "destination=file:///home/u/caf%E9%20%FF/out\n", "quality=0.42\n", "unit=seconds\n", "value=2.5\n",
          "width=1300\n", "height=811\n", "maximized=true\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
    EXPECT_EQ(fields(loadSettings(file)), fields(s));
}

TEST(SettingsStore, AFailedWriteIsReportedAndLeavesNoTemporaryFiles)
{
    const fs::path dir = test::freshDir("settings-failed-write");
    Settings s;
    // A folder where the file should be: the new contents cannot be published under that name.
    writeText(dir / "settings.ini" / "kept.txt", "x");
    EXPECT_FALSE(saveSettings(dir / "settings.ini", s));
    EXPECT_EQ(test::contents(dir / "settings.ini" / "kept.txt"), "x");
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
    if (geteuid() == 0)
        return;  // root writes into read-only folders
    ASSERT_TRUE(saveSettings(dir / "ro" / "settings.ini", s));
    const std::string before = test::contents(dir / "ro" / "settings.ini");
    fs::permissions(dir / "ro", fs::perms::owner_read | fs::perms::owner_exec);
    s.video.format = "tiff";
    EXPECT_FALSE(saveSettings(dir / "ro" / "settings.ini", s));
    fs::permissions(dir / "ro", fs::perms::owner_all);
    EXPECT_EQ(test::contents(dir / "ro" / "settings.ini"), before);
    EXPECT_EQ(std::distance(fs::directory_iterator(dir / "ro"), fs::directory_iterator()), 1);
}

struct SettingsRig : test::Rig {
    fs::path dir = test::freshDir("settings-bridge");
    fs::path file = dir / "quillon" / "settings.ini";
    SettingsRig() { bridge.setSettingsFile(file); }
};

TEST(SettingsCommands, EachModeKeepsItsOwnOutputAndTheWindowSizeStays)
{
    SettingsRig rig;
    Settings stored;
    stored.window = {1111, 777, false};
    ASSERT_TRUE(saveSettings(rig.file, stored));
    fs::create_directories(rig.dir / "stills");

    Json reply = rig.send("saveSettings",
                          {{"video", {{"format", "png"}, {"dest", (rig.dir / "stills").string()}}},
                           {"spacing", {{"unit", "seconds"}, {"value", 3}}}});
    ASSERT_EQ(reply["ok"], true) << reply;
    reply = rig.send("saveSettings", {{"images", {{"format", "tiff"}, {"quality", 0.5}}}});
    ASSERT_EQ(reply["ok"], true) << reply;

    const Json page = rig.send("getSettings")["payload"];
    EXPECT_EQ(page["video"],
              (Json{{"format", "png"}, {"quality", 0.9}, {"dest", (rig.dir / "stills").string()}}));
    EXPECT_EQ(page["images"], (Json{{"format", "tiff"}, {"quality", 0.5}, {"dest", ""}}));
    EXPECT_EQ(page["spacing"], (Json{{"unit", "seconds"}, {"value", 3}}));
    EXPECT_EQ(reply["payload"], page) << "saveSettings answers with what is now stored";
    const Settings after = loadSettings(rig.file);
    EXPECT_EQ(after.window.width, 1111);
    EXPECT_EQ(after.window.height, 777);
}

TEST(SettingsCommands, UnusableValuesAreIgnoredAndAGoneFolderIsAskedFor)
{
    SettingsRig rig;
    fs::create_directories(rig.dir / "out");
    ASSERT_EQ(rig.send("saveSettings",
                       {{"images", {{"format", "heic"}, {"dest", (rig.dir / "out").string()}}}})["ok"],
              true);
    const Json bad = rig.send("saveSettings",
                              {{"images", {{"format", "../x"}, {"quality", 0}, {"dest", "relative/folder"}}},
                               {"video", "png"},
                               {"spacing", {{"unit", "frames"}, {"value", 2}}},
                               {"window", {{"width", 100}, {"height", 100}}}});
    ASSERT_EQ(bad["ok"], true);
    EXPECT_EQ(bad["payload"]["images"],
              (Json{{"format", "heic"}, {"quality", 0.9}, {"dest", (rig.dir / "out").string()}}));
    EXPECT_EQ(bad["payload"]["video"]["format"], "jpeg");
    EXPECT_EQ(bad["payload"]["spacing"], (Json{{"unit", "percent"}, {"value", 5}}));
    EXPECT_EQ(loadSettings(rig.file).window.width, 1040);

    fs::remove(rig.dir / "out");
    EXPECT_EQ(rig.send("getSettings")["payload"]["images"]["dest"], "");
    // An empty destination means "ask each time" again.
    fs::create_directories(rig.dir / "out");
    ASSERT_EQ(rig.send("saveSettings", {{"images", {{"dest", ""}}}})["ok"], true);
    EXPECT_EQ(rig.send("getSettings")["payload"]["images"]["dest"], "");
}

TEST(SettingsCommands, AnUnwritableFolderIsAFailureNotASuccess)
{
    SettingsRig rig;
    writeText(rig.dir / "blocked", "a file where the folder should be");
    rig.bridge.setSettingsFile(rig.dir / "blocked" / "settings.ini");
    const Json reply = rig.send("saveSettings", {{"video", {{"format", "png"}}}});
    EXPECT_EQ(reply["ok"], false);
    EXPECT_EQ(reply["payload"], "Could not save the settings.");
    EXPECT_EQ(rig.send("getSettings")["payload"]["video"]["format"], "jpeg");
}

}  // namespace
}  // namespace quillon
