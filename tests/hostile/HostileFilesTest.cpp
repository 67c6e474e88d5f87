// Damaged, forged and absurd files through `quillon-cli bridge` in a child process held to a time
// and memory budget: every command must still be answered, and the child must end normally.
//
// The budget is set in tests/hostile/ChildBridge.hpp (ChildLimits): 4 GiB of address space
// (RLIMIT_AS, not applied under AddressSanitizer) and 120 s per child; on top of that each run's
// peak resident size must stay under kMaxRssMiB below (1 GiB). The pixel limits that keep forged headers
// from allocating are Quillon's own (media/VipsLimits.hpp: 2^28 pixels, 65535 a side for pictures;
// 16384 a side for video frames in media/VideoDecoder.cpp and media/StillsSource.cpp).
#include <cstdio>
#include <fstream>
#include <random>
#include <set>

#include <gtest/gtest.h>

#include "media/Extensions.hpp"
#include "tests/hostile/ChildBridge.hpp"
#include "tests/hostile/HostileMedia.hpp"
#include "tests/support/TestMedia.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using test::ChildBridge;
using test::commandLine;

// AddressSanitizer's shadow memory and quarantine multiply what a run keeps resident.
const long kMaxRssMiB = test::underSanitizer() ? 4096 : 1024;
const std::string kCouldNotRead = "Could not read that file as a video or GIF.";

// What every file goes through, whatever its extension: opened as a video, sampled, exported,
// imported as an image, converted, and dropped on the window in video mode. Files share one
// child (starting one costs more than most files); file k uses request ids 10k+1 to 10k+5.
struct Outcome {
    fs::path file;
    json load, extract, exportFrames, import, exportImages;
    std::vector<json> drops;          // window.__onDrop payloads
    std::vector<json> imageRecords;   // from window.__onImagesChunk
};

std::vector<Outcome> runAllCommands(ChildBridge& child, const std::vector<fs::path>& files, const fs::path& out)
{
    for (std::size_t k = 0; k < files.size(); ++k) {
        const json path = files[k].string();
        const auto base = static_cast<std::int64_t>(10 * k);
        child.send(commandLine(base + 1, "loadVideo", {{"path", path}}));
        child.send(commandLine(base + 2, "extract", {{"stepPercent", 25}}));
        child.send(commandLine(base + 3, "export", {{"ids", {0, 2, 4}}, {"format", "jpg"}, {"dest", out.string()}}));
        child.send(commandLine(base + 4, "importImages", {{"paths", {path}}}));
        child.send(commandLine(base + 5, "exportImages", {{"paths", {path}}, {"format", "png"}, {"dest", out.string()}}));
        child.send(json{{"drop", {path}}}.dump());
    }
    child.finish();

    std::vector<Outcome> outcomes(files.size());
    std::map<std::int64_t, int> answered;
    std::size_t current = 0;  // the file whose requests were answered last
    for (const test::PageCall& call : child.calls()) {
        if (call.name == "window.__bridgeResolveRaw") {
            std::int64_t id = call.payload.value("id", -1);
            ++answered[id];
            if (id < 1 || static_cast<std::size_t>(id / 10) >= files.size())
                continue;
            current = static_cast<std::size_t>(id / 10);
            Outcome& o = outcomes[current];
            json* slot = id % 10 == 1 ? &o.load : id % 10 == 2 ? &o.extract : id % 10 == 3 ? &o.exportFrames
                       : id % 10 == 4 ? &o.import : id % 10 == 5 ? &o.exportImages : nullptr;
            if (slot)
                *slot = call.payload;
        } else if (call.name == "window.__onDrop") {
            outcomes[current].drops.push_back(call.payload);
        } else if (call.name == "window.__onImagesChunk") {
            for (const json& item : call.payload["items"])
                outcomes[current].imageRecords.push_back(item);
        }
    }
    std::size_t requests = 0;
    for (std::size_t k = 0; k < files.size(); ++k) {
        outcomes[k].file = files[k];
        for (std::int64_t id = 10 * static_cast<std::int64_t>(k) + 1; id <= 10 * static_cast<std::int64_t>(k) + 5; ++id) {
            ++requests;
            EXPECT_EQ(answered[id], 1) << files[k] << ": request " << id << " answered " << answered[id]
                                       << " times; " << child.describe();
        }
    }
    EXPECT_EQ(answered.size(), requests);
    return outcomes;
}

void expectBounded(const ChildBridge& child, const fs::path& file)
{
    std::printf("[ bounded  ] %s: %.1f s, peak RSS %ld MiB\n", file.string().c_str(), child.seconds(),
                child.maxRssKiB() / 1024);
    EXPECT_FALSE(child.timedOut()) << file << ": " << child.describe();
    EXPECT_TRUE(child.exitedCleanly()) << file << ": " << child.describe();
    EXPECT_LT(child.maxRssKiB() / 1024, kMaxRssMiB) << file << ": " << child.describe();
}

// Whatever a damaged file gives, the answers keep their shapes and export replies list each item
// once, written or failed.
void expectWellFormed(const Outcome& o, const fs::path& file)
{
    if (o.load.value("ok", false)) {
        EXPECT_TRUE(o.load["payload"].is_object()) << file;
        EXPECT_EQ(o.extract.value("ok", false), true) << file << o.extract;
        const json& p = o.exportFrames["payload"];
        EXPECT_EQ(p["written"].size() + p["failed"].size(), 3u) << file << o.exportFrames;
    } else {
        EXPECT_EQ(o.load["payload"], kCouldNotRead) << file;
    }
    const json& images = o.exportImages["payload"];
    EXPECT_EQ(o.exportImages["ok"], true) << file;
    EXPECT_EQ(images["written"].size() + images["failed"].size(), 1u) << file << o.exportImages;
    EXPECT_LE(o.drops.size(), 1u) << file;
}

// Files nothing can read: every command says so in its own words.
void expectUnreadable(const Outcome& o, const fs::path& file)
{
    EXPECT_EQ(o.load["ok"], false) << file;
    EXPECT_EQ(o.load["payload"], kCouldNotRead) << file;
    // No file of the run opened, so there is never a source to sample.
    EXPECT_EQ(o.extract["payload"], "No source loaded") << file;
    EXPECT_EQ(o.exportFrames["payload"], "No source loaded") << file;
    EXPECT_EQ(o.exportImages["payload"]["written"], json::array()) << file;
    EXPECT_EQ(o.exportImages["payload"]["failed"],
              json::array({{{"path", file.string()}, {"reason", "could not decode image"}}}))
        << file;
    for (const json& record : o.imageRecords) {
        EXPECT_EQ(record["thumbDataUrl"], "") << file;
        EXPECT_EQ(record["width"], 0) << file;
        EXPECT_EQ(record["height"], 0) << file;
    }
    if (kStillsExtensions.contains(lowerExtension(file)))
        EXPECT_EQ(o.drops, std::vector<json>{json(nullptr)}) << file;
    else
        EXPECT_TRUE(o.drops.empty()) << file;
}

class HostileFiles : public ::testing::Test {
protected:
    static void SetUpTestSuite() { valid_ = new std::vector<fs::path>(test::makeValidSamples()); }
    static void TearDownTestSuite() { delete valid_; }
    static const std::vector<fs::path>& valid() { return *valid_; }

    static void runFiles(const std::vector<fs::path>& files, const std::string& name, bool unreadable)
    {
        fs::path out = test::freshDir("hostile-out/" + name);
        ChildBridge child;
        for (const Outcome& o : runAllCommands(child, files, out)) {
            expectWellFormed(o, o.file);
            if (unreadable)
                expectUnreadable(o, o.file);
        }
        expectBounded(child, name);
        EXPECT_TRUE(test::temporaryFilesIn(out).empty()) << name;
    }

private:
    static inline std::vector<fs::path>* valid_ = nullptr;
};

TEST_F(HostileFiles, SamplesOfEveryFormatAreMadeAndRead)
{
    // Every extension Quillon accepts has a sample, so the damaged variants below cover them all.
    std::set<std::string> covered;
    for (const fs::path& file : valid())
        covered.insert(lowerExtension(file));
    for (const std::string& ext : kStillsExtensions)
        EXPECT_TRUE(covered.contains(ext)) << ext;
    for (const std::string& ext : kImageExtensions)
        EXPECT_TRUE(covered.contains(ext)) << ext;

    // The intact samples are read: a clip opens, an image gets a preview.
    ChildBridge child;
    for (const Outcome& o : runAllCommands(child, valid(), test::freshDir("hostile-out/valid"))) {
        const fs::path& file = o.file;
        if (kStillsExtensions.contains(lowerExtension(file))) {
            EXPECT_EQ(o.load["ok"], true) << file << o.load;
            EXPECT_EQ(o.exportFrames["payload"]["failed"], json::array()) << file << o.exportFrames;
        } else {
            // One record from the import and one from the drop.
            ASSERT_EQ(o.imageRecords.size(), 2u) << file;
            for (const json& record : o.imageRecords)
                EXPECT_NE(record["thumbDataUrl"], "") << file;
            EXPECT_EQ(o.exportImages["payload"]["failed"], json::array()) << file << o.exportImages;
        }
    }
    expectBounded(child, "valid samples");
}

TEST_F(HostileFiles, ZeroByteFilesAreUnreadableUnderEveryExtension)
{
    fs::path dir = test::freshDir("hostile-zero");
    std::vector<fs::path> files;
    for (const fs::path& sample : valid()) {
        files.push_back(dir / sample.filename());
        std::ofstream(files.back(), std::ios::binary).flush();
    }
    runFiles(files, "zero", /*unreadable=*/true);
}

TEST_F(HostileFiles, TextUnderEveryExtensionIsUnreadable)
{
    fs::path dir = test::freshDir("hostile-text");
    std::set<std::string> exts(kStillsExtensions.begin(), kStillsExtensions.end());
    exts.insert(kImageExtensions.begin(), kImageExtensions.end());
    std::vector<fs::path> files;
    for (const std::string& ext : exts) {
        files.push_back(dir / ("notes." + ext));
        std::ofstream text(files.back());
        for (int i = 0; i < 200; ++i)
            text << "Line " << i << " of a shopping list: bread, milk, 3 eggs, coffee.\n";
    }
    runFiles(files, "text", /*unreadable=*/true);
}

TEST_F(HostileFiles, TruncatedFilesAnswerEveryCommand)
{
    fs::path dir = test::freshDir("hostile-truncated");
    // Cut inside the header, in the middle, and just before the end.
    for (double fraction : {0.02, 0.5, 0.97}) {
        std::vector<fs::path> files;
        const std::string prefix = std::to_string(static_cast<int>(fraction * 100));
        for (const fs::path& sample : valid()) {
            std::string bytes = test::readBytes(sample);
            files.push_back(dir / (prefix + "-" + sample.filename().string()));
            test::writeBytes(files.back(), bytes.substr(0, static_cast<std::size_t>(bytes.size() * fraction)));
        }
        runFiles(files, "truncated-" + prefix, /*unreadable=*/false);
    }
}

TEST_F(HostileFiles, BitFlippedFilesAnswerEveryCommand)
{
    fs::path dir = test::freshDir("hostile-flipped");
    for (unsigned seed : {1u, 2u, 3u}) {
        std::vector<fs::path> files;
        for (const fs::path& sample : valid()) {
            std::string damaged = test::readBytes(sample);
            test::flipBits(damaged, seed, /*flips=*/1 + damaged.size() / 500);
            files.push_back(dir / ("s" + std::to_string(seed) + "-" + sample.filename().string()));
            test::writeBytes(files.back(), damaged);
        }
        runFiles(files, "flipped-" + std::to_string(seed), /*unreadable=*/false);
    }
}

TEST_F(HostileFiles, HeadersClaimingHugePicturesAreRefusedBeforeAllocating)
{
    fs::path dir = test::freshDir("hostile-huge");
    std::vector<fs::path> files = {
        test::writeHugePng(dir / "huge.png", 100000, 100000),
        // A JPEG stores its size in 16 bits: 65535 x 65535 (4.3 gigapixels) is the most it can claim.
        test::writeHugeJpeg(dir / "huge.jpg", 65535, 65535),
        test::writeHugeGif(dir / "huge.gif", 65535, 65535),
    };
    ChildBridge child;
    for (const Outcome& o : runAllCommands(child, files, test::freshDir("hostile-out/huge"))) {
        const fs::path& file = o.file;
        expectWellFormed(o, file);
        // Nothing of that size is ever decoded, so nothing is written.
        EXPECT_EQ(o.exportImages["payload"]["written"], json::array()) << file << o.exportImages;
        if (o.load["ok"] == true) {
            EXPECT_EQ(o.exportFrames["payload"]["written"], json::array()) << file << o.exportFrames;
        }
        for (const json& record : o.imageRecords)
            EXPECT_EQ(record["thumbDataUrl"], "") << file;
    }
    expectBounded(child, "huge headers");
}

TEST_F(HostileFiles, GifOfTenThousandFramesOpensAndSamples)
{
    fs::path dir = test::freshDir("hostile-manyframes");
    fs::path file = test::writeManyFrameGif(dir / "many.gif", 10000);
    fs::path out = test::freshDir("hostile-out/many");
    ChildBridge child;
    child.send(commandLine(1, "loadVideo", {{"path", file.string()}}));
    child.send(commandLine(2, "extract", {{"stepPercent", 1}}));
    child.send(commandLine(3, "export", {{"ids", {0, 50, 100}}, {"format", "png"}, {"dest", out.string()}}));
    child.finish();
    expectBounded(child, file);
    auto replies = child.replies();
    ASSERT_EQ(replies.size(), 3u) << child.describe();
    EXPECT_EQ(replies[0]["ok"], true) << replies[0];
    // 10,000 frames of 2 hundredths of a second each.
    EXPECT_NEAR(replies[0]["payload"]["durationSec"].get<double>(), 200.0, 0.5) << replies[0];
    EXPECT_EQ(replies[1]["payload"], json({{"count", 101}}));
    EXPECT_EQ(child.payloadsOf("window.__onFrameReady").size(), 101u);
    EXPECT_EQ(replies[2]["payload"]["written"].size(), 3u) << replies[2];
}

TEST_F(HostileFiles, ClipsWithAbsurdTimestampsAnswerEveryCommand)
{
    fs::path dir = test::freshDir("hostile-timestamps");
    std::vector<fs::path> clips = test::makeAbsurdTimestampClips(dir);
    ASSERT_FALSE(clips.empty());
    ChildBridge child;
    for (const Outcome& o : runAllCommands(child, clips, test::freshDir("hostile-out/timestamps"))) {
        const fs::path& file = o.file;
        expectWellFormed(o, file);
        if (o.load["ok"] == true) {
            const json& d = o.load["payload"];
            // Whatever the container says, the page gets finite, non-negative numbers.
            EXPECT_TRUE(d["durationSec"].is_number()) << file << d;
            EXPECT_GE(d["durationSec"].get<double>(), 0) << file << d;
            EXPECT_TRUE(d["fps"].is_number()) << file << d;
        }
    }
    expectBounded(child, "absurd timestamps");
}

}  // namespace
}  // namespace quillon
