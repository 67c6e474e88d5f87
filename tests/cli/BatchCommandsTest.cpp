// quillon-cli frames / convert against the bridge commands they stand for: same names, same
// bytes, the never-overwrite rule, and the exit statuses scripts rely on.
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include "tests/support/TestMedia.hpp"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace quillon::test;

namespace {

std::string cli() { return shellQuote(cliPath().string()); }

std::string readFile(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::string> namesIn(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

// Sends command lines to `quillon-cli bridge` and returns the reply payload of the last command.
json lastReplyOf(const fs::path& dir, const std::vector<json>& commands)
{
    fs::path input = dir / "commands.txt";
    std::ofstream out(input);
    for (const json& command : commands)
        out << command.dump() << "\n";
    out.close();
    std::string printed = capture(cli() + " bridge < " + shellQuote(input.string()));
    json last;
    std::size_t start = 0;
    const std::string prefix = "window.__bridgeResolveRaw(";
    while ((start = printed.find(prefix, start)) != std::string::npos) {
        std::size_t end = printed.find('\n', start);
        std::string line = printed.substr(start + prefix.size(), end - start - prefix.size() - 1);
        last = json::parse(line)["payload"];
        start = end;
    }
    return last;
}

class BatchCommands : public ::testing::Test {
protected:
    void SetUp() override
    {
        dir = freshDir(std::string("cli-") + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        clip = dir / "clip.mp4";
        ASSERT_EQ(run("ffmpeg -loglevel error -f lavfi -i testsrc2=size=160x120:rate=25 -t 2 "
                      "-pix_fmt yuv420p " + shellQuote(clip.string())), 0);
    }
    fs::path dir;
    fs::path clip;
};

}  // namespace

TEST_F(BatchCommands, FramesWritesWhatTheBridgeExportWrites)
{
    fs::path viaCli = dir / "cli";
    fs::path viaBridge = dir / "bridge";
    fs::create_directories(viaBridge);

    std::string printed = capture(cli() + " frames " + shellQuote(clip.string()) + " --out " +
                                  shellQuote(viaCli.string()) + " --step 25 --format jpg --quality 0.7"
                                  " --pick 1,4 2>/dev/null");
    json reply = lastReplyOf(dir, {
        {{"id", 1}, {"cmd", "loadVideo"}, {"args", {{"path", clip.string()}}}},
        {{"id", 2}, {"cmd", "extract"}, {"args", {{"stepPercent", 25}}}},
        {{"id", 3}, {"cmd", "export"}, {"args", {{"ids", {1, 4}}, {"format", "jpg"}, {"quality", 0.7},
                                                  {"dest", viaBridge.string()}}}},
    });

    ASSERT_EQ(reply["written"].size(), 2u) << reply.dump();
    EXPECT_EQ(namesIn(viaCli), (std::vector<std::string>{"clip_p025.jpg", "clip_p100.jpg"}));
    EXPECT_EQ(namesIn(viaCli), namesIn(viaBridge));
    for (const std::string& name : namesIn(viaCli))
        EXPECT_EQ(readFile(viaCli / name), readFile(viaBridge / name)) << name;
    // Standard output lists the written paths, one per line.
    EXPECT_EQ(printed, (viaCli / "clip_p025.jpg").string() + "\n" + (viaCli / "clip_p100.jpg").string() + "\n");
}

TEST_F(BatchCommands, FramesNeverOverwritesAndReportsJson)
{
    fs::path out = dir / "out";
    std::string command = cli() + " frames " + shellQuote(clip.string()) + " --out " + shellQuote(out.string()) +
                          " --pick 0 --json 2>/dev/null";
    EXPECT_EQ(run(command + " >/dev/null"), 0);
    std::string printed = capture(command);
    // One reply object per line: the source description, then the export's reply.
    std::vector<json> lines;
    std::size_t start = 0, end;
    while ((end = printed.find('\n', start)) != std::string::npos) {
        lines.push_back(json::parse(printed.substr(start, end - start)));
        start = end + 1;
    }
    ASSERT_EQ(lines.size(), 2u) << printed;
    EXPECT_EQ(lines[0]["name"], "clip.mp4");
    EXPECT_EQ(lines[1]["written"], json::array({(out / "clip_p000-1.png").string()}));
    EXPECT_EQ(namesIn(out), (std::vector<std::string>{"clip_p000-1.png", "clip_p000.png"}));
}

TEST_F(BatchCommands, ConvertWritesWhatTheBridgeConversionWrites)
{
    fs::path photos = dir / "photos";
    fs::create_directories(photos / "sub");
    fs::create_directories(photos / ".hidden");
    ASSERT_EQ(run("vips black " + shellQuote((photos / "img10.png").string()) + " 40 30 --bands 3"), 0);
    ASSERT_EQ(run("ffmpeg -loglevel error -f lavfi -i testsrc2=size=64x48 -frames:v 1 " +
                  shellQuote((photos / "img2.jpg").string())), 0);
    fs::copy_file(photos / "img2.jpg", photos / "sub" / "c.jpg");
    fs::copy_file(photos / "img2.jpg", photos / ".hidden" / "skip.jpg");
    std::ofstream(photos / "notes.txt") << "not an image";

    fs::path viaCli = dir / "cli";
    fs::path viaBridge = dir / "bridge";
    fs::create_directories(viaBridge);
    EXPECT_EQ(run(cli() + " convert " + shellQuote(photos.string()) + " --out " + shellQuote(viaCli.string()) +
                  " --format tiff >/dev/null 2>&1"), 0);
    json reply = lastReplyOf(dir, {
        {{"id", 1}, {"cmd", "exportImages"}, {"args", {{"paths", {(photos / "img2.jpg").string(),
                                                                    (photos / "img10.png").string(),
                                                                    (photos / "sub" / "c.jpg").string()}},
                                                        {"format", "tiff"}, {"dest", viaBridge.string()}}}},
    });
    ASSERT_EQ(reply["written"].size(), 3u) << reply.dump();
    EXPECT_EQ(namesIn(viaCli), (std::vector<std::string>{"c.tiff", "img10.tiff", "img2.tiff"}));
    for (const std::string& name : namesIn(viaCli))
        EXPECT_EQ(readFile(viaCli / name), readFile(viaBridge / name)) << name;
}

TEST_F(BatchCommands, ExitStatuses)
{
    fs::path photos = dir / "photos";
    fs::create_directories(photos);
    ASSERT_EQ(run("vips black " + shellQuote((photos / "good.png").string()) + " 8 8"), 0);
    std::ofstream(photos / "broken.png") << "no image here";
    fs::path out = dir / "out";

    // Some inputs failed: 1, with the reason on standard error; the good one is still written.
    std::string errors = capture(cli() + " convert " + shellQuote(photos.string()) + " --out " +
                                 shellQuote(out.string()) + " 2>&1 >/dev/null");
    EXPECT_NE(errors.find("broken.png: could not decode image"), std::string::npos) << errors;
    EXPECT_EQ(run(cli() + " convert " + shellQuote(photos.string()) + " --out " + shellQuote(out.string()) +
                  " >/dev/null 2>&1"), 1);
    EXPECT_TRUE(fs::exists(out / "good.png"));
    EXPECT_TRUE(fs::exists(out / "good-1.png"));

    // A file that is no clip: 1. Usage errors: 2. Help: 0.
    EXPECT_EQ(run(cli() + " frames " + shellQuote((photos / "broken.png").string()) + " --out " +
                  shellQuote(out.string()) + " >/dev/null 2>&1"), 1);
    EXPECT_EQ(run(cli() + " frames " + shellQuote(clip.string()) + " >/dev/null 2>&1"), 2);
    EXPECT_EQ(run(cli() + " frames " + shellQuote(clip.string()) + " --out x --format gif >/dev/null 2>&1"), 2);
    EXPECT_EQ(run(cli() + " frames " + shellQuote(clip.string()) + " --out x --pick 99 >/dev/null 2>&1"), 2);
    EXPECT_EQ(run(cli() + " convert --out x --quality 2 a.png >/dev/null 2>&1"), 2);
    EXPECT_EQ(run(cli() + " convert --help >/dev/null 2>&1"), 0);
}
