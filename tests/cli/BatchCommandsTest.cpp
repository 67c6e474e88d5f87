// quillon-cli frames against the bridge export it stands for, and the exit statuses scripts use.
#include <sstream>

#include <gtest/gtest.h>

#include "tests/bridge/BridgeFixtures.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using test::command;
using test::shellQuote;

const std::string kCli = shellQuote(test::cliPath().string());

using test::contents;

TEST(BatchCommands, FramesWritesWhatTheBridgeExportWritesAndNeverOverwrites)
{
    fs::path dir = test::freshDir("cli-frames");
    std::string clip = test::bridgeClip().string();
    std::string frames = kCli + " frames " + shellQuote(clip) + " --out " + shellQuote((dir / "cli").string()) +
                         " --step 25 --format jpg --quality 0.7 --pick 1,4 2>/dev/null";
    EXPECT_EQ(test::capture(frames), (dir / "cli/clip_p025.jpg").string() + "\n" + (dir / "cli/clip_p100.jpg").string() + "\n");
    fs::create_directory(dir / "bridge");
    test::runBridgeCli({command(1, "loadVideo", {{"path", clip}}), command(2, "extract", {{"stepPercent", 25}}),
                        command(3, "export", {{"ids", {1, 4}}, {"format", "jpg"}, {"quality", 0.7},
                                              {"dest", (dir / "bridge").string()}})});
    for (std::string name : {"clip_p025.jpg", "clip_p100.jpg"})
        EXPECT_TRUE(fs::exists(dir / "bridge" / name) && contents(dir / "cli" / name) == contents(dir / "bridge" / name)) << name;

    // With --json: the replies of the open, the extraction and the export, one object a line.
    std::vector<Json> replies;
    std::istringstream printed(test::capture(frames + " --json"));
    for (std::string line; std::getline(printed, line);)
        replies.push_back(Json::parse(line));
    ASSERT_EQ(replies.size(), 3u);
    EXPECT_EQ(replies[0]["name"], "clip.mp4");
    EXPECT_EQ(replies[2]["written"],
              Json({(dir / "cli/clip_p025-1.jpg").string(), (dir / "cli/clip_p100-1.jpg").string()}));
}

TEST(BatchCommands, ExitStatuses)
{
    fs::path dir = test::freshDir("cli-status");
    fs::path in = test::freshDir("cli-status/in");
    ASSERT_EQ(test::run("vips black " + shellQuote((in / "good.png").string()) + " 8 8"), 0);
    std::ofstream(in / "broken.png") << "no image here";
    const std::string out = " --out " + shellQuote((dir / "out").string());
    const std::string clip = " " + shellQuote(test::bridgeClip().string());

    // Some inputs failed: 1, with the reason on standard error; the good one is still written.
    std::string errors = test::capture(kCli + " convert " + shellQuote(in.string()) + out + " 2>&1 >/dev/null");
    EXPECT_NE(errors.find("broken.png: could not decode image"), std::string::npos) << errors;
    EXPECT_TRUE(fs::exists(dir / "out" / "good.png"));
    const std::vector<std::pair<std::string, int>> cases = {
        {" convert " + shellQuote(in.string()) + out, 1},
        {" frames " + shellQuote((in / "broken.png").string()) + out, 1},  // not a clip
        {" frames" + clip, 2},                                                // no --out
        {" frames" + clip + out + " --format gif", 2},
        {" convert --help", 0},
        {" frobnicate", 2},
        {" bridge --bogus </dev/null", 2},
    };
    for (const auto& [args, status] : cases)
        EXPECT_EQ(test::run(kCli + args + " >/dev/null 2>&1"), status) << args;
}

}  // namespace
}  // namespace quillon
