// The dispatcher and video mode through a fake host and `quillon-cli bridge`, and the file writer.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "bridge/FileWrite.hpp"
#include "tests/bridge/BridgeFixtures.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using test::Rig;

const std::string kProgress = "window.__onExtractProgress";
const std::string kCouldNotRead = "Could not read that file as a video or GIF.";
using test::fileNames;

// A bridge on host with the clip open, and nothing delivered yet.
std::unique_ptr<Bridge> bridgeWithClip(test::FakeHost& host)
{
    auto bridge = std::make_unique<Bridge>(host);
    bridge->handleMessage(
        {{"id", 1}, {"cmd", "loadVideo"}, {"args", {{"path", test::bridgeClip().string()}}}});
    host.settle(*bridge);
    EXPECT_EQ(host.payloadsOf(protocol::kResolveReply).at(0)["ok"], true);
    host.clear();
    return bridge;
}

TEST(Dispatcher, RepliesAreDeliveredAfterTheMessageCall)
{
    Rig rig;
    rig.bridge.handleMessage(Json::parse(R"({"id": 7.0, "cmd": "reveal", "args": {"paths": ["/a b"]}})"));
    EXPECT_TRUE(rig.host.scripts().empty()) << "a reply must not be evaluated inside the message call";
    rig.host.settle(rig.bridge);
    EXPECT_EQ(rig.host.scripts(),
              std::vector<std::string>{R"(window.__bridgeResolveRaw({"id":7,"ok":true,"payload":null}))"});
    EXPECT_EQ(rig.host.revealed, (std::vector<std::vector<std::string>>{{"/a b"}}));
}

// The host may still hold a panel's answer or a reveal's task when the bridge goes (a chooser left
// open as the window closes); running it afterwards must do nothing: no reply, no reveal, no work.
TEST(Dispatcher, PanelAnswersAndRevealsArrivingAfterTheBridgeIsGoneDoNothing)
{
    const fs::path dir = test::freshDir("after-bridge");
    const std::string clip = test::bridgeClip().string();
    // Command, arguments, what the panel answers (empty: the command shows no panel).
    const std::vector<std::tuple<std::string, Json, std::string>> cases = {
        {"chooseVideo", Json::object(), clip},
        {"chooseDest", Json::object(), dir.string()},
        {"export", {{"ids", {1}}}, dir.string()},
        {"chooseImages", Json::object(), clip},
        {"exportImages", {{"paths", {clip}}}, dir.string()},
        {"reveal", {{"paths", {clip}}}, ""},
    };
    for (const auto& [cmd, args, answer] : cases) {
        SCOPED_TRACE(cmd);
        test::FakeHost host;
        auto bridge = bridgeWithClip(host);
        host.panelAnswers = {{answer}};
        bridge->handleMessage({{"id", 2}, {"cmd", cmd}, {"args", args}});
        EXPECT_EQ(host.panels.size(), answer.empty() ? 0u : 1u);
        bridge.reset();
        EXPECT_EQ(host.runMainTasks(), 1u) << "the host held the command's callback past the bridge";
        EXPECT_EQ(host.runMainTasks(), 0u) << "the callback posted more work";
        EXPECT_TRUE(host.scripts().empty()) << host.scripts().front();
        EXPECT_TRUE(host.revealed.empty());
        EXPECT_TRUE(fs::is_empty(dir)) << "nothing may be written";
    }
}

// A bridge that goes while an export runs stops it after the file in hand and never answers it:
// the page that asked is going away with the bridge.
TEST(Bridge, AnExportStoppedByTheBridgeGoingAwayIsNotAnswered)
{
    const fs::path picture = test::freshDir("bridge-stop-in") / "a.png";
    ASSERT_EQ(test::run("vips black " + test::shellQuote(picture.string()) + " 64 48"), 0);
    const std::vector<std::pair<std::string, Json>> cases = {
        {"export", {{"ids", std::vector<int>(400, 3)}, {"format", "jpg"}}},
        {"exportImages", {{"paths", std::vector<std::string>(400, picture.string())}}},
    };
    for (const auto& [cmd, args] : cases) {
        SCOPED_TRACE(cmd);
        const fs::path dir = test::freshDir("bridge-stop-" + cmd);
        test::FakeHost host;
        auto bridge = bridgeWithClip(host);
        Json exportArgs = args;
        exportArgs["dest"] = dir.string();
        bridge->handleMessage({{"id", 2}, {"cmd", cmd}, {"args", exportArgs}});
        while (host.payloadsOf(protocol::kExportProgress).empty()) {
            host.runMainTasks();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        bridge.reset();
        host.runMainTasks();
        for (const Json& reply : host.payloadsOf(protocol::kResolveReply))
            EXPECT_NE(reply["id"], 2) << reply;
        EXPECT_LT(host.payloadsOf(protocol::kExportProgress).size(), 400u);
    }
}

class VideoCommands : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(load(test::bridgeClip())["ok"], true); }
    Json load(const fs::path& file) { return rig.send("loadVideo", {{"path", file.string()}}); }
    Rig rig;
};

TEST_F(VideoCommands, ExtractSendsFramesBetweenProgressEventsAndASecondOneWaitsForTheFirst)
{
    rig.host.clear();
    rig.bridge.handleMessage({{"id", 60}, {"cmd", "extract"}, {"args", {{"stepPercent", 10}}}});
    rig.bridge.handleMessage({{"id", 61}, {"cmd", "extract"}, {"args", {{"stepPercent", 50}}}});
    rig.host.settle(rig.bridge);
    auto calls = rig.host.deliveries();
    ASSERT_EQ(calls.size(), (11u + 12u + 1u) + (3u + 4u + 1u));
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
    EXPECT_EQ(calls[23].payload, Json({{"id", 60}, {"ok", true}, {"payload", {{"count", 11}}}}));
    EXPECT_EQ(calls[24].payload, Json({{"done", 0}, {"total", 3}}));
    EXPECT_EQ(calls.back().payload["id"], 61);

    // Id 1 is now 50 % (the second run); id 4 falls back to the 5 % plan (20 %).
    fs::path dir = test::freshDir("bridge-second-extract");
    Json reply = rig.send("export", {{"ids", {1, 4}}, {"dest", dir.string()}});
    EXPECT_EQ(fileNames(reply["payload"]["written"]),
              (std::vector<std::string>{"clip_p050.png", "clip_p020.png"}));
    // A step that is not a number means 5 %.
    EXPECT_EQ(rig.send("extract", {{"stepPercent", "10"}})["payload"]["count"], 21);
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

TEST_F(VideoCommands, ExportAsksForAFolderNamesFramesAndNeverOverwrites)
{
    fs::path dir = test::freshDir("bridge-export-names");
    rig.host.panelAnswers = {{}, {dir.string()}};
    EXPECT_EQ(rig.send("export", {{"ids", {1}}, {"dest", ""}})["payload"], nullptr) << "a cancelled panel";
    // No extraction since the open: id 1 is 5 % of the 5 % plan.
    EXPECT_EQ(rig.send("export", {{"ids", {1}}})["payload"]["written"],
              Json({(dir / "clip_p005.png").string()}));
    EXPECT_EQ(rig.host.panels.size(), 2u);

    ASSERT_EQ(rig.send("extract", {{"stepPercent", 10}})["ok"], true);
    for (std::string suffix : {"", "-1"}) {
        Json reply = rig.send(
            "export", {{"ids", {10, 0}}, {"format", "JPEG"}, {"quality", 0.5}, {"dest", dir.string()}});
        EXPECT_EQ(reply["payload"], Json({{"written",
                                           {(dir / ("clip_p000" + suffix + ".jpg")).string(),
                                            (dir / ("clip_p100" + suffix + ".jpg")).string()}},
                                          {"failed", Json::array()},
                                          {"folder", dir.string()}}));
    }
    // Ids are sorted and repeats kept; ids unknown to the records and to the 5 % plan are the
    // still at 0 s.
    fs::path other = test::freshDir("bridge-export-repeats");
    Json reply = rig.send("export",
                          {{"ids", {5, 2, 5, -1, 99}}, {"format", "tif"}, {"dest", other.string()}});
    EXPECT_EQ(fileNames(reply["payload"]["written"]),
              (std::vector<std::string>{"clip_p000.tiff", "clip_p020.tiff", "clip_p050.tiff",
                                        "clip_p050-1.tiff", "clip_p000-1.tiff"}));
    EXPECT_EQ(rig.send("export", {{"ids", {1, "2"}}})["payload"], "No frames selected");
}

TEST_F(VideoCommands, ExportWritesIntoAChosenFolderWhoseNameIsNotUtf8)
{
    const fs::path dir = test::freshDir("bridge-dest-name") / "d\xff\xfe";
    ASSERT_TRUE(fs::create_directory(dir));
    rig.host.panelAnswers = {{dir.string()}};
    const std::string named = rig.send("chooseDest")["payload"].value("path", "");
    EXPECT_NE(named, dir.string()) << "the page only gets a UTF-8 stand-in for the name";
    const Json reply = rig.send("export", {{"ids", {0}}, {"dest", named}});
    EXPECT_EQ(reply["payload"]["failed"], Json::array());
    EXPECT_TRUE(fs::exists(dir / "clip_p000.png"));
}

TEST_F(VideoCommands, StillsThatCannotBeReadLeaveGapsInTheFrameIds)
{
    // The index at the front promises 4 s, but the second half of the data is cut off.
    fs::path cut = test::freshDir("bridge-cut") / "cut.mp4";
    ASSERT_EQ(
        test::run("ffmpeg -v error -y -f lavfi -i testsrc2=size=320x240:rate=10:duration=4 -c:v libx264 "
                  "-pix_fmt yuv420p -g 5 -movflags +faststart " +
                  test::shellQuote(cut.string())),
        0);
    fs::resize_file(cut, fs::file_size(cut) / 2);
    ASSERT_EQ(load(cut)["ok"], true);
    rig.host.clear();
    EXPECT_EQ(rig.send("extract", {{"stepPercent", 10}})["payload"], Json({{"count", 11}}));
    auto calls = rig.host.deliveries();
    std::size_t frames = 0;
    for (std::size_t i = 0; i + 1 < calls.size(); ++i) {
        if (calls[i].name != "window.__onFrameReady")
            continue;
        ++frames;
        // Each frame event comes right before the progress event of its own sample.
        EXPECT_EQ(calls[i + 1].payload,
                  Json({{"done", calls[i].payload["id"].get<int>() + 1}, {"total", 11}}));
    }
    EXPECT_GT(frames, 0u);
    EXPECT_LT(frames, 11u) << "the cut clip should not give every still";
}

TEST(CliBridge, OnlyWellFormedCommandsAreAnswered)
{
    auto run = test::runBridgeCli({
        "this is not json",
        "",
        "[1, 2]",
        R"("setMode")",
        "null",
        "{}",
        R"({"id": "7", "cmd": "setMode"})",
        R"({"id": true, "cmd": "setMode"})",
        R"({"id": 7.5, "cmd": "setMode"})",
        R"({"id": 1e300, "cmd": "setMode"})",
        R"({"id": 18446744073709551615, "cmd": "setMode"})",
        R"({"id": 3})",
        R"({"id": 3, "cmd": 5})",
        R"({"cmd": "setMode"})",
        R"({"drop": "not a list"})",
        R"({"drop": [], "id": 5})",
        R"({"id": 4, "cmd": "setMode", "args": [1]})",
        R"({"id": 9, "cmd": "extract "})",
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.lines,
              (std::vector<std::string>{
                  R"(window.__bridgeResolveRaw({"id":4,"ok":true,"payload":null}))",
                  R"(window.__bridgeResolveRaw({"id":9,"ok":false,"payload":"unknown cmd: extract "}))"}));
}

TEST(CliBridge, PanelsAreAnsweredInOrderThenCancelledAndAnOpenDescribesTheClip)
{
    // The open queued by the first answer still finishes after the end of input.
    fs::path dir = test::freshDir("cli-panels");
    auto run = test::runBridgeCli(
        {test::command(1, "chooseVideo"), test::command(2, "chooseDest"), test::command(3, "chooseVideo")},
        " --panel " + test::shellQuote(test::bridgeClip().string()) + " --panel " +
            test::shellQuote(dir.string()));
    ASSERT_EQ(run.status, 0);
    ASSERT_EQ(run.calls.size(), 3u);
    Json d = run.replyTo(1)["payload"];
    EXPECT_NEAR(d["durationSec"].get<double>(), 4.0, 0.05);
    EXPECT_NEAR(d["fps"].get<double>(), 10.0, 1e-6);
    d.erase("durationSec");
    d.erase("fps");
    EXPECT_EQ(d, Json({{"path", test::bridgeClip().string()},
                       {"name", "clip.mp4"},
                       {"width", 320},
                       {"height", 240},
                       {"isGif", false}}));
    EXPECT_EQ(run.replyTo(2)["payload"], Json({{"path", dir.string()}}));
    EXPECT_EQ(run.replyTo(3), Json({{"id", 3}, {"ok", true}, {"payload", nullptr}}));
}

std::span<const unsigned char> bytesOf(const std::string& text)
{
    return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

TEST(FileWrite, TakesTheNextFreeNameNeverReplacesAndFailsCleanly)
{
    // A dangling link and a folder hold their names too: never write through the link or fail on them.
    fs::path dir = test::freshDir("filewrite");
    std::ofstream(dir / "a.png") << "older";
    fs::create_symlink(dir / "nowhere.png", dir / "a-1.png");
    fs::create_directory(dir / "a-2.png");
    auto written = writeNewFile(dir, "a", "png", bytesOf("new"));
    ASSERT_TRUE(written);
    EXPECT_EQ(*written, dir / "a-3.png");
    EXPECT_EQ(test::contents(*written), "new");
    EXPECT_EQ(test::contents(dir / "a.png"), "older");
    EXPECT_FALSE(fs::exists(dir / "nowhere.png"));
    // /proc refuses new files even to root, whose permission checks pass everywhere else.
    for (const fs::path& where : {dir / "a.png", dir / "missing", fs::path("/proc")})
        EXPECT_FALSE(writeNewFile(where, "a", "png", bytesOf("x"))) << where;
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 4)
        << "temporary file left";
    // Created 0666 under the umask like any new file, not private the way mkstemp's files are.
    mode_t mask = ::umask(022);
    ::umask(mask);
    EXPECT_EQ(fs::status(*written).permissions(), static_cast<fs::perms>(0666 & ~mask));
}

}  // namespace
}  // namespace quillon
