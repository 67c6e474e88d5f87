// Exact stills from videos of every codec and container the app takes, read back by the index
// each frame shows.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "media/SamplePlan.hpp"
#include "media/StillsSource.hpp"
#include "tests/support/Fixtures.hpp"

namespace quillon {
namespace {

struct Codec {
    const char* name;
    const char* file;
    const char* encoder;
    const char* codec;
    double nearlyNext = 1e-6;  // how far below the next frame "just below" is (1 ms time bases need more)
    const char* rate = "25";
    const char* extra = "";
};

// 50 frames each; a key frame every 12 frames so the probes cross several groups of pictures.
const Codec kCodecs[] = {
    {"H264BFramesMp4", "clip.mp4", "libx264", "-c:v libx264 -pix_fmt yuv420p -bf 3 -g 12 -sc_threshold 0"},
    {"H264OpenGopMov", "clip.mov", "libx264",
     "-c:v libx264 -pix_fmt yuv420p -bf 3 -x264-params open-gop=1:keyint=12:min-keyint=12:scenecut=0"},
    {"H264Ntsc", "clip.mp4", "libx264", "-c:v libx264 -pix_fmt yuv420p -bf 2 -g 12", 1e-6, "30000/1001"},
    {"HevcMp4", "clip.mp4", "libx265",
     "-c:v libx265 -pix_fmt yuv420p -tag:v hvc1 -x265-params keyint=12:min-keyint=12:bframes=3:log-level=error"},
    {"Hevc10BitMkv", "clip.mkv", "libx265",
     "-c:v libx265 -pix_fmt yuv420p10le -x265-params keyint=12:min-keyint=12:log-level=error", 1e-3},
    {"Vp9Webm", "clip.webm", "libvpx-vp9", "-c:v libvpx-vp9 -g 12 -b:v 1M -deadline realtime -cpu-used 8", 1e-3},
    {"Av1Mkv", "clip.mkv", "libaom-av1", "-c:v libaom-av1 -cpu-used 8 -row-mt 1 -g 12 -b:v 800k", 1e-3},
    {"Mpeg2Mpg", "clip.mpg", "mpeg2video", "-c:v mpeg2video -bf 2 -g 12 -q:v 3"},
    {"MjpegAvi", "clip.avi", "mjpeg", "-c:v mjpeg -q:v 3 -pix_fmt yuvj420p"},
    {"Mpeg4Avi", "clip.avi", "mpeg4", "-c:v mpeg4 -bf 2 -g 12 -q:v 3"},
    {"LateStartMkv", "clip.mkv", "libx264", "-c:v libx264 -pix_fmt yuv420p -bf 3 -g 12", 1e-3, "25", "-output_ts_offset 3.5"},
    {"LateStartMp4", "clip.mp4", "libx264", "-c:v libx264 -pix_fmt yuv420p -bf 3 -g 12", 1e-6, "25", "-output_ts_offset 3.5"},
};

void PrintTo(const Codec& c, std::ostream* os) { *os << c.name; }

bool haveEncoder(const std::string& name)
{
    static const std::string list = test::capture("ffmpeg -hide_banner -encoders 2>/dev/null");
    return list.find(" " + name + " ") != std::string::npos;
}

int frameAt(StillsSource& source, double sec)
{
    return test::readFrameIndex(source.image(sec).value_or(Image()));
}

class VideoCodecs : public testing::TestWithParam<Codec> {};

TEST_P(VideoCodecs, StillsAreTheExactFrameAtEachTime)
{
    const Codec& c = GetParam();
    // A missing encoder fails the test rather than skipping it: these clips prove codec support.
    ASSERT_TRUE(haveEncoder(c.encoder)) << "ffmpeg lacks the encoder " << c.encoder;
    const auto file = test::freshDir(std::string("stills-codec-") + c.name) / c.file;
    ASSERT_TRUE(test::makeIndexClip(file, {.rate = c.rate, .codec = c.codec, .extra = c.extra}));
    auto source = StillsSource::open(file);
    ASSERT_TRUE(source);
    const double fps = std::string(c.rate) == "25" ? 25 : 30000 / 1001.0;
    EXPECT_FALSE(source->isGif());
    EXPECT_EQ(source->pixelSize().width, 320);
    EXPECT_EQ(source->pixelSize().height, 240);
    EXPECT_NEAR(source->fps(), fps, 0.01);
    EXPECT_NEAR(source->durationSec(), 50 / fps, 0.1);
    // Forward, then backward and scattered: the start of each frame and just before the next.
    for (int k : {0, 1, 2, 11, 12, 13, 24, 25, 36, 49, 3, 47, 12, 11, 0, 37, 24}) {
        EXPECT_EQ(frameAt(*source, k / fps), k) << "start of frame " << k;
        EXPECT_EQ(frameAt(*source, (k + 1) / fps - c.nearlyNext), k) << "end of frame " << k;
    }
    EXPECT_EQ(frameAt(*source, -3), 0);     // below 0 means 0
    EXPECT_EQ(frameAt(*source, 1000), 49);  // past the end gives the last frame
}

INSTANTIATE_TEST_SUITE_P(Stills, VideoCodecs, testing::ValuesIn(kCodecs),
                         [](const testing::TestParamInfo<Codec>& info) { return std::string(info.param.name); });

TEST(VideoStills, VariableFrameRateClipsGiveTheFrameOnScreen)
{
    const auto dir = test::freshDir("stills-vfr");
    // Ten frames 40 ms apart, then frames 100 ms apart, as a phone does when light drops.
    const auto start = [](int n) { return n < 10 ? n * 0.04 : 0.4 + (n - 10) * 0.1; };
    for (const std::string name : {"vfr.mp4", "vfr.mkv"}) {
        test::ClipOptions o{.frames = 30};
        o.codec = "-c:v libx264 -pix_fmt yuv420p -bf 2 -g 8 -vf \"settb=1/1000,"
                  "setpts='if(lt(N,10),N*0.04,0.4+(N-10)*0.1)/TB'\" -fps_mode vfr -enc_time_base 1/1000";
        o.extra = name == "vfr.mp4" ? "-video_track_timescale 1000" : "";
        ASSERT_TRUE(test::makeIndexClip(dir / name, o));
        auto source = StillsSource::open(dir / name);
        ASSERT_TRUE(source) << name;
        for (int k = 0; k < 30; ++k) {
            EXPECT_EQ(frameAt(*source, start(k) + 0.0002), k) << name;
            EXPECT_EQ(frameAt(*source, start(k + 1) - 0.002), k) << name;
        }
    }
}

TEST(VideoStills, IncreasingRequestsDecodeEachFrameAtMostOnce)
{
    const auto file = test::freshDir("stills-forward") / "clip.mp4";
    ASSERT_TRUE(test::makeIndexClip(file, {.frames = 250, .codec = "-c:v libx264 -pix_fmt yuv420p -bf 3 -g 100"}));
    auto source = StillsSource::open(file);
    ASSERT_TRUE(source);
    EXPECT_EQ(source->framesDecoded(), 0) << "opening decodes nothing";
    for (const StillSample& s : sampleTimes(source->durationSec(), 5, source->fps()))
        EXPECT_EQ(frameAt(*source, s.sec), int(std::floor(s.sec * 25 + 1e-9)));
    EXPECT_LE(source->framesDecoded(), 250);
}

TEST(VideoStills, AStreamWithoutALengthOpensWithDurationZeroAndStillSeeks)
{
    const auto file = test::freshDir("stills-no-length") / "bare.m2v";  // no container: no length, no index
    ASSERT_TRUE(test::makeIndexClip(file, {.codec = "-c:v mpeg2video -bf 2 -g 12 -q:v 3"}));
    auto source = StillsSource::open(file);
    ASSERT_TRUE(source);
    EXPECT_EQ(source->durationSec(), 0);
    EXPECT_NEAR(source->fps(), 25, 0.01);
    for (int k : {0, 12, 25, 49, 7, 30, 1})
        EXPECT_EQ(frameAt(*source, (k + 0.5) / 25), k);
}

std::string readAll(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(VideoStills, DamagedFilesOpenAsFarAsTheyCan)
{
    const auto dir = test::freshDir("stills-damaged");
    // Sound only; a codec nothing here decodes (the sample entry renamed); a 20000x20000 header.
    ASSERT_EQ(test::run("ffmpeg -nostdin -v error -f lavfi -i sine=d=1 -c:a aac " +
                        test::shellQuote((dir / "audio.mp4").string())), 0);
    ASSERT_TRUE(test::makeIndexClip(dir / "clip.mp4", {.codec = "-c:v libx264 -pix_fmt yuv420p -g 1",
                                                       .extra = "-movflags +faststart"}));
    std::string bytes = readAll(dir / "clip.mp4");
    std::ofstream(dir / "cut.mp4", std::ios::binary) << bytes.substr(0, bytes.size() / 2);
    for (auto at = bytes.find("avc1"); at != std::string::npos; at = bytes.find("avc1", at))
        bytes.replace(at, 4, "qqzz");
    std::ofstream(dir / "unknown.mp4", std::ios::binary) << bytes;
    std::ofstream(dir / "huge.y4m", std::ios::binary)
        << "YUV4MPEG2 W20000 H20000 F25:1 Ip A1:1 C420jpeg\nFRAME\n" + std::string(4096, '\x80');
    for (const char* name : {"audio.mp4", "unknown.mp4", "huge.y4m"})
        EXPECT_FALSE(StillsSource::open(dir / name)) << name;

    // Cut in half with the index in front: it opens with its full length, the frames still there
    // are served, and a time in the missing half gives nothing rather than an earlier frame.
    auto cut = StillsSource::open(dir / "cut.mp4");
    ASSERT_TRUE(cut);
    EXPECT_NEAR(cut->durationSec(), 2, 0.05);
    EXPECT_EQ(frameAt(*cut, 0.2), 5);
    EXPECT_FALSE(cut->image(1.9));
    EXPECT_EQ(frameAt(*cut, 0.4), 10);
}

}  // namespace
}  // namespace quillon
