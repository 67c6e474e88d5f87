// Faults around an export or a source while Quillon works: a disk that fills, a destination that
// disappears or cannot be written, a source deleted or emptied after it was opened.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/bridge/BridgeFixtures.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using test::command;
using test::shellQuote;

const std::string kWriteFailed = "write failed (permission or disk)";
const std::string kNotWritable = "folder not writable";

void shell(const std::string& line) { ASSERT_EQ(test::run(line), 0) << line; }

std::vector<std::string> namesIn(const fs::path& dir)
{
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(Faults, AFullDiskFailsOnlyTheFilesThatDidNotFit)
{
    // Under a 64 KiB file size limit flat grey pictures fit and noise (a2, a4) does not. SIGXFSZ
    // is ignored, so a write past the limit fails with EFBIG as it would with ENOSPC.
    fs::path in = test::freshDir("faults-full/in");
    fs::path out = test::freshDir("faults-full/out");
    std::vector<std::string> paths;
    for (std::string name : {"a1", "a2", "a3", "a4", "a5"}) {
        paths.push_back((in / (name + ".png")).string());
        shell("convert -size 300x300 xc:gray " + std::string(name == "a2" || name == "a4" ? "+noise Random " : "") +
              shellQuote(paths.back()));
    }
    auto run = test::runBridgeCli({command(1, "exportImages", {{"paths", paths}, {"format", "png"}, {"dest", out.string()}})},
                                  "", "trap '' XFSZ; ulimit -f 128 && ");
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.replyTo(1)["payload"]["failed"],
              Json::array({{{"path", paths[1]}, {"reason", kWriteFailed}}, {{"path", paths[3]}, {"reason", kWriteFailed}}}));
    EXPECT_EQ(run.payloadsOf("window.__onExportProgress").size(), 5u);
    // Only the files that fitted are there, whole, and no temporary file is left.
    const std::vector<std::string> kept = {"a1.png", "a3.png", "a5.png"};
    EXPECT_EQ(namesIn(out), kept);
    for (const std::string& name : kept)
        EXPECT_EQ(test::run("vips avg " + shellQuote((out / name).string()) + " >/dev/null"), 0) << name;
}

// Removes a folder while the bridge posts its next delivery, on the bridge's own thread: the
// folder disappears right after an export's first file.
struct RemovingHost : test::FakeHost {
    fs::path armed;
    void runOnMain(std::function<void()> task) override
    {
        if (!armed.empty())
            fs::remove_all(std::exchange(armed, {}));
        FakeHost::runOnMain(std::move(task));
    }
};

TEST(Faults, ADestinationRemovedDuringAnExportFailsTheRestOfIt)
{
    fs::path in = test::freshDir("faults-gone-in");
    std::vector<std::string> paths;
    for (int i = 0; i < 6; ++i) {
        paths.push_back((in / ("n" + std::to_string(i) + ".png")).string());
        shell("convert -size 64x64 xc:red " + shellQuote(paths.back()));
    }
    RemovingHost host;
    Bridge bridge(host);
    bridge.handleMessage({{"id", 1}, {"cmd", "loadVideo"}, {"args", {{"path", test::bridgeClip().string()}}}});
    const std::vector<std::pair<std::string, Json>> exports = {{"export", {{"ids", {0, 1, 2, 3, 4, 5}}}},
                                                               {"exportImages", {{"paths", paths}}}};
    for (auto [cmd, args] : exports) {
        SCOPED_TRACE(cmd);
        host.settle(bridge);
        host.clear();
        args["dest"] = test::freshDir("faults-gone-out").string();
        host.armed = args["dest"].get<std::string>();
        bridge.handleMessage({{"id", 2}, {"cmd", cmd}, {"args", args}});
        host.settle(bridge);
        EXPECT_FALSE(fs::exists(args["dest"].get<std::string>()));
        EXPECT_EQ(host.payloadsOf("window.__onExportProgress").size(), 6u);
        const Json reply = host.payloadsOf("window.__bridgeResolveRaw").at(0)["payload"];
        EXPECT_EQ(reply["written"].size(), 1u) << reply;
        ASSERT_EQ(reply["failed"].size(), 5u) << reply;
        for (const Json& failure : reply["failed"])
            EXPECT_EQ(failure["reason"], kWriteFailed) << reply;
    }
}

TEST(Faults, ASourceDeletedOrEmptiedAfterOpeningStillAnswers)
{
    fs::path dir = test::freshDir("faults-source");
    shell("ffmpeg -v error -y -f lavfi -i testsrc=size=160x120:rate=10:duration=2 " + shellQuote((dir / "gone.gif").string()));
    fs::copy_file(test::bridgeClip(), dir / "gone.mp4");
    fs::copy_file(test::bridgeClip(), dir / "emptied.mp4");
    for (std::string name : {"gone.mp4", "gone.gif", "emptied.mp4"}) {
        SCOPED_TRACE(name);
        test::Rig rig;
        ASSERT_EQ(rig.send("loadVideo", {{"path", (dir / name).string()}})["ok"], true);
        const bool deleted = name.starts_with("gone");
        if (deleted)
            fs::remove(dir / name);
        else
            fs::resize_file(dir / name, 0);  // the open file itself loses its data
        EXPECT_EQ(rig.send("extract", {{"stepPercent", 10}})["payload"], Json({{"count", 11}}));
        fs::path out = test::freshDir("faults-source-out");
        const Json p = rig.send("export", {{"ids", {0, 5, 10}}, {"format", "jpg"}, {"dest", out.string()}})["payload"];
        // A deleted file is still read through the open descriptor.
        if (deleted) {
            EXPECT_EQ(rig.host.payloadsOf("window.__onFrameReady").size(), 11u);
            EXPECT_EQ(p["written"].size(), 3u) << p;
        }
        EXPECT_EQ(p["written"].size() + p["failed"].size(), 3u) << p;
        EXPECT_EQ(namesIn(out).size(), p["written"].size()) << "temporary files left";
    }
}

TEST(Faults, AReadOnlyFolderFailsEveryItemWithoutProgress)
{
    // As root permission bits do not stop writes, so the program then runs as nobody.
    fs::path dir = test::freshDir("faults-readonly");
    fs::path picture = dir / "ro.png";
    fs::path locked = dir / "locked";
    shell("convert -size 64x64 xc:blue " + shellQuote(picture.string()));
    fs::create_directory(locked);
    ASSERT_EQ(::chmod(locked.c_str(), 0555), 0);
    auto run = test::runBridgeCli(
        {command(1, "loadVideo", {{"path", test::bridgeClip().string()}}),
         command(2, "export", {{"ids", {3, 1, 3}}, {"dest", locked.string()}}),
         command(3, "exportImages", {{"paths", {picture.string(), "/nonexistent.png"}}, {"dest", locked.string()}})},
        "", ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "");
    ASSERT_EQ(run.status, 0);
    ASSERT_EQ(run.replyTo(1)["ok"], true) << "the clip must be readable by nobody";
    EXPECT_EQ(run.replyTo(2)["payload"]["written"], Json::array());
    EXPECT_EQ(run.replyTo(2)["payload"]["failed"], Json::array({{{"id", 1}, {"reason", kNotWritable}},
                                                                {{"id", 3}, {"reason", kNotWritable}},
                                                                {{"id", 3}, {"reason", kNotWritable}}}));
    EXPECT_EQ(run.replyTo(3)["payload"]["written"], Json::array());
    EXPECT_EQ(run.replyTo(3)["payload"]["failed"],
              Json::array({{{"path", picture.string()}, {"reason", kNotWritable}},
                           {{"path", "/nonexistent.png"}, {"reason", kNotWritable}}}));
    EXPECT_TRUE(run.payloadsOf("window.__onExportProgress").empty());
    EXPECT_TRUE(fs::is_empty(locked));
}

}  // namespace
}  // namespace quillon
