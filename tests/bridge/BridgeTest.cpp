// The dispatcher and the video-mode commands on a generated clip, through a fake host.
#include <fstream>

#include <gtest/gtest.h>

#include "tests/bridge/BridgeFixtures.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using test::Rig;

const std::string kProgress = "window.__onExtractProgress";
const std::string kExportProgress = "window.__onExportProgress";
const std::string kCouldNotRead = "Could not read that file as a video or GIF.";

std::vector<std::string> fileNames(const Json& written)
{
    std::vector<std::string> names;
    for (const Json& path : written)
        names.push_back(fs::path(path.get<std::string>()).filename().string());
    return names;
}

TEST(Dispatcher, RepliesAreDeliveredLaterCompactAndInOrder)
{
    Rig rig;
    // "args" that is not an object counts as empty, so the mode falls back to "video".
    rig.bridge.handleMessage(Json::parse(R"({"id": 4, "cmd": "setMode", "args": [1, 2]})"));
    rig.bridge.handleMessage(Json::parse(R"({"id": 7.0, "cmd": "ChooseVideo"})"));
    rig.bridge.handleMessage(Json::parse(R"({"id": -9007199254740993, "cmd": "reveal", "args": {"paths": ["/a b"]}})"));
    EXPECT_TRUE(rig.host.scripts().empty()) << "a reply must not be evaluated inside the message call";
    rig.host.settle(rig.bridge);
    EXPECT_EQ(rig.host.scripts(),
              (std::vector<std::string>{R"(window.__bridgeResolveRaw({"id":4,"ok":true,"payload":null}))",
                                        R"(window.__bridgeResolveRaw({"id":7,"ok":false,"payload":"unknown cmd: ChooseVideo"}))",
                                        R"(window.__bridgeResolveRaw({"id":-9007199254740993,"ok":true,"payload":null}))"}));
    EXPECT_EQ(rig.host.revealed, (std::vector<std::vector<std::string>>{{"/a b"}}));
    EXPECT_TRUE(rig.host.panels.empty());
}

class VideoCommands : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(load(test::bridgeClip())["ok"], true); }
    Json load(const fs::path& file) { return rig.send("loadVideo", {{"path", file.string()}}); }
    Rig rig;
};

TEST_F(VideoCommands, LoadDescribesTheSource)
{
    Json d = load(test::bridgeClip())["payload"];
    EXPECT_NEAR(d["durationSec"].get<double>(), 4.0, 0.05);
    EXPECT_NEAR(d["fps"].get<double>(), 10.0, 1e-6);
    d.erase("durationSec");
    d.erase("fps");
    EXPECT_EQ(d, Json({{"path", test::bridgeClip().string()}, {"name", "clip.mp4"}, {"width", 320},
                       {"height", 240}, {"isGif", false}}));
}

TEST_F(VideoCommands, ExtractSendsFramesBetweenProgressEventsThenTheCount)
{
    rig.host.clear();
    ASSERT_EQ(rig.send("extract", {{"stepPercent", 10}})["payload"], Json({{"count", 11}}));
    auto calls = rig.host.deliveries();
    ASSERT_EQ(calls.size(), 11u + 12u + 1u);
    EXPECT_EQ(calls[0].payload, Json({{"done", 0}, {"total", 11}}));
    for (int i = 0; i < 11; ++i) {
        const auto& frame = calls[1 + 2 * i];
        ASSERT_EQ(frame.name, "window.__onFrameReady");
        EXPECT_EQ(frame.payload["id"], i);
        EXPECT_NEAR(frame.payload["percent"].get<double>(), i * 10.0, 1e-9);
        EXPECT_EQ(frame.payload["width"], 320);
        EXPECT_EQ(frame.payload["thumbDataUrl"].get<std::string>().rfind("data:image/jpeg;base64,", 0), 0u);
        EXPECT_EQ(calls[2 + 2 * i].name, kProgress);
        EXPECT_EQ(calls[2 + 2 * i].payload, Json({{"done", i + 1}, {"total", 11}}));
    }
    EXPECT_LT(calls[1].payload["timeSec"].get<double>(), 0.001);
    EXPECT_GT(calls[21].payload["timeSec"].get<double>(), 3.8);

    // A step that is not a usable number means 5 %; steps past 100 give the two ends.
    EXPECT_EQ(rig.send("extract", {{"stepPercent", "10"}})["payload"]["count"], 21);
    EXPECT_EQ(rig.send("extract", {{"stepPercent", 150}})["payload"]["count"], 2);
}

TEST_F(VideoCommands, ASecondExtractStartsAfterTheFirstReplyAndReplacesTheRecords)
{
    rig.host.clear();
    rig.bridge.handleMessage({{"id", 60}, {"cmd", "extract"}, {"args", {{"stepPercent", 10}}}});
    rig.bridge.handleMessage({{"id", 61}, {"cmd", "extract"}, {"args", {{"stepPercent", 50}}}});
    rig.host.settle(rig.bridge);
    auto calls = rig.host.deliveries();
    ASSERT_EQ(calls.size(), 24u + 8u);
    EXPECT_EQ(calls[23].payload["id"], 60);
    EXPECT_EQ(calls[24].payload, Json({{"done", 0}, {"total", 3}}));
    EXPECT_EQ(calls.back().payload["id"], 61);

    // Id 1 is now 50 % (the second run); id 4 falls back to the 5 % plan (20 %).
    fs::path dir = test::freshDir("bridge-second-extract");
    Json reply = rig.send("export", {{"ids", {1, 4}}, {"dest", dir.string()}});
    EXPECT_EQ(fileNames(reply["payload"]["written"]), (std::vector<std::string>{"clip_p050.png", "clip_p020.png"}));
}

TEST_F(VideoCommands, AFailedOpenKeepsTheFramesAndANewOpenDropsThem)
{
    fs::path dir = test::freshDir("bridge-reopen");
    std::ofstream(dir / "notes.mp4") << "this is text, not a video";
    ASSERT_EQ(rig.send("extract", {{"stepPercent", 10}})["payload"], Json({{"count", 11}}));
    Json failed = load(dir / "notes.mp4");
    EXPECT_EQ(failed["ok"], false);
    EXPECT_EQ(failed["payload"], kCouldNotRead);
    rig.host.panelAnswers = {{(dir / "missing.mov").string()}};
    EXPECT_EQ(rig.send("chooseVideo")["payload"], kCouldNotRead);

    // Id 4 keeps its record of the 10 % extraction: 40 %, not the 20 % of the 5 % plan.
    Json kept = rig.send("export", {{"ids", {4}}, {"dest", dir.string()}});
    EXPECT_EQ(fileNames(kept["payload"]["written"]), (std::vector<std::string>{"clip_p040.png"}));
    ASSERT_EQ(load(test::bridgeClip())["ok"], true);
    Json fresh = rig.send("export", {{"ids", {4}}, {"dest", dir.string()}});
    EXPECT_EQ(fileNames(fresh["payload"]["written"]), (std::vector<std::string>{"clip_p020.png"}));
}

TEST_F(VideoCommands, ExportNamesFramesAndNeverOverwrites)
{
    fs::path dir = test::freshDir("bridge-export-names");
    ASSERT_EQ(rig.send("extract", {{"stepPercent", 10}})["ok"], true);
    for (std::string suffix : {"", "-1"}) {
        rig.host.clear();
        Json reply = rig.send("export", {{"ids", {10, 0}}, {"format", "JPEG"}, {"quality", 0.5}, {"dest", dir.string()}});
        EXPECT_EQ(reply["payload"], Json({{"written", {(dir / ("clip_p000" + suffix + ".jpg")).string(),
                                                       (dir / ("clip_p100" + suffix + ".jpg")).string()}},
                                          {"failed", Json::array()},
                                          {"folder", dir.string()}}));
        EXPECT_EQ(rig.host.payloadsOf(kExportProgress),
                  (std::vector<Json>{{{"done", 1}, {"total", 2}}, {{"done", 2}, {"total", 2}}}));
    }
    // Ids are sorted and repeats kept; ids unknown to the records and to the 5 % plan are the
    // still at 0 s.
    fs::path other = test::freshDir("bridge-export-repeats");
    Json reply = rig.send("export", {{"ids", {5, 2, 5, -1, 99}}, {"format", "tif"}, {"dest", other.string()}});
    EXPECT_EQ(fileNames(reply["payload"]["written"]),
              (std::vector<std::string>{"clip_p000.tiff", "clip_p020.tiff", "clip_p050.tiff", "clip_p050-1.tiff",
                                        "clip_p000-1.tiff"}));
    EXPECT_EQ(rig.send("export", {{"ids", Json::array()}})["payload"], "No frames selected");
    EXPECT_EQ(rig.send("export", {{"ids", {1, "2"}}})["payload"], "No frames selected");
}

TEST_F(VideoCommands, ExportWithoutADestinationAsksForAFolder)
{
    fs::path dir = test::freshDir("bridge-export-panel");
    rig.host.panelAnswers = {{}, {dir.string()}};
    Json cancelled = rig.send("export", {{"ids", {1}}, {"dest", ""}});
    EXPECT_EQ(cancelled["ok"], true);
    EXPECT_EQ(cancelled["payload"], nullptr);
    // No extraction since the open: id 1 is 5 % of the 5 % plan.
    EXPECT_EQ(rig.send("export", {{"ids", {1}}})["payload"]["written"], Json({(dir / "clip_p005.png").string()}));
    ASSERT_EQ(rig.host.panels.size(), 2u);
    EXPECT_EQ(rig.host.panels[1].kind, PanelRequest::Kind::OpenFolder);
}

TEST_F(VideoCommands, StillsThatCannotBeReadLeaveGapsInTheFrameIds)
{
    // The index at the front promises 4 s, but the second half of the data is cut off.
    fs::path cut = test::freshDir("bridge-cut") / "cut.mp4";
    ASSERT_EQ(test::run("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=10:duration=4 -c:v libx264 "
                        "-pix_fmt yuv420p -g 5 -movflags +faststart " + test::shellQuote(cut.string())), 0);
    fs::resize_file(cut, fs::file_size(cut) / 2);
    ASSERT_EQ(load(cut)["ok"], true);
    rig.host.clear();
    EXPECT_EQ(rig.send("extract", {{"stepPercent", 10}})["payload"], Json({{"count", 11}}));
    auto calls = rig.host.deliveries();
    EXPECT_EQ(rig.host.payloadsOf(kProgress).size(), 12u);
    std::size_t frames = 0;
    for (std::size_t i = 0; i + 1 < calls.size(); ++i) {
        if (calls[i].name != "window.__onFrameReady")
            continue;
        ++frames;
        // Each frame event comes right before the progress event of its own sample.
        EXPECT_EQ(calls[i + 1].payload, Json({{"done", calls[i].payload["id"].get<int>() + 1}, {"total", 11}}));
    }
    EXPECT_GT(frames, 0u);
    EXPECT_LT(frames, 11u) << "the cut clip should not give every still";
}

}  // namespace
}  // namespace quillon
