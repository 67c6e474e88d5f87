// `quillon-cli bridge` end to end: stdin lines in, page calls out, on generated clips.
#include <fstream>
#include <set>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/bridge/BridgeFixtures.hpp"
#include "tests/support/TestMedia.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::command;
using test::runBridgeCli;

const std::string kReply = "window.__bridgeResolveRaw";

std::string loadLine(std::int64_t id, const fs::path& file)
{
    return command(id, "loadVideo", {{"path", file.string()}});
}

TEST(CliBridge, ExtractPrintsProgressFramesAndThenTheReply)
{
    auto run = runBridgeCli({loadLine(1, test::bridgeClip()),
                             command(2, "extract", {{"stepPercent", 20}})});
    ASSERT_EQ(run.status, 0);
    ASSERT_EQ(run.lines.size(), 1u + 7u + 6u + 1u);
    EXPECT_EQ(run.calls[0].name, kReply);
    EXPECT_EQ(run.calls[0].payload["payload"]["name"], "clip.mp4");
    EXPECT_EQ(run.lines[1], R"(window.__onExtractProgress({"done":0,"total":6}))");
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(run.calls[2 + 2 * i].name, "window.__onFrameReady");
        EXPECT_EQ(run.calls[2 + 2 * i].payload["id"], i);
        EXPECT_EQ(run.calls[3 + 2 * i].payload, json({{"done", i + 1}, {"total", 6}}));
    }
    EXPECT_EQ(run.lines.back(), R"(window.__bridgeResolveRaw({"id":2,"ok":true,"payload":{"count":6}}))");
}

TEST(CliBridge, StillsThatCannotBeReadLeaveGapsInTheFrameIds)
{
    // The clip's index promises 4 s, but the data of the second half is gone.
    auto run = runBridgeCli({loadLine(1, test::truncatedClip()),
                             command(2, "extract", {{"stepPercent", 10}})});
    ASSERT_EQ(run.status, 0);
    ASSERT_EQ(run.replyTo(1)["ok"], true) << run.replyTo(1);
    auto progress = run.payloadsOf("window.__onExtractProgress");
    auto frames = run.payloadsOf("window.__onFrameReady");
    ASSERT_EQ(progress.size(), 12u);
    EXPECT_EQ(progress.back(), json({{"done", 11}, {"total", 11}}));
    EXPECT_GT(frames.size(), 0u);
    EXPECT_LT(frames.size(), 11u) << "the cut clip should not give every still";
    EXPECT_EQ(run.lines.back(), R"(window.__bridgeResolveRaw({"id":2,"ok":true,"payload":{"count":11}}))");

    // Each frame event comes right before the progress event of its own sample.
    std::set<std::int64_t> sent;
    for (std::size_t i = 0; i + 1 < run.calls.size(); ++i) {
        if (run.calls[i].name != "window.__onFrameReady")
            continue;
        std::int64_t id = run.calls[i].payload["id"];
        sent.insert(id);
        EXPECT_EQ(run.calls[i + 1].payload, json({{"done", id + 1}, {"total", 11}}));
    }
    EXPECT_EQ(sent.size(), frames.size());

    // A frame that was not read falls back to the 5 % plan on export, and fails there as well.
    std::int64_t missing = 0;
    while (sent.count(missing))
        ++missing;
    fs::path dir = test::freshDir("cli-gaps-export");
    auto exported = runBridgeCli({loadLine(1, test::truncatedClip()), command(2, "extract", {{"stepPercent", 10}}),
                                  command(3, "export", {{"ids", {missing}}, {"dest", dir.string()}})});
    json reply = exported.replyTo(3)["payload"];
    EXPECT_EQ(reply["written"].size() + reply["failed"].size(), 1u) << reply;
}

TEST(CliBridge, MalformedLinesAreIgnored)
{
    auto run = runBridgeCli({
        "this is not json",
        "",
        "[1, 2]",
        "{}",
        R"({"id": "7", "cmd": "setMode"})",
        R"({"id": 3})",
        R"({"drop": "not a list"})",
        R"({"drop": [], "id": 5})",
        R"({"id": 4, "cmd": "setMode", "args": [1]})",
        R"({"id": 9, "cmd": "nope"})",
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.lines, (std::vector<std::string>{
                             R"(window.__bridgeResolveRaw({"id":4,"ok":true,"payload":null}))",
                             R"(window.__bridgeResolveRaw({"id":9,"ok":false,"payload":"unknown cmd: nope"}))"}));
}

TEST(CliBridge, PanelsAreAnsweredInOrderThenCancelled)
{
    fs::path dir = test::freshDir("cli-panels");
    // The first chooseVideo is answered with the clip, chooseDest with the folder, the last panel
    // has no answer left. At the end of input the open queued by the first answer still finishes.
    auto run = runBridgeCli({command(1, "chooseVideo"), command(2, "chooseDest"), command(3, "chooseVideo")},
                            {test::bridgeClip().string(), dir.string()});
    ASSERT_EQ(run.status, 0);
    ASSERT_EQ(run.calls.size(), 3u);
    EXPECT_EQ(run.replyTo(1)["payload"]["name"], "clip.mp4");
    EXPECT_EQ(run.replyTo(2)["payload"], json({{"path", dir.string()}}));
    EXPECT_EQ(run.replyTo(3), json({{"id", 3}, {"ok", true}, {"payload", nullptr}}));
}

TEST(CliBridge, ExportAfterANewOpenUsesTheFivePercentPlan)
{
    fs::path dir = test::freshDir("cli-export-after-open");
    auto run = runBridgeCli({loadLine(1, test::bridgeClip()), command(2, "extract", {{"stepPercent", 10}}),
                             loadLine(3, test::bridgeClip()),
                             command(4, "export", {{"ids", {4, 0}}, {"format", "jpg"}, {"dest", dir.string()}}),
                             command(5, "export", {{"ids", {4}}, {"format", "jpg"}, {"dest", dir.string()}})});
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.replyTo(4)["payload"],
              json({{"written", {(dir / "clip_p000.jpg").string(), (dir / "clip_p020.jpg").string()}},
                    {"failed", json::array()},
                    {"folder", dir.string()}}));
    EXPECT_EQ(run.replyTo(5)["payload"]["written"], json({(dir / "clip_p020-1.jpg").string()}));
    EXPECT_EQ(run.payloadsOf("window.__onExportProgress").size(), 3u);
    std::ifstream jpeg(dir / "clip_p020.jpg", std::ios::binary);
    EXPECT_EQ(jpeg.get(), 0xFF);
    EXPECT_EQ(jpeg.get(), 0xD8);
}

TEST(CliBridge, ReadOnlyFolderForAUserWithoutRoot)
{
    if (test::run("command -v setpriv >/dev/null") != 0 && ::geteuid() == 0)
        FAIL() << "setpriv is needed to run the program as an ordinary user";
    fs::path dir = test::freshDir("cli-read-only");
    fs::create_directory(dir / "locked");
    ASSERT_EQ(::chmod((dir / "locked").c_str(), 0555), 0);
    std::string user = ::geteuid() == 0 ? "65534" : "";
    auto run = runBridgeCli({loadLine(1, test::bridgeClip()),
                             command(2, "export", {{"ids", {7, 2, 7}}, {"dest", (dir / "locked").string()}})},
                            {}, user);
    ASSERT_EQ(run.status, 0);
    ASSERT_EQ(run.replyTo(1)["ok"], true) << "the clip must be readable by the user " << user;
    EXPECT_TRUE(run.payloadsOf("window.__onExportProgress").empty());
    EXPECT_EQ(run.replyTo(2)["payload"]["failed"],
              json::parse(R"([{"id":2,"reason":"folder not writable"},{"id":7,"reason":"folder not writable"},)"
                          R"({"id":7,"reason":"folder not writable"}])"));
    EXPECT_TRUE(fs::is_empty(dir / "locked"));
}

TEST(CliBridge, SubcommandsAndOptions)
{
    std::string cli = test::shellQuote(test::cliPath().string());
    EXPECT_EQ(test::run(cli + " 2>/dev/null"), 2);
    EXPECT_EQ(test::run(cli + " frobnicate 2>/dev/null"), 2);
    EXPECT_EQ(test::run(cli + " bridge --bogus </dev/null 2>/dev/null"), 2);
    EXPECT_EQ(test::run(cli + " bridge --panel </dev/null 2>/dev/null"), 2);
    EXPECT_EQ(test::capture(cli + " bridge --panel=/tmp </dev/null"), "");
}

}  // namespace
}  // namespace quillon
