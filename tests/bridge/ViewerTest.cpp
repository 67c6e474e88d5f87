// The viewer's commands through a bridge on a fake host: large pictures, stepping a still, undoing
// a step, and export after stepping, on a clip whose frames show their own index.
#include <gtest/gtest.h>

#include <sstream>

#include "tests/bridge/BridgeFixtures.hpp"
#include "tests/support/Fixtures.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using test::Rig;

// 40 index frames at 10 fps (4 s), 160x96, a key frame every 10 frames, made once per process.
fs::path indexClip()
{
    static const fs::path clip = [] {
        fs::path file = test::freshDir("viewer-clip") / "clip.mp4";
        EXPECT_TRUE(test::makeIndexClip(
            file, {.frames = 40,
                   .rate = "10",
                   .width = 160,
                   .height = 96,
                   .codec = "-c:v libx264 -pix_fmt yuv420p -bf 2 -g 10 -sc_threshold 0"}));
        return file;
    }();
    return clip;
}

// Each frame's start on the clip's axis, as ffprobe reads the file.
std::vector<double> frameStarts(const fs::path& clip)
{
    std::istringstream lines(test::capture("ffprobe -v error -select_streams v:0 -show_entries "
                                           "frame=best_effort_timestamp_time -of csv=p=0 " +
                                           test::shellQuote(clip.string())));
    std::vector<double> starts;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty())
            starts.push_back(std::stod(line));
    for (double& start : starts)
        start -= starts.front();
    return starts;
}

int frameInFile(const fs::path& file)
{
    return test::readFrameIndex(Image::fromVips(vips::VImage::new_from_file(file.c_str())).value_or(Image()));
}

class Viewer : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(rig.send("loadVideo", {{"path", indexClip().string()}})["ok"], true);
        ASSERT_EQ(rig.send("extract", {{"stepPercent", 10}})["payload"]["count"], 11);
    }
    Json step(std::int64_t still, const Json& by)
    {
        Json args = by;
        args["id"] = still;
        args["maxSide"] = 100;
        return rig.send("stepStill", args)["payload"];
    }
    // The names and frames an export of these stills writes.
    std::vector<std::pair<std::string, int>> exported(const std::vector<std::int64_t>& ids)
    {
        const fs::path dir = test::freshDir("viewer-export-" + std::to_string(++exports));
        std::vector<std::pair<std::string, int>> files;
        const Json reply = rig.send("export", {{"ids", ids}, {"dest", dir.string()}});
        EXPECT_TRUE(reply["payload"]["failed"].empty()) << reply.dump();
        for (const Json& path : reply["payload"]["written"])
            files.emplace_back(fs::path(path.get<std::string>()).filename().string(),
                               frameInFile(path.get<std::string>()));
        return files;
    }
    Rig rig;
    int exports = 0;
};

TEST_F(Viewer, AStepMovesTheStillAndExportWritesTheFrameShownUnderItsNewName)
{
    const std::vector<double> starts = frameStarts(indexClip());
    ASSERT_EQ(starts.size(), 40u);

    // Still 5 is planned at 50 %, 2 s: frame 20.
    Json picture = rig.send("stillPicture", {{"id", 5}, {"maxSide", 100}})["payload"];
    EXPECT_EQ(picture["frame"], 20);
    EXPECT_EQ(picture["moved"], false);
    EXPECT_DOUBLE_EQ(picture["timeSec"].get<double>(), 2.0);
    const vips::VImage large = test::previewPicture(picture["dataUrl"].get<std::string>());
    EXPECT_EQ(test::sizeText(large.width(), large.height()), "100x60") << "reduced to the side asked for";
    EXPECT_EQ(picture["width"], 160);

    // Forward one frame: frame 21, at its start; 52.5 % names the file _p053.
    Json moved = step(5, {{"frames", 1}});
    EXPECT_EQ(moved["frame"], 21);
    EXPECT_EQ(moved["moved"], true);
    EXPECT_NEAR(moved["timeSec"].get<double>(), starts[21], 1e-6);
    EXPECT_NEAR(moved["percent"].get<double>(), starts[21] / 4 * 100, 1e-6);
    EXPECT_EQ(test::readFrameIndex(Image(test::previewPicture(moved["thumbDataUrl"]).copy_memory())), 21);
    // Back two: frame 19 (47.5 %: _p048), across the key frame at 20.
    step(5, {{"frames", -1}});
    moved = step(5, {{"frames", -1}});
    EXPECT_EQ(moved["frame"], 19);
    EXPECT_NEAR(moved["timeSec"].get<double>(), starts[19], 1e-6);
    // One second back from still 8 (80 %, 3.2 s, frame 32): frame 22, 55 %.
    EXPECT_EQ(step(8, {{"seconds", -1}})["frame"], 22);

    using Files = std::vector<std::pair<std::string, int>>;
    EXPECT_EQ(exported({5, 8, 6}),
              (Files{{"clip_p048.png", 19}, {"clip_p060.png", 24}, {"clip_p055.png", 22}}));

    // Undo returns still 5 to its planned time; a new extraction forgets every step.
    Json restored = rig.send("restoreStill", {{"id", 5}, {"maxSide", 100}})["payload"];
    EXPECT_EQ(restored["moved"], false);
    EXPECT_EQ(restored["frame"], 20);
    EXPECT_DOUBLE_EQ(restored["timeSec"].get<double>(), 2.0);
    EXPECT_EQ(restored["percent"], 50);
    ASSERT_EQ(rig.send("extract", {{"stepPercent", 10}})["ok"], true);
    EXPECT_EQ(exported({5, 8}), (Files{{"clip_p050.png", 20}, {"clip_p080.png", 32}}));
}

TEST_F(Viewer, StepsBeforeTheFirstAndPastTheLastFrameStayPut)
{
    // Still 0 is frame 0; still 10 (100 %) is the last frame, planned one frame before the end.
    for (const auto& [still, by, frame] :
         std::vector<std::tuple<int, Json, int>>{{0, {{"frames", -1}}, 0},
                                                 {0, {{"seconds", -1}}, 0},
                                                 {10, {{"frames", 1}}, 39},
                                                 {10, {{"seconds", 5}}, 39}}) {
        SCOPED_TRACE(by.dump());
        const Json planned = rig.send("stillPicture", {{"id", still}})["payload"];
        const Json stayed = step(still, by);
        EXPECT_EQ(stayed["frame"], frame);
        EXPECT_EQ(stayed["moved"], false);
        EXPECT_EQ(stayed["timeSec"], planned["timeSec"]);
        EXPECT_EQ(stayed["percent"], planned["percent"]);
    }
}

TEST_F(Viewer, CommandsWithoutAStillOrAStepAreRefused)
{
    for (const auto& [cmd, args, answer] : std::vector<std::tuple<std::string, Json, std::string>>{
             {"stepStill", {{"id", 5}}, "missing frames or seconds"},
             {"stepStill", {{"id", 5}, {"frames", "1"}}, "missing frames or seconds"},
             {"stepStill", {{"frames", 1}}, "missing id"},
             {"stepStill", {{"id", 11}, {"frames", 1}}, "No such still"},
             {"stillPicture", {{"id", -1}}, "No such still"},
             {"restoreStill", {{"id", "5"}}, "missing id"},
             {"imagePicture", {{"path", "/nonexistent/photo.jpg"}}, "Could not read that image."},
             {"imagePicture", Json::object(), "missing path"}}) {
        SCOPED_TRACE(cmd + " " + args.dump());
        const Json reply = rig.send(cmd, args);
        EXPECT_EQ(reply["ok"], false);
        EXPECT_EQ(reply["payload"], answer);
    }
    // A side beyond 2560 is held to it: the picture is the still's own size here.
    const Json big = rig.send("stillPicture", {{"id", 1}, {"maxSide", 1e9}})["payload"];
    const vips::VImage large = test::previewPicture(big["dataUrl"].get<std::string>());
    EXPECT_EQ(test::sizeText(large.width(), large.height()), "160x96");
}

TEST(ImageViewer, APhotoComesReducedWithItsOwnSize)
{
    const fs::path photo = test::freshDir("viewer-photo") / "photo.png";
    test::patchImage(400, 300).write_to_file(photo.c_str());
    Rig rig;
    const Json reply = rig.send("imagePicture", {{"path", photo.string()}, {"maxSide", 200}})["payload"];
    EXPECT_EQ(reply["width"], 400);
    EXPECT_EQ(reply["height"], 300);
    const vips::VImage large = test::previewPicture(reply["dataUrl"].get<std::string>());
    EXPECT_EQ(test::sizeText(large.width(), large.height()), "200x150");
    EXPECT_LT(test::patchError(large), 20);
}

}  // namespace
}  // namespace quillon
