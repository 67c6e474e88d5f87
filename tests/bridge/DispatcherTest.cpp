// The dispatcher, the argument kinds and the delivery format, driven through a fake host.
#include <gtest/gtest.h>

#include "bridge/Args.hpp"
#include "bridge/Bridge.hpp"
#include "tests/support/FakeHost.hpp"

namespace quillon {
namespace {

using test::FakeHost;

const std::string kReply = "window.__bridgeResolveRaw";

TEST(Dispatcher, MalformedMessagesGetNoReplyAtAll)
{
    FakeHost host;
    Bridge bridge(host);
    for (const char* body : {
             R"([1, 2])", R"("setMode")", R"(7)", R"(null)", R"({})",
             R"({"id": "7", "cmd": "setMode"})",       // the text 7 is not a number
             R"({"id": true, "cmd": "setMode"})",      // nor is a boolean
             R"({"id": 7.5, "cmd": "setMode"})",       // not integral
             R"({"id": 1e300, "cmd": "setMode"})",     // integral, but no request id
             R"({"id": 18446744073709551615, "cmd": "setMode"})",
             R"({"id": 3})",                           // no "cmd"
             R"({"id": 3, "cmd": 5})",                 // "cmd" not a string
             R"({"cmd": "setMode"})",                  // no "id"
         })
        bridge.handleMessage(Json::parse(body));
    host.settle(bridge);
    EXPECT_TRUE(host.scripts().empty());
}

TEST(Dispatcher, RepliesAreCompactAndAlwaysAsynchronous)
{
    FakeHost host;
    Bridge bridge(host);
    // "args" that is not an object counts as empty, so the mode falls back to "video".
    bridge.handleMessage(Json::parse(R"({"id": 4, "cmd": "setMode", "args": [1, 2]})"));
    bridge.handleMessage(Json::parse(R"({"id": 7.0, "cmd": "setMode"})"));
    bridge.handleMessage(Json::parse(R"({"id": -9007199254740993, "cmd": "reveal"})"));
    EXPECT_TRUE(host.scripts().empty()) << "a reply must not be evaluated inside the message call";
    host.settle(bridge);
    ASSERT_EQ(host.scripts().size(), 3u);
    EXPECT_EQ(host.scripts()[0], R"(window.__bridgeResolveRaw({"id":4,"ok":true,"payload":null}))");
    EXPECT_EQ(host.scripts()[1], R"(window.__bridgeResolveRaw({"id":7,"ok":true,"payload":null}))");
    EXPECT_EQ(host.scripts()[2],
              R"(window.__bridgeResolveRaw({"id":-9007199254740993,"ok":true,"payload":null}))");
}

TEST(Dispatcher, UnknownNamesAreMatchedExactly)
{
    FakeHost host;
    Bridge bridge(host);
    bridge.handleMessage({{"id", 1}, {"cmd", "ChooseVideo"}});
    bridge.handleMessage({{"id", 2}, {"cmd", "extract "}});
    bridge.handleMessage({{"id", 3}, {"cmd", ""}});
    host.settle(bridge);
    auto replies = host.payloadsOf(kReply);
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0], Json({{"id", 1}, {"ok", false}, {"payload", "unknown cmd: ChooseVideo"}}));
    EXPECT_EQ(replies[1]["payload"], "unknown cmd: extract ");
    EXPECT_EQ(replies[2]["payload"], "unknown cmd: ");
    EXPECT_TRUE(host.panels.empty());
}

TEST(Dispatcher, ChecksMadeBeforeAnyWork)
{
    FakeHost host;
    Bridge bridge(host);
    bridge.handleMessage({{"id", 1}, {"cmd", "loadVideo"}});
    bridge.handleMessage({{"id", 2}, {"cmd", "loadVideo"}, {"args", {{"path", ""}}}});
    bridge.handleMessage({{"id", 3}, {"cmd", "loadVideo"}, {"args", {{"path", 3}}}});
    bridge.handleMessage({{"id", 4}, {"cmd", "extract"}, {"args", {{"stepPercent", 10}}}});
    bridge.handleMessage({{"id", 5}, {"cmd", "export"}, {"args", {{"ids", {0, 1}}, {"dest", "/tmp"}}}});
    host.settle(bridge);
    EXPECT_EQ(host.deliveries().size(), 5u) << "no event may come before these replies";
    auto replies = host.payloadsOf(kReply);
    ASSERT_EQ(replies.size(), 5u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(replies[i], Json({{"id", i + 1}, {"ok", false}, {"payload", "missing path"}}));
    EXPECT_EQ(replies[3], Json({{"id", 4}, {"ok", false}, {"payload", "No source loaded"}}));
    EXPECT_EQ(replies[4], Json({{"id", 5}, {"ok", false}, {"payload", "No source loaded"}}));
    EXPECT_TRUE(host.panels.empty());
}

TEST(Dispatcher, PayloadsWithBytesThatAreNotUtf8StillArrive)
{
    FakeHost host;
    Bridge bridge(host);
    bridge.resolve(5, true, Json{{"path", std::string("/media/caf\xe9.mov")}});
    bridge.emit("window.__onDrop", nullptr);
    host.settle(bridge);
    ASSERT_EQ(host.scripts().size(), 2u);
    EXPECT_EQ(host.scripts()[0],
              "window.__bridgeResolveRaw({\"id\":5,\"ok\":true,\"payload\":{\"path\":\"/media/caf\xef\xbf\xbd.mov\"}})");
    EXPECT_EQ(host.scripts()[1], "window.__onDrop(null)");
}

TEST(Dispatcher, PanelsOfTheSourceCommands)
{
    FakeHost host;
    Bridge bridge(host);
    host.panelAnswers = {{}, {"/home/me/Frames"}, {}};
    bridge.handleMessage({{"id", 1}, {"cmd", "chooseVideo"}});
    bridge.handleMessage({{"id", 2}, {"cmd", "chooseDest"}});
    bridge.handleMessage({{"id", 3}, {"cmd", "chooseDest"}, {"args", {{"ignored", true}}}});
    host.settle(bridge);

    ASSERT_EQ(host.panels.size(), 3u);
    const PanelRequest& video = host.panels[0];
    EXPECT_EQ(video.kind, PanelRequest::Kind::OpenFile);
    EXPECT_EQ(video.title, "Choose a video or animated GIF");
    EXPECT_EQ(video.acceptLabel, "Open");
    ASSERT_EQ(video.filters.size(), 1u);
    EXPECT_EQ(video.filters[0].mimeTypes,
              (std::vector<std::string>{"video/*", "image/gif", "video/webm", "video/x-matroska",
                                        "video/x-msvideo"}));
    EXPECT_EQ(video.filters[0].patterns,
              (std::vector<std::string>{"*.avi", "*.gif", "*.m2v", "*.m4v", "*.mkv", "*.mov", "*.mp4",
                                        "*.mpeg", "*.mpg", "*.webm"}));
    const PanelRequest& dest = host.panels[1];
    EXPECT_EQ(dest.kind, PanelRequest::Kind::OpenFolder);
    EXPECT_EQ(dest.title, "Choose a folder to save the frames");
    EXPECT_EQ(dest.acceptLabel, "Choose");
    EXPECT_TRUE(dest.canCreateFolders);

    auto replies = host.payloadsOf(kReply);
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0], Json({{"id", 1}, {"ok", true}, {"payload", nullptr}}));
    EXPECT_EQ(replies[1], Json({{"id", 2}, {"ok", true}, {"payload", {{"path", "/home/me/Frames"}}}}));
    EXPECT_EQ(replies[2], Json({{"id", 3}, {"ok", true}, {"payload", nullptr}}));
}

TEST(Dispatcher, RevealAsksTheHostEvenForNothing)
{
    FakeHost host;
    Bridge bridge(host);
    bridge.handleMessage({{"id", 1}, {"cmd", "reveal"}});
    bridge.handleMessage({{"id", 2}, {"cmd", "reveal"}, {"args", {{"paths", {"/a b/c.png", "/missing"}}}}});
    bridge.handleMessage({{"id", 3}, {"cmd", "reveal"}, {"args", {{"paths", {"/a", 1}}}}});
    host.settle(bridge);
    EXPECT_EQ(host.revealed, (std::vector<std::vector<std::string>>{
                                 {}, {"/a b/c.png", "/missing"}, {}}));
    auto replies = host.payloadsOf(kReply);
    ASSERT_EQ(replies.size(), 3u);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(replies[i], Json({{"id", i + 1}, {"ok", true}, {"payload", nullptr}}));
}

TEST(ArgumentKinds, WrongTypesGiveTheDefaults)
{
    Json a = Json::parse(R"({"s": "", "n": 3, "f": 2.5, "b": true, "strs": ["a", "b"],
        "mixed": ["a", 1], "ints": [5, 2.0, -1], "frac": [1, 2.5], "big": [18446744073709551615],
        "p": "", "q": "/x"})");
    EXPECT_EQ(args::string(a, "s", "d"), "");
    EXPECT_EQ(args::string(a, "n", "d"), "d");
    EXPECT_EQ(args::number(a, "n", 5), 3.0);
    EXPECT_EQ(args::number(a, "f", 5), 2.5);
    EXPECT_EQ(args::number(a, "b", 5), 5.0);
    EXPECT_EQ(args::number(a, "s", 5), 5.0);
    EXPECT_EQ(args::strings(a, "strs"), (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(args::strings(a, "mixed").empty());
    EXPECT_TRUE(args::strings(a, "s").empty());
    EXPECT_EQ(args::integers(a, "ints"), (std::vector<std::int64_t>{5, 2, -1}));
    EXPECT_TRUE(args::integers(a, "frac").empty());
    EXPECT_TRUE(args::integers(a, "big").empty());
    EXPECT_FALSE(args::path(a, "p"));
    EXPECT_FALSE(args::path(a, "n"));
    EXPECT_EQ(args::path(a, "q"), "/x");
}

}  // namespace
}  // namespace quillon
