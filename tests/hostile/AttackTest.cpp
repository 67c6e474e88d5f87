// Files and messages made to attack: special files named like media, messages nested deep enough
// to exhaust a stack, GIFs whose screen times frames is absurd, playlists that point at other
// files, content that only an unsafe decoder would read, names at the file system's length limit,
// and the temporary file of a write. Each runs through `quillon-cli bridge` under a time and
// memory limit, or calls the file writer directly.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <set>
#include <string>

#include <glib.h>
#include <gtest/gtest.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include "bridge/FileWrite.hpp"
#include "media/StillsSource.hpp"
#include "media/VideoDecoder.hpp"
#include "tests/bridge/BridgeFixtures.hpp"
#include "tests/support/Fixtures.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using test::command;
using test::shellQuote;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers reserve terabytes of address space for their shadow memory.
const std::string kLimits = "timeout 60 ";
#else
const std::string kLimits = "ulimit -v 4194304 && timeout 60 ";
#endif
const std::string kNotAClip = "Could not read that file as a video or GIF.";
const std::string kNotAnImage = "could not decode image";

void shell(const std::string& line) { ASSERT_EQ(test::run(line), 0) << line; }

// Each file through loadVideo, importImages, exportImages and a drop, then a good clip's
// loadVideo; ids 10k+1 to 10k+3 for file k. Checks that the run ended by itself, that every
// command was answered, and that no file decoded as an image and (unless FFmpeg may take it for a
// one-picture clip) none opened as a clip.
enum class AsClip { Refused, MayOpen };
void expectAllRefused(const std::vector<fs::path>& files, AsClip asClip = AsClip::Refused)
{
    const fs::path out = test::freshDir("attack-out");
    std::vector<std::string> lines;
    for (std::size_t k = 0; k < files.size(); ++k) {
        const Json path = files[k].string();
        const auto id = static_cast<std::int64_t>(10 * k);
        lines.push_back(command(id + 1, "loadVideo", {{"path", path}}));
        lines.push_back(command(id + 2, "importImages", {{"paths", {path}}}));
        lines.push_back(
            command(id + 3, "exportImages", {{"paths", {path}}, {"format", "png"}, {"dest", out.string()}}));
        lines.push_back(Json{{"drop", {path}}}.dump());
    }
    lines.push_back(command(99999, "loadVideo", {{"path", test::bridgeClip().string()}}));
    test::CliRun run = test::runBridgeCli(lines, "", kLimits);
    ASSERT_EQ(run.status, 0) << "the bridge hung or crashed";
    EXPECT_EQ(run.replyTo(99999)["ok"], true);
    for (std::size_t k = 0; k < files.size(); ++k) {
        SCOPED_TRACE(files[k].string());
        const auto id = static_cast<std::int64_t>(10 * k);
        if (asClip == AsClip::Refused) {
            EXPECT_EQ(run.replyTo(id + 1), Json({{"id", id + 1}, {"ok", false}, {"payload", kNotAClip}}));
        }
        EXPECT_EQ(run.replyTo(id + 2)["ok"], true);
        EXPECT_EQ(run.replyTo(id + 3)["payload"]["failed"],
                  Json::array({{{"path", files[k].string()}, {"reason", kNotAnImage}}}));
    }
    for (const Json& chunk : run.payloadsOf("window.__onImagesChunk"))
        for (const Json& record : chunk["items"])
            EXPECT_EQ(record.value("thumbDataUrl", ""), "") << record;
    EXPECT_TRUE(fs::is_empty(out));
}

TEST(AttackFiles, FifosAndDeviceLinksNamedAsMediaAreRefusedWithoutBlocking)
{
    const fs::path dir = test::freshDir("attack-special");
    std::vector<fs::path> files;
    for (const char* name : {"fifo.mp4", "fifo.gif", "fifo.png", "fifo.jpg"}) {
        files.push_back(dir / name);
        ASSERT_EQ(::mkfifo(files.back().c_str(), 0600), 0);
    }
    for (const char* name : {"zero.mp4", "zero.gif", "zero.png", "zero.jpg"}) {
        files.push_back(dir / name);
        fs::create_symlink("/dev/zero", files.back());
    }
    expectAllRefused(files);
}

// Text playlists and lists of files take the content of other local files as their own.
TEST(AttackFiles, PlaylistsThatPointAtOtherFilesDoNotOpen)
{
    const fs::path dir = test::freshDir("attack-playlists");
    fs::copy_file(test::bridgeClip(), dir / "secret.mp4");
    std::ofstream(dir / "hls.mp4") << "#EXTM3U\n#EXT-X-VERSION:3\n#EXT-X-TARGETDURATION:4\n#EXTINF:4.0,\n"
                                   << (dir / "secret.mp4").string() << "\n#EXT-X-ENDLIST\n";
    std::ofstream(dir / "concat.mkv") << "ffconcat version 1.0\nfile secret.mp4\n";
    std::ofstream(dir / "relative.mov")
        << "#EXTM3U\n#EXT-X-TARGETDURATION:4\n#EXTINF:4.0,\nsecret.mp4\n#EXT-X-ENDLIST\n";
    expectAllRefused({dir / "hls.mp4", dir / "concat.mkv", dir / "relative.mov"});
}

// Formats Quillon does not accept, each under an accepted image extension: libvips would pick
// its loader from the content (PPM, Radiance, its own format, SVG, a matrix, and PCX through
// ImageMagick).
TEST(AttackFiles, ContentOfOtherFormatsUnderImageNamesIsNotDecoded)
{
    const fs::path dir = test::freshDir("attack-formats");
    const std::string src = shellQuote((dir / "src.png").string());
    shell("convert -size 32x24 gradient:red-blue " + src);
    std::vector<fs::path> files;
    for (const auto& [made, named] : std::vector<std::pair<std::string, std::string>>{
             {"p.ppm", "ppm.png"}, {"r.hdr", "radiance.jpg"}, {"v.v", "native.tif"}}) {
        shell("vips copy " + src + " " + shellQuote((dir / made).string()));
        fs::rename(dir / made, dir / named);
        files.push_back(dir / named);
    }
    shell("convert " + src + " " + shellQuote("pcx:" + (dir / "pcx.bmp").string()));
    files.push_back(dir / "pcx.bmp");
    std::ofstream(dir / "svg.png") << R"(<svg xmlns="http://www.w3.org/2000/svg" width="40" height="30">)"
                                   << R"(<rect width="40" height="30" fill="red"/></svg>)";
    files.push_back(dir / "svg.png");
    std::ofstream(dir / "matrix.webp") << "3 2\n1 2 3\n4 5 6\n";
    files.push_back(dir / "matrix.webp");
    expectAllRefused(files, AsClip::MayOpen);
}

// A GIF of `frames` one-pixel images, each with a delay, on a width x height screen.
std::string screenGif(int width, int height, int frames)
{
    std::string gif = "GIF89a";
    gif += {static_cast<char>(width & 0xFF),
            static_cast<char>(width >> 8),
            static_cast<char>(height & 0xFF),
            static_cast<char>(height >> 8),
            '\0',
            '\0',
            '\0'};
    const std::string image("\x21\xF9\x04\x00\x0A\x00\x00\x00"          // 0.1 s
                            "\x2C\x00\x00\x00\x00\x01\x00\x01\x00\x80"  // 1x1 at 0,0
                            "\x00\x00\x00\xFF\xFF\xFF"                  // 2 colours
                            "\x02\x02\x44\x01\x00",
                            29);  // one pixel
    for (int i = 0; i < frames; ++i)
        gif += image;
    return gif + "\x3B";
}

TEST(AttackFiles, AGifWhoseScreenTimesFramesIsAbsurdFailsToOpen)
{
    const fs::path dir = test::freshDir("attack-gif");
    std::ofstream(dir / "bomb.gif", std::ios::binary) << screenGif(16000, 16000, 10000);
    std::ofstream(dir / "small.gif", std::ios::binary) << screenGif(64, 48, 2000);
    test::CliRun run = test::runBridgeCli({command(1, "loadVideo", {{"path", (dir / "bomb.gif").string()}}),
                                           command(2, "extract", {{"stepPercent", 50}}),
                                           command(3, "loadVideo", {{"path", (dir / "small.gif").string()}})},
                                          "", kLimits);
    ASSERT_EQ(run.status, 0);
    EXPECT_EQ(run.replyTo(1)["payload"], kNotAClip);
    EXPECT_EQ(run.replyTo(2)["payload"], "No source loaded");
    // The same number of frames on a small screen is an ordinary GIF.
    EXPECT_EQ(run.replyTo(3)["ok"], true) << run.replyTo(3);
}

// A field of /proc/self/status in bytes (its value is in kB).
long long statusBytes(const std::string& field)
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind(field + ":", 0) == 0)
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
    const std::string line = "QUILLON_GIF_PEAK=" + shellQuote((dir / "screen.gif").string()) + " " +
                             shellQuote(fs::read_symlink("/proc/self/exe").string()) +
                             " --gtest_filter=GifMemory.PeakOfOneProcess 2>&1";
    FILE* child = ::popen(line.c_str(), "r");
    ASSERT_NE(child, nullptr);
    std::string output;
    for (char chunk[512]; std::fgets(chunk, sizeof chunk, child) != nullptr;)
        output += chunk;
    ASSERT_EQ(::pclose(child), 0) << output;
    const std::size_t at = output.find("peak above open: ");
    ASSERT_NE(at, std::string::npos) << output;
    const long long peak = std::atoll(output.c_str() + at + 17);
    const long long canvas = 4200LL * 4200 * 4;
    EXPECT_GT(peak, canvas) << "the still and the canvas were not both measured";
    EXPECT_LT(peak, canvas * 5 / 2) << output;
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
    struct Step {
        double sec;
        bool within;  // frames from the key frame before it, up to 5
    };
    for (const Step& step :
         {Step{3.0, true}, Step{3.95, false}, Step{1.2, true}, Step{1.9, false}, Step{0.1, true}}) {
        SCOPED_TRACE(step.sec);
        const std::optional<Image> still = bounded->image(step.sec);
        ASSERT_EQ(still.has_value(), step.within);
        if (still) {
            const std::optional<Image> expected = unbounded->image(step.sec);
            ASSERT_TRUE(expected);
            EXPECT_TRUE(test::samePixels(*still, *expected));
        }
    }
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

std::set<std::string> namesIn(const fs::path& dir)
{
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir))
        names.insert(entry.path().filename().string());
    return names;
}

// Names near the 255-byte limit are shortened at a character boundary, keeping the tail that
// tells stills apart and the collision suffixes.
TEST(LongNames, StemsAreShortenedToFitWithTheirSuffixes)
{
    const std::vector<unsigned char> bytes{1, 2, 3};
    struct Case {
        std::string stem, tail;
    };
    const std::string ascii(251, 'a');
    std::string accented;  // two bytes a character
    while (accented.size() < 252)
        accented += "\xC3\xA9";
    for (const Case& c :
         {Case{ascii, ""}, Case{accented, ""}, Case{ascii, "_p050"}, Case{accented, "_p100"}}) {
        SCOPED_TRACE(c.stem.size());
        const fs::path dir = test::freshDir("long-names");
        std::vector<std::string> written;
        for (int i = 0; i < 12; ++i) {
            std::optional<fs::path> file = writeNewFile(dir, c.stem, c.tail, "jpeg", bytes);
            ASSERT_TRUE(file) << "write " << i;
            written.push_back(file->filename().string());
        }
        EXPECT_EQ(namesIn(dir).size(), 12u);
        for (std::size_t i = 0; i < written.size(); ++i) {
            const std::string& name = written[i];
            const std::string ending = c.tail + (i == 0 ? "" : "-" + std::to_string(i)) + ".jpeg";
            EXPECT_LE(name.size(), 255u) << name;
            ASSERT_TRUE(name.ends_with(ending)) << name;
            const std::string stem = name.substr(0, name.size() - ending.size());
            EXPECT_TRUE(c.stem.starts_with(stem)) << name;
            EXPECT_GE(stem.size(), 240u);
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
            EXPECT_TRUE(name.starts_with(std::string(240, 'c'))) << name;
            EXPECT_NE(name.find("_p"), std::string::npos) << name;
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

}  // namespace
}  // namespace quillon
