// `quillon-cli bridge`: command lines in, the page's scripts out.
#include <gtest/gtest.h>

#include "tests/bridge/BridgeFixtures.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;

TEST(CliBridge, OnlyWellFormedCommandsAreAnswered)
{
    auto run = test::runBridgeCli({
        "this is not json", "", "[1, 2]", R"("setMode")", "null", "{}",
        R"({"id": "7", "cmd": "setMode"})",                   // the text 7 is not a number
        R"({"id": true, "cmd": "setMode"})",
        R"({"id": 7.5, "cmd": "setMode"})",                   // not integral
        R"({"id": 1e300, "cmd": "setMode"})",                 // integral, but out of range
        R"({"id": 18446744073709551615, "cmd": "setMode"})",
        R"({"id": 3})", R"({"id": 3, "cmd": 5})", R"({"cmd": "setMode"})",
        R"({"drop": "not a list"})", R"({"drop": [], "id": 5})",
        R"({"id": 4, "cmd": "setMode", "args": [1]})",
        R"({"id": 9, "cmd": "extract "})",
    });
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.lines, (std::vector<std::string>{
                             R"(window.__bridgeResolveRaw({"id":4,"ok":true,"payload":null}))",
                             R"(window.__bridgeResolveRaw({"id":9,"ok":false,"payload":"unknown cmd: extract "}))"}));
}

TEST(CliBridge, PanelsAreAnsweredInOrderThenCancelled)
{
    // The open queued by the first answer still finishes after the end of input.
    fs::path dir = test::freshDir("cli-panels");
    auto run = test::runBridgeCli(
        {test::command(1, "chooseVideo"), test::command(2, "chooseDest"), test::command(3, "chooseVideo")},
        " --panel " + test::shellQuote(test::bridgeClip().string()) + " --panel " + test::shellQuote(dir.string()));
    ASSERT_EQ(run.status, 0);
    ASSERT_EQ(run.calls.size(), 3u);
    EXPECT_EQ(run.replyTo(1)["payload"]["name"], "clip.mp4");
    EXPECT_EQ(run.replyTo(2)["payload"], Json({{"path", dir.string()}}));
    EXPECT_EQ(run.replyTo(3), Json({{"id", 3}, {"ok", true}, {"payload", nullptr}}));
}

}  // namespace
}  // namespace quillon
