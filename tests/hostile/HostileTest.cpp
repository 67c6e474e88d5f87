// Damaged, forged and hostile files and messages, and the memory a still of a huge GIF costs.
// Files go through `quillon-cli bridge` killed after 120 s and (outside the sanitizers) held to
// 4 GiB of address space: every command is answered once, the program ends normally, and its peak
// resident size stays under 1 GiB (the pixel limits and work bounds refuse forged sizes).
#include <array>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "media/Extensions.hpp"
#include "media/StillsSource.hpp"
#include "tests/bridge/BridgeFixtures.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using test::command;
using test::shellQuote;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers reserve terabytes of address space for their shadow memory.
const std::string kLimits = "timeout 120 ";
const long kMaxRssMiB = 4096;
#else
const std::string kLimits = "ulimit -v 4194304 && timeout 120 ";
const long kMaxRssMiB = 1024;
#endif
const std::string kFfmpeg = "ffmpeg -nostdin -v error -y ";
const std::string kNotAClip = "Could not read that file as a video or GIF.";
const std::string kNotAnImage = "could not decode image";

bool made(const std::string& line) { return test::run(line) == 0; }
std::string q(const fs::path& file) { return shellQuote(file.string()); }

// What each file got: the replies to loadVideo, extract, export, importImages and exportImages
// (request ids 10k+1 to 10k+5 for file k), the drop on the window in video mode, and the records
// of the import.
enum { kLoad, kExtract, kExport, kImport, kExportImages };
struct Outcome {
    std::array<Json, 5> replies;
    std::vector<Json> drops;  // window.__onDrop payloads
    std::vector<Json> records;
};

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
    EXPECT_EQ(run.status, 0) << "the bridge hung or crashed: " << (run.lines.empty() ? "" : run.lines.back());
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
        } else if (name == "window.__onImagesChunk") {
            for (const Json& record : payload["items"])
                outcomes.at(current).records.push_back(record);
        }
    }
    // Whatever a file gives, the answers keep their shapes and each export lists each item once.
    for (std::size_t k = 0; k < files.size(); ++k) {
        SCOPED_TRACE(files[k].string());
        const Outcome& o = outcomes[k];
        for (std::int64_t id = 10 * static_cast<std::int64_t>(k) + 1; id % 10 <= 5; ++id)
            EXPECT_EQ(answered[id], 1) << "request " << id;
        EXPECT_LE(o.drops.size(), 1u);
        if (o.replies[kLoad]["ok"] == true) {
            EXPECT_EQ(o.replies[kExtract]["ok"], true);
            const Json& p = o.replies[kExport]["payload"];
            EXPECT_EQ(p["written"].size() + p["failed"].size(), 3u) << p;
        } else {
            EXPECT_EQ(o.replies[kLoad]["payload"], kNotAClip);
        }
        const Json& p = o.replies[kExportImages]["payload"];
        EXPECT_EQ(p["written"].size() + p["failed"].size(), 1u) << p;
    }
    EXPECT_EQ(answered.size(), 5 * files.size());
    return outcomes;
}

// One small intact file of every extension Quillon reads, made once per build tree (built in a
// folder of this process and renamed into place whole, so parallel test processes share it).
std::vector<fs::path> samples()
{
    // Each file's name and the command line that makes it, but for the output path.
    std::vector<std::pair<std::string, std::string>> recipes;
    const std::string clip = kFfmpeg + "-f lavfi -i testsrc=size=160x120:rate=25:duration=1 ";
    for (const auto& [ext, options] :
         std::vector<std::pair<std::string, std::string>>{{"mov", "-c:v libx264 -pix_fmt yuv420p"},
                                                          {"mp4", "-c:v libx264 -pix_fmt yuv420p"},
                                                          {"m4v", "-c:v libx264 -pix_fmt yuv420p -f mp4"},
                                                          {"webm", "-c:v libvpx-vp9"},
                                                          {"avi", "-c:v mpeg4"},
                                                          {"mkv", "-c:v libx264 -pix_fmt yuv420p"},
                                                          {"mpg", "-c:v mpeg2video -f mpeg"},
                                                          {"mpeg", "-c:v mpeg1video -f mpeg"},
                                                          {"m2v", "-c:v mpeg2video -f mpeg2video"},
                                                          {"gif", "-vf fps=10"}})
        recipes.emplace_back("clip." + ext, clip + options + " ");
    for (const std::string& ext : kImageExtensions)
        recipes.emplace_back("pic." + ext,
                             "convert -size 96x64 xc:navy -fill orange -draw 'circle 30,30 40,40' " +
                                 std::string(ext == "heif" ? "heic:" : ""));
    const fs::path dir = fs::path(QUILLON_TEST_WORK_DIR) / "hostile-samples";
    const fs::path part = fs::exists(dir) ? fs::path() : test::freshDir("hostile-samples-part");
    std::vector<fs::path> files;
    for (const auto& [name, line] : recipes) {
        files.push_back(dir / name);
        EXPECT_TRUE(part.empty() || made(line + q(part / name))) << name;
    }
    std::error_code lost;  // another process put its copy in place first
    if (!part.empty() && !testing::Test::HasFailure())
        fs::rename(part, dir, lost);
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
    for (const fs::path& sample : samples()) {
        files.push_back(dir / sample.filename());
        std::ofstream(files.back(), std::ios::binary) << damaged(kind, test::contents(sample));
    }
    ASSERT_FALSE(HasFailure()) << "the samples could not be made";
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
                      Json::array({{{"path", files[k].string()}, {"reason", kNotAnImage}}}));
            // A clip dropped in video mode is opened (a null drop when it cannot be); images are imported.
            EXPECT_EQ(o.drops, clip ? std::vector<Json>{Json(nullptr)} : std::vector<Json>{});
        }
    }
}

INSTANTIATE_TEST_SUITE_P(All, HostileFiles,
                         ::testing::Values("Intact", "Empty", "Text", "CutInTheHeader", "CutInHalf",
                                           "BitsFlipped1", "BitsFlipped2"),
                         [](const auto& info) { return std::string(info.param); });

// A GIF of `frames` one-pixel images, each shown 0.1 s, on a width x height screen.
std::string screenGif(int width, int height, int frames)
{
    std::string gif = "GIF89a";
    for (int side : {width, height})
        gif += {static_cast<char>(side & 0xFF), static_cast<char>(side >> 8)};
    gif += std::string(3, '\0');
    const std::string image("\x21\xF9\x04\x00\x0A\x00\x00\x00"          // 0.1 s
                            "\x2C\x00\x00\x00\x00\x01\x00\x01\x00\x80"  // 1x1 at 0,0
                            "\x00\x00\x00\xFF\xFF\xFF"                  // 2 colours
                            "\x02\x02\x44\x01\x00",                     // one pixel
                            29);
    for (int i = 0; i < frames; ++i)
        gif += image;
    return gif + "\x3B";
}

// A small JPEG whose frame header is rewritten to claim 65000 x 65000 (libjpeg itself refuses more
// than 65500 a side, so Quillon's own limit is what refuses it).
bool writeHugeJpeg(const fs::path& file)
{
    if (!made("convert -size 64x64 plasma:fractal " + q(file)))
        return false;
    std::string jpeg = test::contents(file);
    const std::size_t frame = jpeg.find("\xff\xc0");
    if (frame == std::string::npos)
        return false;
    jpeg.replace(frame + 5, 4, "\xfd\xe8\xfd\xe8");
    std::ofstream(file, std::ios::binary) << jpeg;
    return true;
}

TEST(ForgedFiles, HugeHeadersManyFramesAndAbsurdTimestampsAreAnswered)
{
    const fs::path dir = test::freshDir("hostile-forged");
    // First, while no source is loaded: a GIF whose 16000x16000 screen times 10,000 frames is
    // absurd. Last, the same frames on a 64x48 screen: an ordinary GIF.
    std::ofstream(dir / "bomb.gif", std::ios::binary) << screenGif(16000, 16000, 10000);
    std::ofstream(dir / "small.gif", std::ios::binary) << screenGif(64, 48, 2000);
    ASSERT_TRUE(made(kFfmpeg + "-f lavfi -i testsrc=size=4x4:rate=50:duration=200 " + q(dir / "many.gif")));
    ASSERT_TRUE(made(kFfmpeg +
                     "-f lavfi -i testsrc=size=160x120:rate=10:duration=1 -c:v libx264 -pix_fmt yuv420p "
                     "-vf setpts=N*1000000/TB -vsync passthrough " +
                     q(dir / "gaps.mkv")));
    // A PNG claiming 100000 x 100000 RGB pixels, with 64 bytes of picture data.
    std::ofstream(dir / "huge.png", std::ios::binary) << std::string(
        "\x89PNG\r\n\x1a\n\0\0\0\x0dIHDR\0\x01\x86\xa0\0\x01\x86\xa0\x08\x02\0\0\0\x27\x30\x9c\x9f"
        "\0\0\0\x0cIDAT\x78\xda\x63\x60\xa0\x0c\0\0\0\x40\0\x01\x89\xc9\xaf\x43\0\0\0\0IEND\xae\x42\x60\x82",
        69);
    ASSERT_TRUE(writeHugeJpeg(dir / "huge.jpg"));
    const std::vector<fs::path> files = {dir / "bomb.gif", dir / "huge.png", dir / "huge.jpg",
                                         dir / "many.gif", dir / "gaps.mkv", dir / "small.gif"};
    std::vector<Outcome> o = runAllCommands(files, test::freshDir("hostile-forged-out"));
    EXPECT_EQ(o[0].replies[kLoad]["payload"], kNotAClip);
    EXPECT_EQ(o[0].replies[kExtract]["payload"], "No source loaded");
    EXPECT_EQ(o[5].replies[kLoad]["ok"], true) << o[5].replies[kLoad];
    // Nothing of the claimed size is decoded, so nothing is written.
    for (int k : {1, 2})
        EXPECT_EQ(o[k].replies[kExportImages]["payload"]["written"], Json::array()) << files[k];
    // 10,000 frames of 2 hundredths of a second each.
    ASSERT_EQ(o[3].replies[kLoad]["ok"], true) << o[3].replies[kLoad];
    EXPECT_NEAR(o[3].replies[kLoad]["payload"]["durationSec"].get<double>(), 200.0, 0.5);
    EXPECT_EQ(o[3].replies[kExport]["payload"]["written"].size(), 3u);
    // Whatever the container says, the page gets usable numbers.
    const Json& gaps = o[4].replies[kLoad];
    ASSERT_EQ(gaps["ok"], true) << gaps;
    EXPECT_GE(gaps["payload"]["durationSec"].get<double>(), 0) << gaps;
    EXPECT_GT(gaps["payload"]["fps"].get<double>(), 0) << gaps;
}

// What a hostile sender would name as media: special files that block or never end, playlists
// and file lists that take the content of other local files, and formats Quillon does not accept
// under accepted image names (libvips would pick its loader from the content). None opens as a
// clip (but FFmpeg may take a foreign picture for a one-picture clip), none decodes as an image.
TEST(AttackFiles, SpecialFilesPlaylistsAndForeignFormatsAreRefused)
{
    const fs::path dir = test::freshDir("attack-files");
    std::vector<fs::path> files;
    for (const char* ext : {"mp4", "gif", "png", "jpg"}) {
        files.push_back(dir / ("fifo." + std::string(ext)));
        ASSERT_EQ(::mkfifo(files.back().c_str(), 0600), 0);
        files.push_back(dir / ("zero." + std::string(ext)));
        fs::create_symlink("/dev/zero", files.back());
    }
    fs::copy_file(test::bridgeClip(), dir / "secret.mp4");
    std::ofstream(dir / "hls.mp4") << "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:4\n#EXTINF:4.0,\n"
                                   << (dir / "secret.mp4").string() << "\n#EXT-X-ENDLIST\n";
    std::ofstream(dir / "concat.mkv") << "ffconcat version 1.0\nfile secret.mp4\n";
    std::ofstream(dir / "relative.mov")
        << "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXTINF:4.0,\nsecret.mp4\n#EXT-X-ENDLIST\n";
    for (const char* name : {"hls.mp4", "concat.mkv", "relative.mov"})
        files.push_back(dir / name);
    const std::size_t clipsEnd = files.size();

    const fs::path src = dir / "src.png";
    ASSERT_TRUE(made("convert -size 32x24 gradient:red-blue " + q(src)));
    for (const auto& [from, named] : std::vector<std::pair<std::string, std::string>>{
             {"p.ppm", "ppm.png"}, {"r.hdr", "radiance.jpg"}, {"v.v", "native.tif"}}) {
        ASSERT_TRUE(made("vips copy " + q(src) + " " + q(dir / from)));
        fs::rename(dir / from, dir / named);
        files.push_back(dir / named);
    }
    ASSERT_TRUE(made("convert " + q(src) + " " + shellQuote("pcx:" + (dir / "pcx.bmp").string())));
    std::ofstream(dir / "svg.png") << R"(<svg xmlns="http://www.w3.org/2000/svg" width="40" height="30">)"
                                   << R"(<rect width="40" height="30" fill="red"/></svg>)";
    std::ofstream(dir / "matrix.webp") << "3 2\n1 2 3\n4 5 6\n";
    for (const char* name : {"pcx.bmp", "svg.png", "matrix.webp"})
        files.push_back(dir / name);

    const fs::path out = test::freshDir("attack-out");
    std::vector<Outcome> outcomes = runAllCommands(files, out);
    for (std::size_t k = 0; k < files.size(); ++k) {
        SCOPED_TRACE(files[k].string());
        const Outcome& o = outcomes[k];
        if (k < clipsEnd) {
            EXPECT_EQ(o.replies[kLoad], Json({{"id", 10 * k + 1}, {"ok", false}, {"payload", kNotAClip}}));
        }
        EXPECT_EQ(o.replies[kImport]["ok"], true);
        EXPECT_EQ(o.replies[kExportImages]["payload"]["failed"],
                  Json::array({{{"path", files[k].string()}, {"reason", kNotAnImage}}}));
        for (const Json& record : o.records)
            EXPECT_EQ(record.value("thumbDataUrl", ""), "") << record;
    }
    // Converted pictures would be PNGs; stills of a foreign picture taken for a clip are JPEGs.
    for (const auto& entry : fs::directory_iterator(out))
        EXPECT_NE(entry.path().extension(), ".png") << entry.path();
}

TEST(AttackMessages, ADeeplyNestedMessageIsDroppedAndTheNextOneAnswered)
{
    const int depth = 200000;
    const std::string deep = R"({"id":1,"cmd":"setMode","args":{"mode":)" + std::string(depth, '[') +
                             std::string(depth, ']') + "}}";
    // Nested within the limit, the message is an ordinary one whose argument has the wrong type.
    const std::string shallow = R"({"id":2,"cmd":"setMode","args":{"mode":)" + std::string(20, '[') +
                                std::string(20, ']') + "}}";
    test::CliRun run = test::runBridgeCli({deep, shallow, command(3, "setMode", {{"mode", "images"}})}, "",
                                          kLimits);
    ASSERT_EQ(run.status, 0) << "the bridge crashed";
    EXPECT_EQ(run.replyTo(1), nullptr);
    EXPECT_EQ(run.replyTo(2)["ok"], true);
    EXPECT_EQ(run.replyTo(3)["ok"], true);
}

// A field of /proc/self/status in bytes (its value is in kB).
long long statusBytes(const std::string& field)
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with(field + ":"))
            return std::atoll(line.c_str() + field.size() + 1) * 1024;
    return -1;
}

// Run by the test below in a process of its own (the test binary started again with only this
// test and QUILLON_GIF_PEAK naming a GIF): takes the still of each of its three frames in turn,
// letting each go before the next, and prints the peak resident memory above what the process
// held once the GIF was open.
TEST(GifMemory, PeakOfOneProcess)
{
    const char* gif = std::getenv("QUILLON_GIF_PEAK");
    if (gif == nullptr)
        GTEST_SKIP() << "run by GifMemory.StillsOfAHugeScreenHoldAboutTwoCanvases";
    std::shared_ptr<StillsSource> source = StillsSource::open(gif);
    ASSERT_TRUE(source);
    std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from the current size
    const long long before = statusBytes("VmRSS");
    for (double sec : {0.05, 0.15, 0.25})
        ASSERT_TRUE(source->image(sec).has_value()) << sec;
    std::printf("peak above open: %lld\n", statusBytes("VmHWM") - before);
}

// The decoder draws every frame on a canvas of the whole screen. Taking a still of it may cost
// that canvas and the still, not more copies of them: here a 4200x4200 screen, canvases of 71 MB,
// stills too large to be kept between calls.
TEST(GifMemory, StillsOfAHugeScreenHoldAboutTwoCanvases)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers keep freed memory in quarantine and add shadow memory";
#endif
    if (std::getenv("QUILLON_GIF_PEAK") != nullptr)
        GTEST_SKIP();
    const fs::path dir = test::freshDir("attack-gif-peak");
    std::ofstream(dir / "screen.gif", std::ios::binary) << screenGif(4200, 4200, 3);
    const std::string output = test::capture("QUILLON_GIF_PEAK=" + q(dir / "screen.gif") + " " +
                                             q(fs::read_symlink("/proc/self/exe")) +
                                             " --gtest_filter=GifMemory.PeakOfOneProcess 2>&1; echo exit $?");
    const std::size_t at = output.find("peak above open: ");
    ASSERT_TRUE(at != std::string::npos && output.ends_with("exit 0\n")) << output;
    const long long peak = std::atoll(output.c_str() + at + 17);
    const long long canvas = 4200LL * 4200 * 4;
    EXPECT_GT(peak, canvas) << "the still and the canvas were not both measured";
    EXPECT_LT(peak, canvas * 5 / 2) << output;
}

}  // namespace
}  // namespace quillon
