// Opening, extraction and frame export on a generated clip, driven through a fake host.
#include <fstream>
#include <set>

#include <gtest/gtest.h>

#include "bridge/Bridge.hpp"
#include "tests/bridge/BridgeFixtures.hpp"
#include "tests/support/FakeHost.hpp"
#include "tests/support/TestMedia.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using test::FakeHost;

const std::string kReply = "window.__bridgeResolveRaw";
const std::string kProgress = "window.__onExtractProgress";
const std::string kFrame = "window.__onFrameReady";
const std::string kExportProgress = "window.__onExportProgress";

class VideoCommands : public ::testing::Test {
protected:
    FakeHost host;
    Bridge bridge{host};
    std::int64_t nextId = 1;

    // Sends one command, runs everything it caused and returns its reply.
    Json send(const std::string& cmd, const Json& args = Json::object())
    {
        std::int64_t id = nextId++;
        bridge.handleMessage({{"id", id}, {"cmd", cmd}, {"args", args}});
        host.settle(bridge);
        for (const Json& reply : host.payloadsOf(kReply)) {
            if (reply["id"] == id)
                return reply;
        }
        ADD_FAILURE() << cmd << " got no reply";
        return nullptr;
    }

    Json load(const fs::path& file) { return send("loadVideo", {{"path", file.string()}}); }

    std::vector<std::string> fileNames(const Json& written)
    {
        std::vector<std::string> names;
        for (const Json& path : written)
            names.push_back(fs::path(path.get<std::string>()).filename().string());
        return names;
    }
};

TEST_F(VideoCommands, LoadDescribesTheSource)
{
    Json reply = load(test::bridgeClip());
    ASSERT_EQ(reply["ok"], true) << reply;
    const Json& d = reply["payload"];
    EXPECT_EQ(d.size(), 7u);
    EXPECT_EQ(d["path"], test::bridgeClip().string());
    EXPECT_EQ(d["name"], "clip.mp4");
    EXPECT_NEAR(d["durationSec"].get<double>(), 4.0, 0.05);
    EXPECT_EQ(d["width"], 320);
    EXPECT_EQ(d["height"], 240);
    EXPECT_TRUE(d["width"].is_number_integer());
    EXPECT_NEAR(d["fps"].get<double>(), 10.0, 1e-6);
    EXPECT_EQ(d["isGif"], false);
}

TEST_F(VideoCommands, AFailedOpenKeepsTheSourceAndItsFrames)
{
    fs::path dir = test::freshDir("bridge-failed-open");
    std::ofstream(dir / "notes.mp4") << "this is text, not a video";
    ASSERT_EQ(load(test::bridgeClip())["ok"], true);
    ASSERT_EQ(send("extract", {{"stepPercent", 10}})["payload"], Json({{"count", 11}}));

    Json failed = load(dir / "notes.mp4");
    EXPECT_EQ(failed["ok"], false);
    EXPECT_EQ(failed["payload"], "Could not read that file as a video or GIF.");
    host.panelAnswers = {{(dir / "missing.mov").string()}};
    EXPECT_EQ(send("chooseVideo")["payload"], "Could not read that file as a video or GIF.");

    // Frame 4 still has its record from the 10 % extraction: 40 %, not the 20 % of the 5 % plan.
    Json exported = send("export", {{"ids", {4}}, {"dest", dir.string()}});
    EXPECT_EQ(fileNames(exported["payload"]["written"]), (std::vector<std::string>{"clip_p040.png"}));
}

TEST_F(VideoCommands, ExtractSendsFramesBetweenProgressEventsThenTheCount)
{
    ASSERT_EQ(load(test::bridgeClip())["ok"], true);
    host.clear();
    bridge.handleMessage({{"id", 50}, {"cmd", "extract"}, {"args", {{"stepPercent", 10}}}});
    host.settle(bridge);

    auto calls = host.deliveries();
    ASSERT_EQ(calls.size(), 11u + 12u + 1u);
    EXPECT_EQ(calls[0].name, kProgress);
    EXPECT_EQ(calls[0].payload, Json({{"done", 0}, {"total", 11}}));
    for (int i = 0; i < 11; ++i) {
        const auto& frame = calls[1 + 2 * i];
        const auto& progress = calls[2 + 2 * i];
        ASSERT_EQ(frame.name, kFrame);
        EXPECT_EQ(frame.payload["id"], i);
        EXPECT_NEAR(frame.payload["percent"].get<double>(), i * 10.0, 1e-9);
        EXPECT_EQ(frame.payload["width"], 320);
        EXPECT_EQ(frame.payload["height"], 240);
        EXPECT_EQ(frame.payload["thumbDataUrl"].get<std::string>().rfind("data:image/jpeg;base64,", 0), 0u);
        EXPECT_EQ(progress.name, kProgress);
        EXPECT_EQ(progress.payload, Json({{"done", i + 1}, {"total", 11}}));
    }
    EXPECT_EQ(calls.back().name, kReply);
    EXPECT_EQ(calls.back().payload, Json({{"id", 50}, {"ok", true}, {"payload", {{"count", 11}}}}));
    EXPECT_LT(calls[1].payload["timeSec"].get<double>(), 0.001);
    EXPECT_GT(calls[21].payload["timeSec"].get<double>(), 3.8);
}

TEST_F(VideoCommands, StepArgumentReachesThePlanner)
{
    ASSERT_EQ(load(test::bridgeClip())["ok"], true);
    EXPECT_EQ(send("extract", {{"stepPercent", "10"}})["payload"]["count"], 21);
    EXPECT_EQ(send("extract", {{"stepPercent", 150}})["payload"]["count"], 2);
    EXPECT_EQ(send("extract", {{"stepPercent", -3}})["payload"]["count"], 21);
    EXPECT_EQ(send("extract", {{"stepPercent", 25}})["payload"]["count"], 5);
}

TEST_F(VideoCommands, SecondExtractStartsAfterTheFirstReplyAndReplacesTheRecords)
{
    ASSERT_EQ(load(test::bridgeClip())["ok"], true);
    host.clear();
    bridge.handleMessage({{"id", 60}, {"cmd", "extract"}, {"args", {{"stepPercent", 10}}}});
    bridge.handleMessage({{"id", 61}, {"cmd", "extract"}, {"args", {{"stepPercent", 50}}}});
    host.settle(bridge);
    auto calls = host.deliveries();
    ASSERT_EQ(calls.size(), 24u + 8u);
    EXPECT_EQ(calls[23].payload["id"], 60);
    EXPECT_EQ(calls[24].payload, Json({{"done", 0}, {"total", 3}}));
    EXPECT_EQ(calls.back().payload["id"], 61);

    // Id 1 is now 50 % (the second run), and id 4 falls back to the 5 % plan (20 %).
    fs::path dir = test::freshDir("bridge-second-extract");
    Json reply = send("export", {{"ids", {1, 4}}, {"dest", dir.string()}});
    EXPECT_EQ(fileNames(reply["payload"]["written"]),
              (std::vector<std::string>{"clip_p050.png", "clip_p020.png"}));
}

TEST_F(VideoCommands, ExportNamesFramesAndNeverOverwrites)
{
    fs::path dir = test::freshDir("bridge-export-names");
    ASSERT_EQ(load(test::bridgeClip())["ok"], true);
    ASSERT_EQ(send("extract", {{"stepPercent", 10}})["ok"], true);

    for (const char* suffix : {"", "-1", "-2"}) {
        host.clear();
        Json reply = send("export", {{"ids", {10, 0}}, {"format", "JPEG"}, {"quality", 0.5},
                                     {"dest", dir.string()}});
        ASSERT_EQ(reply["ok"], true) << reply;
        EXPECT_EQ(reply["payload"]["written"],
                  Json({(dir / ("clip_p000" + std::string(suffix) + ".jpg")).string(),
                        (dir / ("clip_p100" + std::string(suffix) + ".jpg")).string()}));
        EXPECT_EQ(reply["payload"]["failed"], Json::array());
        EXPECT_EQ(reply["payload"]["folder"], dir.string());
        EXPECT_EQ(host.payloadsOf(kExportProgress),
                  (std::vector<Json>{{{"done", 1}, {"total", 2}}, {{"done", 2}, {"total", 2}}}));
    }

    // Ids are sorted and repeats kept: 2, 5, 5; the second 5 takes the next suffix. Ids unknown
    // to the records and to the 5 % plan are the still at 0 s, named 0 %.
    fs::path other = test::freshDir("bridge-export-repeats");
    Json reply = send("export", {{"ids", {5, 2, 5, -1, 99}}, {"format", "tif"}, {"dest", other.string()}});
    EXPECT_EQ(fileNames(reply["payload"]["written"]),
              (std::vector<std::string>{"clip_p000.tiff", "clip_p020.tiff", "clip_p050.tiff",
                                        "clip_p050-1.tiff", "clip_p000-1.tiff"}));
    std::ifstream written(other / "clip_p050.tiff", std::ios::binary);
    char magic[2] = {};
    written.read(magic, 2);
    EXPECT_TRUE(std::string(magic, 2) == "II" || std::string(magic, 2) == "MM");
}

TEST_F(VideoCommands, ExportChecksAndPanel)
{
    ASSERT_EQ(load(test::bridgeClip())["ok"], true);
    EXPECT_EQ(send("export", {{"ids", Json::array()}})["payload"], "No frames selected");
    EXPECT_EQ(send("export", {{"ids", {1, "2"}}})["payload"], "No frames selected");
    EXPECT_TRUE(host.panels.empty());

    fs::path dir = test::freshDir("bridge-export-panel");
    host.panelAnswers = {{}, {dir.string()}};
    EXPECT_EQ(send("export", {{"ids", {1}}, {"dest", ""}}), Json({{"id", 4}, {"ok", true}, {"payload", nullptr}}));
    Json reply = send("export", {{"ids", {1}}});
    ASSERT_EQ(host.panels.size(), 2u);
    EXPECT_EQ(host.panels[0].kind, PanelRequest::Kind::OpenFolder);
    EXPECT_EQ(host.panels[0].acceptLabel, "Export Here");
    EXPECT_EQ(host.panels[0].title, "Choose a folder to save the frames");
    EXPECT_TRUE(host.panels[0].canCreateFolders);
    // No extraction since the open: id 1 is 5 % of the 5 % plan.
    EXPECT_EQ(reply["payload"]["written"], Json({(dir / "clip_p005.png").string()}));
}

TEST_F(VideoCommands, ExportIntoFoldersThatTakeNoFiles)
{
    ASSERT_EQ(load(test::bridgeClip())["ok"], true);
    fs::path dir = test::freshDir("bridge-export-nowhere");
    host.clear();
    Json missing = send("export", {{"ids", {3, 1}}, {"dest", (dir / "gone").string()}});
    EXPECT_EQ(missing["payload"]["failed"],
              Json::parse(R"([{"id":1,"reason":"folder not writable"},{"id":3,"reason":"folder not writable"}])"));
    EXPECT_EQ(missing["payload"]["written"], Json::array());
    EXPECT_TRUE(host.payloadsOf(kExportProgress).empty());

    // Permission checks pass here even for root, but creating a file fails: each frame says so
    // and progress goes on.
    Json refused = send("export", {{"ids", {3, 1}}, {"dest", "/proc"}});
    EXPECT_EQ(refused["payload"]["failed"],
              Json::parse(R"x([{"id":1,"reason":"write failed (permission or disk)"},)x"
                          R"x({"id":3,"reason":"write failed (permission or disk)"}])x"));
    EXPECT_EQ(host.payloadsOf(kExportProgress).size(), 2u);
    EXPECT_EQ(refused["payload"]["folder"], "/proc");
}

}  // namespace
}  // namespace quillon
