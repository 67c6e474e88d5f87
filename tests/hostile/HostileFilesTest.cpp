// Damaged, forged and absurd files through `quillon-cli bridge`, killed after 120 s and (outside
// AddressSanitizer, whose shadow memory alone reserves terabytes) held to 4 GiB of address space:
// every command must be answered once and the program must end normally, with a peak resident
// size under 1 GiB. Forged sizes are refused by Quillon's own pixel limits (media/VipsLimits.hpp,
// and 16384 a side for video frames) before anything of that size is allocated.
#include <array>
#include <map>
#include <random>

#include <gtest/gtest.h>
#include <sys/resource.h>

#include "media/Extensions.hpp"
#include "tests/bridge/BridgeFixtures.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using test::shellQuote;

#ifdef __SANITIZE_ADDRESS__
const std::string kLimits = "timeout 120 ";
const long kMaxRssMiB = 4096;
#else
const std::string kLimits = "ulimit -v 4194304 && timeout 120 ";
const long kMaxRssMiB = 1024;
#endif
const std::string kCouldNotRead = "Could not read that file as a video or GIF.";
const std::string kFfmpeg = "ffmpeg -nostdin -v error -y ";

void shell(const std::string& line) { ASSERT_EQ(test::run(line), 0) << line; }

std::string readBytes(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

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
    if (o.replies[kLoad]["ok"] == true) {
        EXPECT_EQ(o.replies[kExtract]["ok"], true);
        const Json& p = o.replies[kExport]["payload"];
        EXPECT_EQ(p["written"].size() + p["failed"].size(), 3u) << p;
    } else {
        EXPECT_EQ(o.replies[kLoad]["payload"], kCouldNotRead);
    }
    const Json& p = o.replies[kExportImages]["payload"];
    EXPECT_EQ(p["written"].size() + p["failed"].size(), 1u) << p;
    EXPECT_LE(o.drops.size(), 1u);
}

std::vector<Outcome> runAllCommands(const std::vector<fs::path>& files, const fs::path& out)
{
    std::vector<std::string> lines;
    for (std::size_t k = 0; k < files.size(); ++k) {
        const Json path = files[k].string();
        const auto id = static_cast<std::int64_t>(10 * k);
        lines.push_back(test::command(id + 1, "loadVideo", {{"path", path}}));
        lines.push_back(test::command(id + 2, "extract", {{"stepPercent", 25}}));
        lines.push_back(test::command(id + 3, "export", {{"ids", {0, 2, 4}}, {"format", "jpg"}, {"dest", out.string()}}));
        lines.push_back(test::command(id + 4, "importImages", {{"paths", {path}}}));
        lines.push_back(test::command(id + 5, "exportImages", {{"paths", {path}}, {"format", "png"}, {"dest", out.string()}}));
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
    for (const auto& entry : fs::directory_iterator(out))
        EXPECT_NE(entry.path().filename().string().rfind(".quillon-", 0), 0u) << "temporary file left";
    return outcomes;
}

// One small intact file of every extension Quillon reads.
std::vector<fs::path> makeSamples()
{
    fs::path dir = test::freshDir("hostile-samples");
    const std::string src = kFfmpeg + "-f lavfi -i testsrc=size=160x120:rate=25:duration=1 ";
    const std::string h264 = "-c:v libx264 -pix_fmt yuv420p ";
    const std::vector<std::pair<std::string, std::string>> clips = {
        {"mov", h264}, {"mp4", h264}, {"m4v", h264 + "-f mp4 "}, {"webm", "-c:v libvpx-vp9 "},
        {"avi", "-c:v mpeg4 "}, {"mkv", h264}, {"mpg", "-c:v mpeg2video -f mpeg "},
        {"mpeg", "-c:v mpeg1video -f mpeg "}, {"m2v", "-c:v mpeg2video -f mpeg2video "}, {"gif", "-vf fps=10 "},
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
    if (kind == "Text") {
        std::string text;
        for (int i = 0; i < 200; ++i)
            text += "A shopping list: bread, milk, 3 eggs, coffee.\n";
        return text;
    }
    if (kind == "CutInTheHeader")
        bytes.resize(bytes.size() / 50);
    if (kind == "CutInHalf")
        bytes.resize(bytes.size() / 2);
    if (kind == "CutNearTheEnd")
        bytes.resize(bytes.size() * 97 / 100);
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
        std::ofstream(files.back(), std::ios::binary) << damaged(kind, readBytes(sample));
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
                         ::testing::Values("Intact", "Empty", "Text", "CutInTheHeader", "CutInHalf", "CutNearTheEnd",
                                           "BitsFlipped1", "BitsFlipped2"),
                         [](const auto& info) { return std::string(info.param); });

std::string be32(std::uint32_t v)
{
    return {static_cast<char>(v >> 24), static_cast<char>(v >> 16), static_cast<char>(v >> 8), static_cast<char>(v)};
}

// A PNG whose header claims width x height RGB pixels, without any picture data.
fs::path writeHugePng(const fs::path& file, std::uint32_t width, std::uint32_t height)
{
    std::string ihdr = "IHDR" + be32(width) + be32(height) + std::string("\x08\x02\x00\x00\x00", 5);
    std::uint32_t crc = 0xffffffffu;
    for (unsigned char byte : ihdr) {
        crc ^= byte;
        for (int k = 0; k < 8; ++k)
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
    }
    std::ofstream(file, std::ios::binary) << "\x89PNG\r\n\x1a\n" << be32(13) << ihdr << be32(~crc)
                                          << std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12);
    return file;
}

// A small JPEG whose frame header is rewritten to claim 65535 x 65535, the most 16 bits can hold.
fs::path writeHugeJpeg(const fs::path& file)
{
    shell("convert -size 64x64 plasma:fractal " + shellQuote(file.string()));
    std::string jpeg = readBytes(file);
    std::size_t frame = jpeg.find("\xff\xc0");
    EXPECT_NE(frame, std::string::npos);
    jpeg.replace(frame + 5, 4, "\xff\xff\xff\xff");
    std::ofstream(file, std::ios::binary) << jpeg;
    return file;
}

TEST(ForgedFiles, HugeHeadersManyFramesAndAbsurdTimestampsAreAnswered)
{
    fs::path dir = test::freshDir("hostile-forged");
    const std::string clip = kFfmpeg + "-f lavfi -i testsrc=size=160x120:rate=10:duration=1 -c:v libx264 -pix_fmt yuv420p ";
    shell(kFfmpeg + "-f lavfi -i testsrc=size=4x4:rate=50:duration=200 " + shellQuote((dir / "many.gif").string()));
    shell(clip + "-vf setpts=N*1000000/TB -vsync passthrough " + shellQuote((dir / "gaps.mkv").string()));
    shell(clip + "-output_ts_offset 1000000000 " + shellQuote((dir / "late.mp4").string()));
    const std::vector<fs::path> files = {writeHugePng(dir / "huge.png", 100000, 100000), writeHugeJpeg(dir / "huge.jpg"),
                                         dir / "many.gif", dir / "gaps.mkv", dir / "late.mp4"};
    std::vector<Outcome> o = runAllCommands(files, test::freshDir("hostile-forged-out"));
    // Nothing of the claimed size is decoded, so nothing is written.
    for (int k : {0, 1})
        EXPECT_EQ(o[k].replies[kExportImages]["payload"]["written"], Json::array()) << files[k];
    // 10,000 frames of 2 hundredths of a second each.
    ASSERT_EQ(o[2].replies[kLoad]["ok"], true) << o[2].replies[kLoad];
    EXPECT_NEAR(o[2].replies[kLoad]["payload"]["durationSec"].get<double>(), 200.0, 0.5);
    EXPECT_EQ(o[2].replies[kExport]["payload"]["written"].size(), 3u);
    // Whatever the container says, the page gets usable numbers.
    for (int k : {3, 4}) {
        const Json& d = o[k].replies[kLoad]["payload"];
        ASSERT_EQ(o[k].replies[kLoad]["ok"], true) << files[k] << d;
        EXPECT_GE(d["durationSec"].get<double>(), 0) << files[k] << d;
        EXPECT_GT(d["fps"].get<double>(), 0) << files[k] << d;
    }
}

}  // namespace
}  // namespace quillon
