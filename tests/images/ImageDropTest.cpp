#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/images/ImagesRig.hpp"
#include "tests/support/ClipFixtures.hpp"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace quillon::test;

namespace {

const std::string kDrop = "window.__onDrop";

// A folder with photo.jpg, a.png, b.png, a short clip.MOV and other.mp4, anim.gif and a text file
// named bad.mp4, in a folder of the test's own (tests may run in parallel processes).
fs::path dropFolder(const std::string& name)
{
    const fs::path dir = [&name] {
        fs::path d = freshDir(name);
        writePicture(d / "photo.jpg", 16, 12);
        writePicture(d / "a.png", 16, 12);
        writePicture(d / "b.png", 16, 12);
        ClipOptions options;
        options.frames = 5;
        options.width = 64;
        options.height = 48;
        EXPECT_TRUE(makeIndexClip(d / "clip.MOV", options));
        EXPECT_TRUE(makeIndexClip(d / "other.mp4", options));
        EXPECT_TRUE(makeColourGif(d / "anim.gif", {"red", "blue"}, {10, 10}));
        std::ofstream(d / "bad.mp4") << "not a video";
        return d;
    }();
    return dir;
}

}  // namespace

TEST(ImageDrop, VideoModeOpensTheFirstVideoOnly)
{
    fs::path dir = dropFolder("drop-video");
    ImagesRig rig;
    rig.drop({dir / "photo.jpg", dir / "clip.MOV", dir / "other.mp4"});
    EXPECT_EQ(rig.sequence(), (std::vector<std::string>{kDrop}));
    json description = rig.host.payloadsOf(kDrop).at(0);
    EXPECT_EQ(description["name"], "clip.MOV");
    EXPECT_EQ(description["width"], 64);
    EXPECT_EQ(description["isGif"], false);

    // A file with a video extension that is no video: the event carries null.
    rig.host.clear();
    rig.drop({dir / "bad.mp4", dir / "clip.MOV"});
    EXPECT_EQ(rig.sequence(), (std::vector<std::string>{kDrop}));
    EXPECT_TRUE(rig.host.payloadsOf(kDrop).at(0).is_null());
}

TEST(ImageDrop, ImagesAreStreamedWithoutAReply)
{
    fs::path dir = dropFolder("drop-images");
    ImagesRig rig;
    // Video mode (the start), images only: streamed as images.
    rig.drop({dir / "b.png", dir / "a.png"});
    EXPECT_EQ(rig.sequence(), (std::vector<std::string>{kBegin, kChunk}));
    json items = rig.host.payloadsOf(kChunk).at(0)["items"];
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0]["name"], "a.png");

    // Images mode: a clip and a GIF are streamed too, and nothing matches.
    rig.host.clear();
    std::int64_t mode = rig.send("setMode", {{"mode", "images"}});
    rig.drop({dir / "clip.MOV", dir / "anim.gif"});
    EXPECT_EQ(rig.sequence(), (std::vector<std::string>{kResolve, kBegin}));
    EXPECT_EQ(rig.reply(mode)->at("ok"), true);
    EXPECT_EQ(rig.host.payloadsOf(kBegin).at(0), (json{{"total", 0}}));

    // The mode is compared exactly: "Images" is video mode.
    rig.host.clear();
    rig.send("setMode", {{"mode", "Images"}});
    rig.drop({dir / "anim.gif"});
    EXPECT_EQ(rig.sequence(), (std::vector<std::string>{kResolve, kDrop}));
    EXPECT_EQ(rig.host.payloadsOf(kDrop).at(0)["isGif"], true);
}

TEST(ImageDrop, ThroughTheCommandLineBridge)
{
    if (!fs::exists(cliPath()))
        GTEST_FAIL() << "quillon-cli is not built: " << cliPath();
    fs::path dir = dropFolder("drop-cli-files");
    fs::path input = freshDir("drop-cli") / "lines.jsonl";
    std::ofstream(input) << json{{"drop", {(dir / "a.png").string(), (dir / "clip.MOV").string()}}}.dump() << "\n"
                         << json{{"drop", {(dir / "b.png").string()}}}.dump() << "\n";
    std::string out = capture(shellQuote(cliPath().string()) + " bridge < " + shellQuote(input.string()));
    std::vector<std::string> lines;
    std::istringstream stream(out);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line.substr(0, line.find('(')));
    EXPECT_EQ(lines, (std::vector<std::string>{kDrop, kBegin, kChunk})) << out;
}
