#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/images/ImagesRig.hpp"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace quillon::test;

namespace {

std::vector<std::string> fileNames(const json& written)
{
    std::vector<std::string> names;
    for (const json& path : written)
        names.push_back(fs::path(path.get<std::string>()).filename().string());
    return names;
}

std::vector<std::string> folderContents(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

TEST(ImageExport, WritesEachImageWithProgressAndSuffixesOnRepeat)
{
    fs::path in = freshDir("export-in");
    fs::path out = freshDir("export-out");
    writePicture(in / "a.png", 32, 24);
    writePicture(in / "b.TIF", 24, 32);
    const json paths = {(in / "a.png").string(), (in / "b.TIF").string()};

    ImagesRig rig;
    for (const char* suffix : {"", "-1", "-2"}) {
        rig.host.clear();
        std::int64_t id = rig.send("exportImages", {{"paths", paths}, {"format", "jpeg"},
                                                    {"quality", 0.9}, {"dest", out.string()}});
        EXPECT_EQ(rig.sequence(), (std::vector<std::string>{kProgress, kProgress, kResolve}));
        EXPECT_EQ(rig.host.payloadsOf(kProgress),
                  (std::vector<json>{{{"done", 1}, {"total", 2}}, {{"done", 2}, {"total", 2}}}));
        json payload = rig.reply(id)->at("payload");
        EXPECT_EQ(fileNames(payload["written"]), (std::vector<std::string>{
                                                     std::string("a") + suffix + ".jpg",
                                                     std::string("b") + suffix + ".jpg"}));
        EXPECT_EQ(payload["failed"], json::array());
        EXPECT_EQ(payload["folder"], out.string());
    }
    vips::VImage b = vips::VImage::new_from_file((out / "b-2.jpg").c_str());
    EXPECT_EQ(b.width(), 24);
    EXPECT_EQ(b.height(), 32);
    EXPECT_EQ(folderContents(out).size(), 6u);  // no temporary file left behind
}

TEST(ImageExport, RepeatsFailuresAndNames)
{
    fs::path in = freshDir("export-names-in");
    fs::path out = freshDir("export-names-out");
    writePicture(in / "x.png", 16, 16);
    fs::copy_file(in / "x.png", in / "archive.tar.gz");
    fs::copy_file(in / "x.png", in / "photo.HEIC");  // named HEIC, holds a PNG: decoded by content
    std::ofstream(in / "notes.txt") << "text";

    ImagesRig rig;
    const std::string x = (in / "x.png").string();
    const std::string notes = (in / "notes.txt").string();
    std::int64_t id = rig.send("exportImages",
                               {{"paths", {x, notes, x, (in / "archive.tar.gz").string(),
                                           (in / "missing.png").string(), (in / "photo.HEIC").string()}},
                                {"dest", out.string()}});
    json payload = rig.reply(id)->at("payload");
    EXPECT_EQ(fileNames(payload["written"]),
              (std::vector<std::string>{"x.png", "x-1.png", "archive.tar.png", "photo.png"}));
    EXPECT_EQ(payload["failed"], (json{{{"path", notes}, {"reason", "could not decode image"}},
                                       {{"path", (in / "missing.png").string()},
                                        {"reason", "could not decode image"}}}));
    std::vector<json> progress = rig.host.payloadsOf(kProgress);
    ASSERT_EQ(progress.size(), 6u);
    for (int k = 0; k < 6; ++k)
        EXPECT_EQ(progress[k], (json{{"done", k + 1}, {"total", 6}}));
    // "format" absent is PNG, in content and not only in name.
    EXPECT_EQ(readFileBytes(out / "x-1.png").substr(1, 3), "PNG");
}

TEST(ImageExport, MissingFolderWritesNothing)
{
    fs::path in = freshDir("export-ro-in");
    writePicture(in / "x.png", 16, 16);
    const json paths = {(in / "x.png").string(), (in / "y.png").string()};
    const json expectedFailures = {{{"path", paths[0]}, {"reason", "folder not writable"}},
                                   {{"path", paths[1]}, {"reason", "folder not writable"}}};

    ImagesRig rig;
    fs::path missing = in / "no" / "such";
    std::int64_t id = rig.send("exportImages", {{"paths", paths}, {"dest", missing.string()}});
    EXPECT_EQ(rig.sequence(), (std::vector<std::string>{kResolve}));  // no progress event
    EXPECT_EQ(rig.reply(id)->at("payload"),
              (json{{"written", json::array()}, {"failed", expectedFailures}, {"folder", missing.string()}}));
    EXPECT_FALSE(fs::exists(in / "no"));

    // A file where the folder should be.
    rig.host.clear();
    id = rig.send("exportImages", {{"paths", paths}, {"dest", paths[0]}});
    EXPECT_EQ(rig.reply(id)->at("payload")["failed"], expectedFailures);

}

TEST(ImageExport, ReadOnlyFolderWritesNothing)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "running as root: permission bits do not stop writes, read-only case not run";
    fs::path in = freshDir("export-ro2-in");
    writePicture(in / "x.png", 16, 16);
    const json paths = {(in / "x.png").string(), (in / "y.png").string()};
    const json expectedFailures = {{{"path", paths[0]}, {"reason", "folder not writable"}},
                                   {{"path", paths[1]}, {"reason", "folder not writable"}}};
    fs::path readOnly = freshDir("export-ro2-out");
    fs::permissions(readOnly, fs::perms::owner_read | fs::perms::owner_exec);
    ImagesRig rig;
    std::int64_t id = rig.send("exportImages", {{"paths", paths}, {"dest", readOnly.string()}});
    fs::permissions(readOnly, fs::perms::owner_all);
    EXPECT_EQ(rig.sequence(), (std::vector<std::string>{kResolve}));
    EXPECT_EQ(rig.reply(id)->at("payload")["failed"], expectedFailures);
    EXPECT_TRUE(folderContents(readOnly).empty());
}

TEST(ImageExport, ArgumentsAndThePanel)
{
    fs::path in = freshDir("export-panel-in");
    fs::path out = freshDir("export-panel-out");
    writePicture(in / "x.png", 16, 16);
    ImagesRig rig;

    for (const json& paths : {json::array(), json{1, 2}, json{"ok", 3}}) {
        std::int64_t id = rig.send("exportImages", {{"paths", paths}, {"dest", out.string()}});
        EXPECT_EQ(rig.reply(id), (json{{"id", id}, {"ok", false}, {"payload", "No images selected"}}));
    }
    EXPECT_TRUE(rig.host.panels.empty());

    // "dest" "" opens the panel; cancelling it answers null.
    std::int64_t cancelled = rig.send("exportImages", {{"paths", {(in / "x.png").string()}}, {"dest", ""}});
    ASSERT_EQ(rig.host.panels.size(), 1u);
    const quillon::PanelRequest& panel = rig.host.panels[0];
    EXPECT_EQ(panel.kind, quillon::PanelRequest::Kind::OpenFolder);
    EXPECT_EQ(panel.title, "Choose a folder to save the images");
    EXPECT_EQ(panel.acceptLabel, "Export Here");
    EXPECT_TRUE(panel.canCreateFolders);
    EXPECT_EQ(rig.reply(cancelled), (json{{"id", cancelled}, {"ok", true}, {"payload", nullptr}}));
    EXPECT_TRUE(rig.host.payloadsOf(kProgress).empty());

    // A folder chosen in the panel; a quality of the wrong type falls back to 1.
    rig.host.panelAnswers.push_back({out.string()});
    std::int64_t chosen = rig.send("exportImages", {{"paths", {(in / "x.png").string()}},
                                                    {"format", "TIFF"}, {"quality", "high"}});
    EXPECT_EQ(fileNames(rig.reply(chosen)->at("payload")["written"]), (std::vector<std::string>{"x.tiff"}));
}

TEST(ImageExport, OrientationIsAppliedAndMetadataDropped)
{
    fs::path in = freshDir("export-orient-in");
    fs::path out = freshDir("export-orient-out");
    writeTaggedJpeg(in / "turned.jpg", 40, 30, 6);
    ImagesRig rig;
    // Decoded at its full displayed size (from the header), upright; the encoders' colour and
    // metadata handling per format is covered with the media tests.
    for (const char* format : {"jpg", "png"}) {
        SCOPED_TRACE(format);
        std::int64_t id = rig.send("exportImages", {{"paths", {(in / "turned.jpg").string()}},
                                                    {"format", format}, {"dest", out.string()}});
        json written = rig.reply(id)->at("payload")["written"];
        ASSERT_EQ(written.size(), 1u);
        const std::string file = written[0];
        vips::VImage picture = vips::VImage::new_from_file(file.c_str());
        EXPECT_EQ(picture.width(), 30);
        EXPECT_EQ(picture.height(), 40);
        // Upright: the stored top-left red quarter is now the top-right one.
        EXPECT_GT(regionMean(picture, 18, 2, 10, 16)[0], 150);
        EXPECT_LT(regionMean(picture, 2, 2, 10, 16)[0], 100);
        // No tag that would turn it again, and nothing of the camera's metadata (GPS!).
        std::string tags = capture("exiftool -s -s -s -n -Orientation -GPSLatitude -Make " + shellQuote(file));
        EXPECT_TRUE(tags.empty() || tags == "1\n") << tags;
    }
}
