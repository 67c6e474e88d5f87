// quillon-cli frames / convert against the bridge commands they stand for: same names, same bytes,
// and the exit statuses scripts rely on.
#include <sstream>

#include <gtest/gtest.h>

#include "tests/bridge/BridgeFixtures.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using test::command;
using test::shellQuote;

const std::string kCli = shellQuote(test::cliPath().string());

std::string contents(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// The files in `a`, which must be the same names with the same bytes as in `b`.
std::vector<std::string> sameFiles(const fs::path& a, const fs::path& b)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(a))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        EXPECT_EQ(contents(a / name), contents(b / name)) << name;
    EXPECT_EQ(names.size(), std::distance(fs::directory_iterator(b), fs::directory_iterator()));
    return names;
}

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
    EXPECT_EQ(sameFiles(dir / "cli", dir / "bridge"), (std::vector<std::string>{"clip_p025.jpg", "clip_p100.jpg"}));

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

TEST(BatchCommands, ConvertWritesWhatTheBridgeConversionWrites)
{
    fs::path dir = test::freshDir("cli-convert");
    fs::path photos = dir / "photos";
    fs::create_directories(photos / "sub");
    fs::create_directories(photos / ".hidden");
    ASSERT_EQ(test::run("vips black " + shellQuote((photos / "img10.png").string()) + " 40 30 --bands 3"), 0);
    ASSERT_EQ(test::run("convert -size 64x48 plasma:fractal " + shellQuote((photos / "img2.jpg").string())), 0);
    fs::copy_file(photos / "img2.jpg", photos / "sub" / "c.jpg");
    fs::copy_file(photos / "img2.jpg", photos / ".hidden" / "skip.jpg");
    std::ofstream(photos / "notes.txt") << "not an image";

    EXPECT_EQ(test::run(kCli + " convert " + shellQuote(photos.string()) + " --out " + shellQuote((dir / "cli").string()) +
                        " --format tiff >/dev/null 2>&1"), 0);
    fs::create_directory(dir / "bridge");
    test::runBridgeCli({command(1, "exportImages", {{"paths", {(photos / "img2.jpg").string(), (photos / "img10.png").string(),
                                                               (photos / "sub" / "c.jpg").string()}},
                                                     {"format", "tiff"}, {"dest", (dir / "bridge").string()}})});
    EXPECT_EQ(sameFiles(dir / "cli", dir / "bridge"), (std::vector<std::string>{"c.tiff", "img10.tiff", "img2.tiff"}));
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
        {" frames" + clip + out + " --pick 99", 2},
        {" convert --out x --quality 2 a.png", 2},
        {" convert --help", 0},
        {"", 2},
        {" frobnicate", 2},
        {" bridge --bogus </dev/null", 2},
        {" bridge --panel </dev/null", 2},
    };
    for (const auto& [args, status] : cases)
        EXPECT_EQ(test::run(kCli + args + " >/dev/null 2>&1"), status) << args;
}

}  // namespace
}  // namespace quillon
