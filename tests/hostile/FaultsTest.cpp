// Faults around an export or a source while Quillon works: a disk that fills, a destination that
// disappears or cannot be written, a source that is deleted or emptied after it was opened.
#include <fstream>
#include <set>

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/hostile/ChildBridge.hpp"
#include "tests/hostile/HostileMedia.hpp"
#include "tests/support/TestMedia.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::ChildBridge;
using test::commandLine;

const std::string kWriteFailed = "write failed (permission or disk)";

void shell(const std::string& line) { ASSERT_EQ(test::run(line), 0) << line; }

std::string ffmpeg() { return "ffmpeg -nostdin -hide_banner -loglevel error -y "; }

// A 4 s clip at 10 fps whose first two seconds are flat grey and last two seconds are noise, so
// the same export gives tiny and large files.
fs::path flatThenNoisyClip()
{
    fs::path file = test::freshDir("faults-clip") / "halves.mkv";
    EXPECT_EQ(test::run(ffmpeg() + "-f lavfi -i \"color=c=gray:s=320x240:r=10:d=4,format=yuv420p,"
                                   "noise=alls=100:allf=t+u:enable='gte(t,2)'\" -c:v libx264 -crf 0 " +
                        test::shellQuote(file.string())),
              0);
    return file;
}

std::set<std::string> filenamesIn(const fs::path& dir)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

TEST(Faults, DiskFillingDuringImageExportFailsOnlyTheFilesThatDidNotFit)
{
    fs::path in = test::freshDir("faults-fill-images/in");
    fs::path out = test::freshDir("faults-fill-images/out");
    // Small, large, small, large, small: the large ones do not fit under a 64 KiB file size limit.
    for (std::string name : {"a1", "a3", "a5"})
        shell("convert -size 300x300 xc:gray " + test::shellQuote((in / (name + ".png")).string()));
    for (std::string name : {"a2", "a4"})
        shell("convert -size 300x300 xc: +noise Random " + test::shellQuote((in / (name + ".png")).string()));
    std::vector<std::string> paths;
    for (std::string name : {"a1", "a2", "a3", "a4", "a5"})
        paths.push_back((in / (name + ".png")).string());

    test::ChildLimits limits;
    limits.fileSizeBytes = 64 * 1024;
    ChildBridge child(limits);
    test::runScript(child, {commandLine(1, "exportImages", {{"paths", paths}, {"format", "png"}, {"dest", out.string()}})});
    ASSERT_TRUE(child.exitedCleanly()) << child.describe();
    auto replies = child.replies();
    ASSERT_EQ(replies.size(), 1u) << child.describe();
    const json& p = replies[0]["payload"];
    EXPECT_EQ(p["written"], json::array({(out / "a1.png").string(), (out / "a3.png").string(),
                                         (out / "a5.png").string()}));
    EXPECT_EQ(p["failed"], json::array({{{"path", paths[1]}, {"reason", kWriteFailed}},
                                        {{"path", paths[3]}, {"reason", kWriteFailed}}}));
    EXPECT_EQ(child.payloadsOf("window.__onExportProgress").size(), 5u);
    // Only the files that fitted are there, whole, and no temporary file is left.
    EXPECT_EQ(filenamesIn(out), (std::set<std::string>{"a1.png", "a3.png", "a5.png"}));
    for (std::string name : {"a1.png", "a3.png", "a5.png"})
        EXPECT_EQ(test::capture("vipsheader -f width " + test::shellQuote((out / name).string())), "300\n");
}

TEST(Faults, DiskFillingDuringFrameExportFailsOnlyTheFramesThatDidNotFit)
{
    fs::path clip = flatThenNoisyClip();
    fs::path out = test::freshDir("faults-fill-frames/out");
    test::ChildLimits limits;
    limits.fileSizeBytes = 64 * 1024;
    ChildBridge child(limits);
    // No extraction: ids fall back to the 5 % plan, id k at k * 5 % of the 4 s.
    test::runScript(child, {commandLine(1, "loadVideo", {{"path", clip.string()}}),
                            commandLine(2, "export", {{"ids", {0, 4, 8, 12, 16}}, {"format", "png"}, {"dest", out.string()}})});
    ASSERT_TRUE(child.exitedCleanly()) << child.describe();
    auto replies = child.replies();
    ASSERT_EQ(replies.size(), 2u) << child.describe();
    const json& p = replies[1]["payload"];
    EXPECT_EQ(p["written"], json::array({(out / "halves_p000.png").string(), (out / "halves_p020.png").string(),
                                         (out / "halves_p040.png").string()}))
        << p;
    EXPECT_EQ(p["failed"], json::array({{{"id", 12}, {"reason", kWriteFailed}}, {{"id", 16}, {"reason", kWriteFailed}}}))
        << p;
    EXPECT_EQ(filenamesIn(out), (std::set<std::string>{"halves_p000.png", "halves_p020.png", "halves_p040.png"}));
}

// Removes the destination as soon as the first progress event of request id is printed, then
// waits for the reply.
json removeDestinationMidway(ChildBridge& child, std::int64_t id, const fs::path& dest)
{
    bool removed = false;
    while (auto line = child.readLine()) {
        if (!removed && line->rfind("window.__onExportProgress(", 0) == 0) {
            // The export keeps writing meanwhile: a file published between the listing and the
            // removal of the folder makes one attempt fail with "not empty", so try again.
            for (int attempt = 0; attempt < 1000 && fs::exists(dest); ++attempt) {
                std::error_code error;
                fs::remove_all(dest, error);
            }
            removed = !fs::exists(dest);
        }
        if (line->rfind("window.__bridgeResolveRaw({\"id\":" + std::to_string(id) + ",", 0) == 0)
            break;
    }
    child.finish();
    EXPECT_TRUE(removed) << child.describe();
    auto replies = child.replies();
    return replies.empty() ? json() : replies.back();
}

void expectCountsAfterRemoval(const json& reply, std::size_t total, const ChildBridge& child)
{
    ASSERT_TRUE(reply.is_object()) << child.describe();
    const json& p = reply["payload"];
    EXPECT_EQ(p["written"].size() + p["failed"].size(), total) << p;
    EXPECT_GE(p["failed"].size(), 1u) << p;
    for (const json& failure : p["failed"])
        EXPECT_EQ(failure["reason"], kWriteFailed) << p;
    EXPECT_TRUE(child.exitedCleanly()) << child.describe();
}

TEST(Faults, DestinationRemovedDuringFrameExport)
{
    fs::path clip = test::freshDir("faults-gone-frames") / "big.mp4";
    shell(ffmpeg() + "-f lavfi -i testsrc2=size=1280x720:rate=25:duration=8 -c:v libx264 -pix_fmt yuv420p " +
          test::shellQuote(clip.string()));
    fs::path out = test::freshDir("faults-gone-frames/out");
    ChildBridge child;
    std::vector<int> ids;
    for (int i = 0; i <= 20; ++i)
        ids.push_back(i);
    child.send(commandLine(1, "loadVideo", {{"path", clip.string()}}));
    child.send(commandLine(2, "export", {{"ids", ids}, {"format", "png"}, {"dest", out.string()}}));
    json reply = removeDestinationMidway(child, 2, out);
    expectCountsAfterRemoval(reply, ids.size(), child);
    EXPECT_EQ(child.payloadsOf("window.__onExportProgress").size(), ids.size());
}

TEST(Faults, DestinationRemovedDuringImageExport)
{
    fs::path in = test::freshDir("faults-gone-images/in");
    std::vector<std::string> paths;
    for (int i = 0; i < 16; ++i) {
        fs::path file = in / ("n" + std::to_string(i) + ".png");
        paths.push_back(file.string());
    }
    shell("convert -size 900x900 xc: +noise Random " + test::shellQuote(paths[0]));
    for (std::size_t i = 1; i < paths.size(); ++i)
        fs::copy_file(paths[0], paths[i]);
    fs::path out = test::freshDir("faults-gone-images/out");
    ChildBridge child;
    child.send(commandLine(1, "exportImages", {{"paths", paths}, {"format", "png"}, {"dest", out.string()}}));
    json reply = removeDestinationMidway(child, 1, out);
    expectCountsAfterRemoval(reply, paths.size(), child);
}

TEST(Faults, SourceDeletedAfterOpeningKeepsWorkingFromTheOpenFile)
{
    fs::path dir = test::freshDir("faults-deleted");
    fs::path clip = dir / "gone.mp4";
    fs::path gif = dir / "gone.gif";
    shell(ffmpeg() + "-f lavfi -i testsrc=size=320x240:rate=10:duration=3 -c:v libx264 -pix_fmt yuv420p " +
          test::shellQuote(clip.string()));
    shell(ffmpeg() + "-f lavfi -i testsrc=size=160x120:rate=10:duration=2 " + test::shellQuote(gif.string()));
    for (const fs::path& file : {clip, gif}) {
        fs::path out = test::freshDir("faults-deleted/out-" + file.extension().string().substr(1));
        ChildBridge child;
        child.send(commandLine(1, "loadVideo", {{"path", file.string()}}));
        auto opened = child.waitReply(1);
        ASSERT_TRUE(opened && (*opened)["ok"] == true) << child.describe();
        fs::remove(file);
        test::runScript(child, {commandLine(2, "extract", {{"stepPercent", 10}}),
                                commandLine(3, "export", {{"ids", {0, 5, 10}}, {"format", "jpg"}, {"dest", out.string()}})});
        ASSERT_TRUE(child.exitedCleanly()) << child.describe();
        auto replies = child.replies();
        ASSERT_EQ(replies.size(), 3u) << child.describe();
        EXPECT_EQ(replies[1]["payload"], json({{"count", 11}})) << file;
        EXPECT_EQ(child.payloadsOf("window.__onFrameReady").size(), 11u) << file;
        EXPECT_EQ(replies[2]["payload"]["written"].size(), 3u) << file << replies[2];
    }
}

TEST(Faults, SourceEmptiedAfterOpeningAnswersEveryCommand)
{
    // Truncated in place: the open file itself loses its data, as when another program rewrites it.
    fs::path dir = test::freshDir("faults-emptied");
    fs::path clip = dir / "emptied.mp4";
    shell(ffmpeg() + "-f lavfi -i testsrc=size=320x240:rate=10:duration=3 -c:v libx264 -pix_fmt yuv420p " +
          test::shellQuote(clip.string()));
    ChildBridge child;
    child.send(commandLine(1, "loadVideo", {{"path", clip.string()}}));
    ASSERT_TRUE(child.waitReply(1)) << child.describe();
    ASSERT_EQ(::truncate(clip.c_str(), 0), 0);
    test::runScript(child, {commandLine(2, "extract", {{"stepPercent", 10}}),
                            commandLine(3, "export", {{"ids", {0, 5, 10}}, {"format", "png"}, {"dest", dir.string()}})});
    ASSERT_TRUE(child.exitedCleanly()) << child.describe();
    auto replies = child.replies();
    ASSERT_EQ(replies.size(), 3u) << child.describe();
    EXPECT_EQ(replies[1]["payload"], json({{"count", 11}}));
    EXPECT_EQ(child.payloadsOf("window.__onExtractProgress").size(), 12u);
    const json& p = replies[2]["payload"];
    EXPECT_EQ(p["written"].size() + p["failed"].size(), 3u) << p;
    EXPECT_TRUE(test::temporaryFilesIn(dir).empty());
}

TEST(Faults, ImageDeletedAfterImportFailsItsConversion)
{
    fs::path in = test::freshDir("faults-image-gone/in");
    fs::path out = test::freshDir("faults-image-gone/out");
    fs::path keep = in / "keep.png";
    fs::path gone = in / "gone.png";
    shell("convert -size 64x64 xc:red " + test::shellQuote(keep.string()));
    fs::copy_file(keep, gone);
    ChildBridge child;
    child.send(commandLine(1, "importImages", {{"paths", {in.string()}}}));
    ASSERT_TRUE(child.waitReply(1)) << child.describe();
    fs::remove(gone);
    test::runScript(child, {commandLine(2, "exportImages", {{"paths", {gone.string(), keep.string()}},
                                                            {"format", "jpg"}, {"dest", out.string()}})});
    auto replies = child.replies();
    ASSERT_EQ(replies.size(), 2u) << child.describe();
    EXPECT_EQ(replies[1]["payload"]["written"], json::array({(out / "keep.jpg").string()}));
    EXPECT_EQ(replies[1]["payload"]["failed"],
              json::array({{{"path", gone.string()}, {"reason", "could not decode image"}}}));
}

// A folder the child may not write into. As root, permission bits do not stop writes, so the child
// runs as nobody (setpriv) and the folder stays root's; otherwise the folder is made read-only.
struct ReadOnlyFolder {
    fs::path dir;
    std::vector<std::string> wrapper;

    explicit ReadOnlyFolder(const std::string& name) : dir(test::freshDir(name))
    {
        if (::geteuid() == 0)
            wrapper = {"setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"};
        else
            fs::permissions(dir, fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                     fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);
    }
    ~ReadOnlyFolder() { fs::permissions(dir, fs::perms::owner_all, fs::perm_options::add); }
};

// The child running as another user must reach the sources: the test-media folders are made
// world-readable on the way down from the build tree.
void makeReachable(const fs::path& file)
{
    for (fs::path p = file; p.has_relative_path() && p != p.root_path(); p = p.parent_path()) {
        std::error_code error;
        fs::permissions(p, fs::perms::others_read | (fs::is_directory(p) ? fs::perms::others_exec : fs::perms::none),
                        fs::perm_options::add, error);
        if (p == fs::path(QUILLON_TEST_WORK_DIR))
            break;
    }
}

TEST(Faults, ReadOnlyFolderFailsEveryFrameAndEveryImageWithoutProgress)
{
    fs::path src = test::freshDir("faults-readonly-src");
    fs::path clip = src / "ro.mp4";
    fs::path picture = src / "ro.png";
    shell(ffmpeg() + "-f lavfi -i testsrc=size=160x120:rate=10:duration=2 -c:v libx264 -pix_fmt yuv420p " +
          test::shellQuote(clip.string()));
    shell("convert -size 64x64 xc:blue " + test::shellQuote(picture.string()));
    makeReachable(clip);
    makeReachable(picture);

    ReadOnlyFolder folder("faults-readonly-out");
    ChildBridge child({}, {}, folder.wrapper);
    test::runScript(child, {commandLine(1, "loadVideo", {{"path", clip.string()}}),
                            commandLine(2, "export", {{"ids", {3, 1}}, {"dest", folder.dir.string()}}),
                            commandLine(3, "exportImages", {{"paths", {picture.string(), "/nonexistent.png"}},
                                                            {"dest", folder.dir.string()}})});
    ASSERT_TRUE(child.exitedCleanly()) << child.describe();
    auto replies = child.replies();
    ASSERT_EQ(replies.size(), 3u) << child.describe();
    ASSERT_EQ(replies[0]["ok"], true) << replies[0];
    EXPECT_EQ(replies[1]["payload"]["written"], json::array());
    EXPECT_EQ(replies[1]["payload"]["failed"], json::array({{{"id", 1}, {"reason", "folder not writable"}},
                                                            {{"id", 3}, {"reason", "folder not writable"}}}));
    EXPECT_EQ(replies[2]["payload"]["written"], json::array());
    EXPECT_EQ(replies[2]["payload"]["failed"],
              json::array({{{"path", picture.string()}, {"reason", "folder not writable"}},
                           {{"path", "/nonexistent.png"}, {"reason", "folder not writable"}}}));
    EXPECT_TRUE(child.payloadsOf("window.__onExportProgress").empty());
    EXPECT_TRUE(fs::is_empty(folder.dir));
}

}  // namespace
}  // namespace quillon
