// Damaged, forged and absurd files, and faults while Quillon works. Files go through `quillon-cli
// bridge` killed after 120 s and (outside AddressSanitizer) held to 4 GiB of address space: every
// command is answered once, the program ends normally, and its peak resident size stays under
// 1 GiB (the pixel limits of media/MediaLimits.hpp and the video decoder refuse forged sizes).
#include <array>
#include <map>
#include <random>
#include <set>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "media/Extensions.hpp"
#include "tests/bridge/BridgeFixtures.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using test::command;
using test::shellQuote;

#ifdef __SANITIZE_ADDRESS__
const std::string kLimits = "timeout 120 ";
const long kMaxRssMiB = 4096;
#else
const std::string kLimits = "ulimit -v 4194304 && timeout 120 ";
const long kMaxRssMiB = 1024;
#endif
const std::string kFfmpeg = "ffmpeg -nostdin -v error -y ";

void shell(const std::string& line) { ASSERT_EQ(test::run(line), 0) << line; }

// What each file got: the replies to loadVideo, extract, export, importImages and exportImages
// (request ids 10k+1 to 10k+5 for file k), and what dropping it on the window in video mode gave.
enum { kLoad, kExtract, kExport, kImport, kExportImages };
struct Outcome {
    std::array<Json, 5> replies;
    std::vector<Json> drops;  // window.__onDrop payloads
};

// Whatever a file gives, the answers keep their shapes and each export lists each item once.
void expectWellFormed(const Outcome& o)
{
    EXPECT_LE(o.drops.size(), 1u);
    if (o.replies[kLoad]["ok"] == true) {
        EXPECT_EQ(o.replies[kExtract]["ok"], true);
        const Json& p = o.replies[kExport]["payload"];
        EXPECT_EQ(p["written"].size() + p["failed"].size(), 3u) << p;
    } else {
        EXPECT_EQ(o.replies[kLoad]["payload"], "Could not read that file as a video or GIF.");
    }
    EXPECT_EQ(o.replies[kExportImages]["payload"]["written"].size() +
                  o.replies[kExportImages]["payload"]["failed"].size(),
              1u);
}

std::vector<Outcome> runAllCommands(const std::vector<fs::path>& files, const fs::path& out)
{
    std::vector<std::string> lines;
    for (std::size_t k = 0; k < files.size(); ++k) {
        const Json path = files[k].string();
        const auto id = static_cast<std::int64_t>(10 * k);
        lines.push_back(command(id + 1, "loadVideo", {{"path", path}}));
        lines.push_back(command(id + 2, "extract", {{"stepPercent", 25}}));
        lines.push_back(
            command(id + 3, "export", {{"ids", {0, 2, 4}}, {"format", "jpg"}, {"dest", out.string()}}));
        lines.push_back(command(id + 4, "importImages", {{"paths", {path}}}));
        lines.push_back(
            command(id + 5, "exportImages", {{"paths", {path}}, {"format", "png"}, {"dest", out.string()}}));
        lines.push_back(Json{{"drop", {path}}}.dump());
    }
    test::CliRun run = test::runBridgeCli(lines, "", kLimits);
    EXPECT_EQ(run.status, 0) << (run.lines.empty() ? "no output" : run.lines.back());
    rusage usage{};
    ::getrusage(RUSAGE_CHILDREN, &usage);
    EXPECT_LT(usage.ru_maxrss / 1024, kMaxRssMiB);

    std::vector<Outcome> outcomes(files.size());
    std::map<std::int64_t, int> answered;
    std::size_t current = 0;  // the file whose request was answered last
    for (const auto& [name, payload] : run.calls) {
        if (name == "window.__bridgeResolveRaw") {
            std::int64_t id = payload["id"];
            ++answered[id];
            current = static_cast<std::size_t>(id / 10);
            outcomes.at(current).replies.at(static_cast<std::size_t>(id % 10 - 1)) = payload;
        } else if (name == "window.__onDrop") {
            outcomes.at(current).drops.push_back(payload);
        }
    }
    for (std::size_t k = 0; k < files.size(); ++k) {
        SCOPED_TRACE(files[k].string());
        for (std::int64_t id = 10 * static_cast<std::int64_t>(k) + 1; id % 10 <= 5; ++id)
            EXPECT_EQ(answered[id], 1) << "request " << id;
        expectWellFormed(outcomes[k]);
    }
    EXPECT_EQ(answered.size(), 5 * files.size());
    return outcomes;
}

// One small intact file of every extension Quillon reads.
std::vector<fs::path> makeSamples()
{
    fs::path dir = test::freshDir("hostile-samples");
    const std::string src = kFfmpeg + "-f lavfi -i testsrc=size=160x120:rate=25:duration=1 ";
    const std::string h264 = "-c:v libx264 -pix_fmt yuv420p ";
    const std::vector<std::pair<std::string, std::string>> clips = {
        {"mov", h264},
        {"mp4", h264},
        {"m4v", h264 + "-f mp4 "},
        {"webm", "-c:v libvpx-vp9 "},
        {"avi", "-c:v mpeg4 "},
        {"mkv", h264},
        {"mpg", "-c:v mpeg2video -f mpeg "},
        {"mpeg", "-c:v mpeg1video -f mpeg "},
        {"m2v", "-c:v mpeg2video -f mpeg2video "},
        {"gif", "-vf fps=10 "},
    };
    std::vector<fs::path> files;
    for (const auto& [ext, options] : clips) {
        files.push_back(dir / ("clip." + ext));
        shell(src + options + shellQuote(files.back().string()));
    }
    for (const std::string& ext : kImageExtensions) {
        files.push_back(dir / ("pic." + ext));
        shell("convert -size 96x64 xc:navy -fill orange -draw 'circle 30,30 40,40' " +
              shellQuote((ext == "heif" ? "heic:" : "") + files.back().string()));
    }
    return files;
}

// The variant of a sample's bytes that a damage kind names.
std::string damaged(const std::string& kind, std::string bytes)
{
    if (kind == "Empty")
        return "";
    if (kind == "Text")
        return "A shopping list: bread, milk, 3 eggs, coffee.\n";
    if (kind == "CutInTheHeader")
        bytes.resize(bytes.size() / 50);
    if (kind == "CutInHalf")
        bytes.resize(bytes.size() / 2);
    // One bit in 500, past the first 8 bytes so the file is still taken for its format.
    if (kind.starts_with("BitsFlipped") && bytes.size() > 8) {
        std::mt19937 random(kind.back());
        std::uniform_int_distribution<std::size_t> where(8, bytes.size() - 1);
        for (std::size_t i = 0; i <= bytes.size() / 500; ++i)
            bytes[where(random)] ^= static_cast<char>(1 << (random() % 8));
    }
    return bytes;
}

class HostileFiles : public ::testing::TestWithParam<const char*> {};

TEST_P(HostileFiles, EveryFormatAnswersEveryCommand)
{
    const std::string kind = GetParam();
    fs::path dir = test::freshDir("hostile-" + kind);
    std::vector<fs::path> files;
    for (const fs::path& sample : makeSamples()) {
        files.push_back(dir / sample.filename());
        std::ofstream(files.back(), std::ios::binary) << damaged(kind, test::contents(sample));
    }
    std::vector<Outcome> outcomes = runAllCommands(files, test::freshDir("hostile-out"));
    for (std::size_t k = 0; k < files.size(); ++k) {
        SCOPED_TRACE(files[k].string());
        const Outcome& o = outcomes[k];
        const bool clip = kStillsExtensions.contains(lowerExtension(files[k]));
        if (kind == "Intact") {
            EXPECT_TRUE(!clip || o.replies[kLoad]["ok"] == true) << o.replies[kLoad];
            EXPECT_EQ(o.replies[clip ? kExport : kExportImages]["payload"]["failed"], Json::array());
        } else if (kind == "Empty" || kind == "Text") {
            // No file of the run opens, so there is never a source to sample.
            EXPECT_EQ(o.replies[kExtract]["payload"], "No source loaded");
            EXPECT_EQ(o.replies[kExport]["payload"], "No source loaded");
            EXPECT_EQ(o.replies[kExportImages]["payload"]["failed"],
                      Json::array({{{"path", files[k].string()}, {"reason", "could not decode image"}}}));
            // A clip dropped in video mode is opened (a null drop when it cannot be); images are imported.
            EXPECT_EQ(o.drops, clip ? std::vector<Json>{Json(nullptr)} : std::vector<Json>{});
        }
    }
}

INSTANTIATE_TEST_SUITE_P(All, HostileFiles,
                         ::testing::Values("Intact", "Empty", "Text", "CutInTheHeader", "CutInHalf",
                                           "BitsFlipped1", "BitsFlipped2"),
                         [](const auto& info) { return std::string(info.param); });

// A small JPEG whose frame header is rewritten to claim 65000 x 65000 (libjpeg itself refuses more
// than 65500 a side).
fs::path writeHugeJpeg(const fs::path& file)
{
    shell("convert -size 64x64 plasma:fractal " + shellQuote(file.string()));
    std::string jpeg = test::contents(file);
    std::size_t frame = jpeg.find("\xff\xc0");
    EXPECT_NE(frame, std::string::npos);
    jpeg.replace(frame + 5, 4, "\xfd\xe8\xfd\xe8");
    std::ofstream(file, std::ios::binary) << jpeg;
    return file;
}

TEST(ForgedFiles, HugeHeadersManyFramesAndAbsurdTimestampsAreAnswered)
{
    fs::path dir = test::freshDir("hostile-forged");
    const std::string clip =
        kFfmpeg + "-f lavfi -i testsrc=size=160x120:rate=10:duration=1 -c:v libx264 -pix_fmt yuv420p ";
    shell(kFfmpeg + "-f lavfi -i testsrc=size=4x4:rate=50:duration=200 " +
          shellQuote((dir / "many.gif").string()));
    shell(clip + "-vf setpts=N*1000000/TB -vsync passthrough " + shellQuote((dir / "gaps.mkv").string()));
    // A PNG claiming 100000 x 100000 RGB pixels, with 64 bytes of picture data.
    std::ofstream(dir / "huge.png", std::ios::binary) << std::string(
        "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\x01\x86\xa0\0\x01\x86\xa0\x08\x02\0\0\0\x27\x30\x9c\x9f"
        "\0\0\0\x0cIDAT\x78\xda\x63\x60\xa0\x0c\0\0\0\x40\0\x01\x89\xc9\xaf\x43\0\0\0\0IEND\xae\x42\x60\x82",
        69);
    const std::vector<fs::path> files = {dir / "huge.png", writeHugeJpeg(dir / "huge.jpg"), dir / "many.gif",
                                         dir / "gaps.mkv"};
    std::vector<Outcome> o = runAllCommands(files, test::freshDir("hostile-forged-out"));
    // Nothing of the claimed size is decoded, so nothing is written.
    for (int k : {0, 1})
        EXPECT_EQ(o[k].replies[kExportImages]["payload"]["written"], Json::array()) << files[k];
    // 10,000 frames of 2 hundredths of a second each.
    ASSERT_EQ(o[2].replies[kLoad]["ok"], true) << o[2].replies[kLoad];
    EXPECT_NEAR(o[2].replies[kLoad]["payload"]["durationSec"].get<double>(), 200.0, 0.5);
    EXPECT_EQ(o[2].replies[kExport]["payload"]["written"].size(), 3u);
    // Whatever the container says, the page gets usable numbers.
    const Json& gaps = o[3].replies[kLoad];
    ASSERT_EQ(gaps["ok"], true) << gaps;
    EXPECT_GE(gaps["payload"]["durationSec"].get<double>(), 0) << gaps;
    EXPECT_GT(gaps["payload"]["fps"].get<double>(), 0) << gaps;
}

const std::string kWriteFailed = "write failed (permission or disk)";
const std::string kNotWritable = "folder not writable";

TEST(Faults, AFullDiskFailsOnlyTheFilesThatDidNotFit)
{
    // Under a 64 KiB file size limit flat grey pictures fit and noise (a2, a4) does not. SIGXFSZ
    // is ignored, so a write past the limit fails with EFBIG as it would with ENOSPC.
    const fs::path in = test::freshDir("faults-full/in"), out = test::freshDir("faults-full/out");
    const std::string gray = (in / "gray.png").string(), noise = (in / "noise.png").string();
    shell("convert -size 300x300 xc:gray " + shellQuote(gray) +
          " && convert -size 300x300 xc: +noise Random " + shellQuote(noise));
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
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(out))
        names.insert(entry.path().filename().string());
    EXPECT_EQ(names, kept);
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
    shell(kFfmpeg + "-f lavfi -i testsrc=size=160x120:rate=10:duration=2 " +
          shellQuote((dir / "gone.gif").string()));
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
    shell("convert -size 64x64 xc:blue " + shellQuote(picture.string()));
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
    const Json frameFailures = Json::array({{{"id", 1}, {"reason", kNotWritable}},
                                            {{"id", 3}, {"reason", kNotWritable}},
                                            {{"id", 3}, {"reason", kNotWritable}}});
    EXPECT_EQ(run.replyTo(2)["payload"],
              Json({{"written", Json::array()}, {"failed", frameFailures}, {"folder", locked}}));
    const Json imageFailures = Json::array({{{"path", picture}, {"reason", kNotWritable}},
                                            {{"path", "/nonexistent.png"}, {"reason", kNotWritable}}});
    EXPECT_EQ(run.replyTo(3)["payload"],
              Json({{"written", Json::array()}, {"failed", imageFailures}, {"folder", locked}}));
    EXPECT_TRUE(run.payloadsOf("window.__onExportProgress").empty());
    EXPECT_TRUE(fs::is_empty(locked));
}

}  // namespace
}  // namespace quillon
