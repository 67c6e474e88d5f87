// quillon-cli frames against the bridge export it stands for, and the exit statuses scripts use.
#include <sstream>

#include <unistd.h>

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
        {" convert " + shellQuote(in.string()) + out + " --max-side 0", 2},
        {" convert " + shellQuote(in.string()) + out + " --max-side 12px", 2},
        {" convert " + shellQuote(in.string()) + out + " --max-side", 2},
        {" convert " + shellQuote(in.string()) + out + " --format jxl", 2},
        {" frames" + clip + out + " --keep-folders", 2},  // convert's alone
        {" frobnicate", 2},
        {" bridge --bogus </dev/null", 2},
    };
    for (const auto& [args, status] : cases)
        EXPECT_EQ(test::run(kCli + args + " >/dev/null 2>&1"), status) << args;
}

// --max-side, --keep-folders and --format reach the conversion: sizes and formats as vipsheader
// reads them, sub-folders recreated, and a read-only sub-folder failing its own images only (run
// as an unprivileged user when the tests run as root, for whom no folder is read-only).
TEST(BatchCommands, ConvertResizesKeepsFoldersAndWritesWebpAndAvif)
{
    const fs::path dir = test::freshDir("cli-convert");
    const fs::path in = dir / "in", out = dir / "out";
    for (const char* name : {"top.jpg", "trip/a.png", "trip/day 1/b.png", "locked/a.png"}) {
        fs::create_directories((in / name).parent_path());
        ASSERT_EQ(test::run("vips black " + shellQuote((in / name).string()) + " 200 120 --bands 3"), 0);
    }
    fs::create_directories(out / "locked");
    std::string asUser;
    if (::geteuid() == 0) {
        ASSERT_EQ(test::run("chown -R 65534:65534 " + shellQuote(out.string())), 0);
        asUser = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
    }
    fs::permissions(out / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    const std::string convert = asUser + kCli + " convert " + shellQuote(in.string()) + " --out " + shellQuote(out.string());
    EXPECT_EQ(test::run(convert + " --keep-folders --max-side 50 --format webp --quality 0.8 >/dev/null 2>&1"), 1);
    const auto header = [](const fs::path& file) {
        return test::capture("vipsheader " + shellQuote(file.string()) + " 2>/dev/null | sed 's/.*: //'");
    };
    EXPECT_EQ(header(out / "top.webp"), "50x30 uchar, 3 bands, srgb, webpload\n");
    EXPECT_EQ(header(out / "trip/a.webp"), "50x30 uchar, 3 bands, srgb, webpload\n");
    EXPECT_EQ(header(out / "trip/day 1/b.webp"), "50x30 uchar, 3 bands, srgb, webpload\n");
    EXPECT_FALSE(fs::exists(out / "locked/a.webp"));
    fs::permissions(out / "locked", fs::perms::owner_all);
    // Without the options: full size, one folder, so the two a.png clash and one is renamed.
    const std::string errors = test::capture(convert + " --format avif 2>&1 >/dev/null");
    EXPECT_NE(errors.find("1 file was renamed"), std::string::npos) << errors;
    EXPECT_EQ(test::capture("exiftool -s3 -MIMEType " + shellQuote((out / "top.avif").string())), "image/avif\n");
    EXPECT_EQ(header(out / "a-1.avif"), "200x120 uchar, 3 bands, srgb, heifload\n");
    EXPECT_TRUE(fs::exists(out / "a.avif") && fs::exists(out / "b.avif"));
}

}  // namespace
}  // namespace quillon
