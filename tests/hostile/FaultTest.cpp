// Faults while Quillon works (a full disk, a destination or source that goes away, a read-only
// folder), names at the file system's length limit, the temporary file of a write, and the work
// bound of a video still.
#include <set>
#include <string>

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bridge/FileWrite.hpp"
#include "media/VideoDecoder.hpp"
#include "tests/bridge/BridgeFixtures.hpp"
#include "tests/support/Fixtures.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using test::command;
using test::shellQuote;

const std::string kWriteFailed = "write failed (permission or disk)";
const std::string kNotWritable = "folder not writable";

bool made(const std::string& line) { return test::run(line) == 0; }

std::set<std::string> namesIn(const fs::path& dir)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

TEST(Faults, AFullDiskFailsOnlyTheFilesThatDidNotFit)
{
    // Under a 64 KiB file size limit flat grey pictures fit and noise (a2, a4) does not. SIGXFSZ
    // is ignored, so a write past the limit fails with EFBIG as it would with ENOSPC.
    const fs::path in = test::freshDir("faults-full/in"), out = test::freshDir("faults-full/out");
    const std::string gray = (in / "gray.png").string(), noise = (in / "noise.png").string();
    ASSERT_TRUE(made("convert -size 300x300 xc:gray " + shellQuote(gray) +
                     " && convert -size 300x300 xc: +noise Random " + shellQuote(noise)));
    const std::vector<std::string> paths = {gray, noise, gray, noise, gray};
    auto run = test::runBridgeCli(
        {command(1, "exportImages", {{"paths", paths}, {"format", "png"}, {"dest", out.string()}})}, "",
        "trap '' XFSZ; ulimit -f 128 && ");
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.replyTo(1)["payload"]["failed"],
              Json::array({{{"path", paths[1]}, {"reason", kWriteFailed}},
                           {{"path", paths[3]}, {"reason", kWriteFailed}}}));
    EXPECT_EQ(run.payloadsOf("window.__onExportProgress").size(), 5u);
    // Only the files that fitted are there, whole, and no temporary file is left.
    const std::set<std::string> kept = {"gray-1.png", "gray-2.png", "gray.png"};
    EXPECT_EQ(namesIn(out), kept);
    for (const std::string& name : kept)
        EXPECT_TRUE(made("vips avg " + shellQuote((out / name).string()) + " >/dev/null")) << name;
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
    RemovingHost host;
    Bridge bridge(host);
    bridge.handleMessage(
        {{"id", 1}, {"cmd", "loadVideo"}, {"args", {{"path", test::bridgeClip().string()}}}});
    host.settle(bridge);
    host.armed = test::freshDir("faults-gone");
    bridge.handleMessage({{"id", 2},
                          {"cmd", "export"},
                          {"args", {{"ids", {0, 1, 2, 3, 4, 5}}, {"dest", host.armed.string()}}}});
    host.settle(bridge);
    EXPECT_TRUE(host.armed.empty());
    EXPECT_EQ(host.payloadsOf("window.__onExportProgress").size(), 6u);
    const Json reply = host.payloadsOf("window.__bridgeResolveRaw").at(1)["payload"];
    EXPECT_EQ(reply["written"].size(), 1u) << reply;
    ASSERT_EQ(reply["failed"].size(), 5u) << reply;
    for (const Json& failure : reply["failed"])
        EXPECT_EQ(failure["reason"], kWriteFailed) << reply;
}

TEST(Faults, ASourceDeletedAfterOpeningIsStillReadThroughTheOpenFile)
{
    fs::path dir = test::freshDir("faults-source");
    ASSERT_TRUE(made("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=160x120:rate=10:duration=2 " +
                     shellQuote((dir / "gone.gif").string())));
    fs::copy_file(test::bridgeClip(), dir / "gone.mp4");
    for (std::string name : {"gone.mp4", "gone.gif"}) {
        SCOPED_TRACE(name);
        test::Rig rig;
        ASSERT_EQ(rig.send("loadVideo", {{"path", (dir / name).string()}})["ok"], true);
        fs::remove(dir / name);
        EXPECT_EQ(rig.send("extract", {{"stepPercent", 10}})["payload"], Json({{"count", 11}}));
        EXPECT_EQ(rig.host.payloadsOf("window.__onFrameReady").size(), 11u);
        const Json p = rig.send("export",
                                {{"ids", {0, 5, 10}}, {"format", "jpg"}, {"dest", dir.string()}})["payload"];
        EXPECT_EQ(p["written"].size(), 3u) << p;
    }
}

TEST(Faults, AReadOnlyFolderFailsEveryItemWithoutProgress)
{
    // As root permission bits do not stop writes, so the program then runs as nobody.
    fs::path dir = test::freshDir("faults-readonly");
    fs::path picture = dir / "ro.png";
    fs::path locked = dir / "locked";
    ASSERT_TRUE(made("convert -size 64x64 xc:blue " + shellQuote(picture.string())));
    fs::create_directory(locked);
    ASSERT_EQ(::chmod(locked.c_str(), 0555), 0);
    auto run = test::runBridgeCli(
        {command(1, "loadVideo", {{"path", test::bridgeClip().string()}}),
         command(2, "export", {{"ids", {3, 1, 3}}, {"dest", locked.string()}}),
         command(3, "exportImages",
                 {{"paths", {picture.string(), "/nonexistent.png"}}, {"dest", locked.string()}})},
        "", ::geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups " : "");
    ASSERT_EQ(run.status, 0);
    ASSERT_EQ(run.replyTo(1)["ok"], true) << "the clip must be readable by nobody";
    auto failures = [&](const std::string& key, const std::vector<Json>& items) {
        Json list = Json::array();
        for (const Json& item : items)
            list.push_back({{key, item}, {"reason", kNotWritable}});
        return Json({{"written", Json::array()}, {"failed", list}, {"folder", locked}});
    };
    EXPECT_EQ(run.replyTo(2)["payload"], failures("id", {1, 3, 3}));
    EXPECT_EQ(run.replyTo(3)["payload"], failures("path", {picture, "/nonexistent.png"}));
    EXPECT_TRUE(run.payloadsOf("window.__onExportProgress").empty());
    EXPECT_TRUE(fs::is_empty(locked));
}

// Names near the 255-byte limit are shortened at a character boundary, keeping the tail that
// tells stills apart and the collision suffixes.
TEST(LongNames, StemsAreShortenedToFitWithTheirSuffixes)
{
    const std::vector<unsigned char> bytes{1, 2, 3};
    const std::string ascii(251, 'a');
    std::string accented;  // two bytes a character
    while (accented.size() < 252)
        accented += "\xC3\xA9";
    for (const auto& [stem, tail] : std::vector<std::pair<std::string, std::string>>{
             {ascii, ""}, {accented, ""}, {ascii, "_p050"}, {accented, "_p100"}}) {
        SCOPED_TRACE(stem.size());
        const fs::path dir = test::freshDir("long-names");
        std::vector<std::string> written;
        for (int i = 0; i < 12; ++i) {
            std::optional<fs::path> file = writeNewFile(dir, stem, tail, "jpeg", bytes);
            ASSERT_TRUE(file) << "write " << i;
            written.push_back(file->filename().string());
        }
        EXPECT_EQ(namesIn(dir).size(), 12u);
        for (std::size_t i = 0; i < written.size(); ++i) {
            const std::string& name = written[i];
            const std::string ending = tail + (i == 0 ? "" : "-" + std::to_string(i)) + ".jpeg";
            EXPECT_LE(name.size(), 255u) << name;
            ASSERT_TRUE(name.ends_with(ending)) << name;
            const std::string kept = name.substr(0, name.size() - ending.size());
            EXPECT_TRUE(stem.starts_with(kept) && kept.size() >= 240) << name;
            EXPECT_TRUE(g_utf8_validate(name.data(), static_cast<gssize>(name.size()), nullptr)) << name;
        }
    }
}

TEST(LongNames, StillsOfAClipWithALongNameAreExported)
{
    const fs::path dir = test::freshDir("long-clip");
    const fs::path clip = dir / (std::string(250, 'c') + ".mp4");
    fs::copy_file(test::bridgeClip(), clip);
    test::Rig rig;
    ASSERT_EQ(rig.send("loadVideo", {{"path", clip.string()}})["ok"], true);
    ASSERT_EQ(rig.send("extract", {{"stepPercent", 50}})["ok"], true);
    for (int round = 0; round < 2; ++round) {
        const Json p = rig.send("export",
                                {{"ids", {0, 2}}, {"format", "jpg"}, {"dest", dir.string()}})["payload"];
        ASSERT_EQ(p["failed"], Json::array()) << p;
        ASSERT_EQ(p["written"].size(), 2u) << p;
        for (const Json& file : p["written"]) {
            const std::string name = fs::path(file.get<std::string>()).filename().string();
            EXPECT_TRUE(name.starts_with(std::string(240, 'c')) && name.find("_p") != std::string::npos)
                << name;
        }
    }
    EXPECT_EQ(namesIn(dir).size(), 5u);
}

// Only the final name ever appears in the destination: the bytes are written into a file that has
// no name until it is complete.
TEST(TemporaryFiles, NothingButTheFinalFileAppearsInTheDestination)
{
    const fs::path dir = test::freshDir("tmpfile");
    const int watch = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ASSERT_GE(watch, 0);
    ASSERT_GE(::inotify_add_watch(watch, dir.c_str(), IN_CREATE | IN_MOVED_TO), 0);
    const std::vector<unsigned char> bytes(100000, 7);
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(writeNewFile(dir, "still", "png", bytes));
    std::vector<std::string> appeared;
    alignas(inotify_event) char buffer[8192];
    for (ssize_t n; (n = ::read(watch, buffer, sizeof buffer)) > 0;) {
        for (char* at = buffer; at < buffer + n;) {
            const auto* event = reinterpret_cast<const inotify_event*>(at);
            appeared.emplace_back(event->len ? event->name : "");
            at += sizeof(inotify_event) + event->len;
        }
    }
    ::close(watch);
    EXPECT_EQ(appeared, (std::vector<std::string>{"still.png", "still-1.png", "still-2.png"}));
    EXPECT_EQ(namesIn(dir), (std::set<std::string>{"still.png", "still-1.png", "still-2.png"}));
    EXPECT_EQ(fs::file_size(dir / "still-2.png"), bytes.size());
}

// A still that needs more decoding than the bound is absent, never the frame where decoding
// stopped, and the decoder goes on giving the stills within the bound. The clip has a key frame
// every second at 10 fps; the bound here allows 5 frames of its size per still.
TEST(WorkBounds, AVideoStillBeyondTheBoundIsAbsentAndLaterStillsAreExact)
{
    std::unique_ptr<VideoDecoder> unbounded = VideoDecoder::open(test::bridgeClip());
    std::unique_ptr<VideoDecoder> bounded = VideoDecoder::open(test::bridgeClip());
    ASSERT_TRUE(unbounded && bounded);
    bounded->setWorkBound(320 * 240 * 5);
    // Each time, and whether it is within 5 frames of the key frame before it.
    for (const auto& [sec, within] : std::vector<std::pair<double, bool>>{
             {3.0, true}, {3.95, false}, {1.2, true}, {1.9, false}, {0.1, true}}) {
        SCOPED_TRACE(sec);
        const std::optional<Image> still = bounded->image(sec);
        ASSERT_EQ(still.has_value(), within);
        if (still) {
            const std::optional<Image> expected = unbounded->image(sec);
            ASSERT_TRUE(expected);
            EXPECT_TRUE(test::samePixels(*still, *expected));
        }
    }
}

}  // namespace
}  // namespace quillon
