// quillon-cli frames against the bridge export it stands for, and the exit statuses scripts use.
#include <chrono>
#include <csignal>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

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
    std::string frames = kCli + " frames " + shellQuote(clip) + " --out " +
                         shellQuote((dir / "cli").string()) +
                         " --step 25 --format jpg --quality 0.7 --pick 1,4 2>/dev/null";
    EXPECT_EQ(test::capture(frames),
              (dir / "cli/clip_p025.jpg").string() + "\n" + (dir / "cli/clip_p100.jpg").string() + "\n");
    fs::create_directory(dir / "bridge");
    test::runBridgeCli(
        {command(1, "loadVideo", {{"path", clip}}), command(2, "extract", {{"stepPercent", 25}}),
         command(
             3, "export",
             {{"ids", {1, 4}}, {"format", "jpg"}, {"quality", 0.7}, {"dest", (dir / "bridge").string()}})});
    for (std::string name : {"clip_p025.jpg", "clip_p100.jpg"})
        EXPECT_TRUE(fs::exists(dir / "bridge" / name) &&
                    contents(dir / "cli" / name) == contents(dir / "bridge" / name))
            << name;

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
    std::string errors = test::capture(kCli + " convert " + shellQuote(in.string()) + out +
                                       " 2>&1 >/dev/null");
    EXPECT_NE(errors.find("broken.png: could not decode image"), std::string::npos) << errors;
    EXPECT_TRUE(fs::exists(dir / "out" / "good.png"));
    const std::vector<std::pair<std::string, int>> cases = {
        {" convert " + shellQuote(in.string()) + out, 1},
        {" frames " + shellQuote((in / "broken.png").string()) + out, 1},  // not a clip
        {" frames" + clip, 2},                                             // no --out
        {" frames" + clip + out + " --format gif", 2},
        {" convert --help", 0},
        {" frames" + clip + out + " --keep-details", 2},  // a still has no photo details
        {" frames" + clip + out + " --to-srgb", 2},
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

// Ctrl+C while files are being written: the run stops after the file in hand, lists what it
// wrote, keeps it, leaves nothing else, and exits 1.
TEST(BatchCommands, SigintStopsTheRunListsAndKeepsWhatWasWritten)
{
    const fs::path dir = test::freshDir("cli-sigint");
    const fs::path in = dir / "in";
    fs::create_directory(in);
    ASSERT_EQ(test::run("vips black " + shellQuote((in / "p000.png").string()) + " 1200 900"), 0);
    for (int i = 1; i < 150; ++i)
        fs::copy_file(in / "p000.png", in / ("p" + std::to_string(1000 + i) + ".png"));
    struct Case {
        std::string name;
        std::string args;  // the run takes a few seconds undisturbed
        std::size_t total;
    };
    const std::vector<Case> cases = {
        {"frames", "frames " + shellQuote(test::bridgeClip().string()) + " --step 0.5", 201},
        {"convert", "convert " + shellQuote(in.string()) + " --format tiff", 150},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path out = dir / c.name;
        fs::create_directory(out);
        const std::string line = "exec " + kCli + " " + c.args + " --out " + shellQuote(out.string()) + " >" +
                                 shellQuote((dir / (c.name + ".out")).string()) + " 2>" +
                                 shellQuote((dir / (c.name + ".err")).string());
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char*>(nullptr));
            _exit(127);
        }
        // Interrupted once the first file is there, while the others are still to come.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (fs::is_empty(out) && std::chrono::steady_clock::now() < deadline &&
               waitpid(pid, nullptr, WNOHANG) == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        kill(pid, SIGINT);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by a signal";
        EXPECT_EQ(WEXITSTATUS(status), 1);

        std::vector<std::string> listed;
        std::istringstream printed(contents(dir / (c.name + ".out")));
        for (std::string path; std::getline(printed, path);)
            listed.push_back(fs::path(path).filename().string());
        std::sort(listed.begin(), listed.end());
        EXPECT_FALSE(listed.empty());
        EXPECT_LT(listed.size(), c.total) << "the run was not stopped";
        EXPECT_EQ(listed, test::namesIn(out))
            << "every file written is listed, and nothing else is in the folder";
        EXPECT_NE(contents(dir / (c.name + ".err")).find("interrupted after writing"), std::string::npos);
    }
}

// --keep-details and --to-srgb reach the conversion: the output has the camera but not the
// location, and sRGB in place of the photo's wide-gamut profile.
TEST(BatchCommands, ConvertKeepsDetailsAndConvertsToSrgbOnRequest)
{
    fs::path dir = test::freshDir("cli-details");
    const fs::path photo = dir / "photo.png";
    vips::VImage::black(32, 16, vips::VImage::option()->set("bands", 3))
        .linear({1, 1, 1}, {230, 30, 30})
        .cast(VIPS_FORMAT_UCHAR)
        .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB))
        .icc_transform("p3", vips::VImage::option()->set("input_profile", "srgb"))
        .write_to_file(photo.c_str());
    ASSERT_EQ(
        test::run(
            "exiftool -q -q -overwrite_original -Make=Quillontest -GPSLatitude=48.85 -GPSLatitudeRef=N " +
            shellQuote(photo.string())),
        0);
    const std::string convert = kCli + " convert " + shellQuote(photo.string()) + " --out " +
                                shellQuote((dir / "out").string());
    EXPECT_EQ(test::run(convert + " --format jpg --keep-details --to-srgb >/dev/null 2>&1"), 0);
    EXPECT_EQ(test::run(convert + " --format jpg >/dev/null 2>&1"), 0);
    EXPECT_EQ(test::capture("exiftool -q -q -T -Make -GPSLatitude -ProfileDescription " +
                            shellQuote((dir / "out/photo.jpg").string()) + " " +
                            shellQuote((dir / "out/photo-1.jpg").string())),
              "Quillontest\t-\tsRGB\n-\t-\tsP3C\n");
    const std::string help = test::capture(kCli + " convert --help");
    EXPECT_NE(help.find("--keep-details"), std::string::npos);
    EXPECT_NE(help.find("--to-srgb"), std::string::npos);
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
    // As root, the run is made as an unprivileged user who can reach the program and the files (a
    // checkout in a private home folder cannot be reached), else the read-only case is left out.
    std::string asUser;
    bool lockable = ::geteuid() != 0;
    if (!lockable) {
        const std::string nobody = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
        if (test::run(nobody + "sh -c 'test -x \"$0\" && test -r \"$1\"' " + kCli + " " +
                      shellQuote((in / "top.jpg").string()) + " 2>/dev/null") == 0) {
            ASSERT_EQ(test::run("chown -R 65534:65534 " + shellQuote(out.string())), 0);
            asUser = nobody;
            lockable = true;
        }
    }
    if (lockable)
        fs::permissions(out / "locked", fs::perms::owner_read | fs::perms::owner_exec);
    const std::string convert = asUser + kCli + " convert " + shellQuote(in.string()) + " --out " +
                                shellQuote(out.string());
    EXPECT_EQ(
        test::run(convert + " --keep-folders --max-side 50 --format webp --quality 0.8 >/dev/null 2>&1"),
        lockable ? 1 : 0);
    const auto header = [](const fs::path& file) {
        return test::capture("vipsheader " + shellQuote(file.string()) + " 2>/dev/null | sed 's/.*: //'");
    };
    for (const char* name : {"top.webp", "trip/a.webp", "trip/day 1/b.webp"})
        EXPECT_EQ(header(out / name), "50x30 uchar, 3 bands, srgb, webpload\n") << name;
    EXPECT_EQ(fs::exists(out / "locked/a.webp"), !lockable);
    fs::permissions(out / "locked", fs::perms::owner_all);
    // Without the options: full size, one folder, so the two a.png clash and one is renamed.
    const std::string errors = test::capture(convert + " --format avif 2>&1 >/dev/null");
    EXPECT_NE(errors.find("1 file was renamed"), std::string::npos) << errors;
    EXPECT_EQ(test::capture("exiftool -s3 -MIMEType " + shellQuote((out / "top.avif").string())),
              "image/avif\n");
    EXPECT_EQ(header(out / "a-1.avif"), "200x120 uchar, 3 bands, srgb, heifload\n");
    EXPECT_TRUE(fs::exists(out / "a.avif") && fs::exists(out / "b.avif"));
}

}  // namespace
}  // namespace quillon
