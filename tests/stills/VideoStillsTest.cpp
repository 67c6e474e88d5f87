// Exact stills from videos: every codec and container the app takes, frames read back by the
// index each frame shows.
#include <gtest/gtest.h>

#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "media/SamplePlan.hpp"
#include "media/StillsSource.hpp"
#include "tests/support/ClipFixtures.hpp"
#include "tests/support/TestMedia.hpp"

namespace quillon {
namespace {

using test::ClipOptions;

struct Codec {
    const char* name;
    const char* file;
    const char* encoder;  // checked before generating; a missing one fails the test
    const char* codec;
    const char* rate;
    double nearlyNextSec;  // how far below the next frame's start "just below" is
    const char* extra = "";
};

// 50 frames each; a key frame every 12 frames so the probes cross several groups of pictures.
const Codec kCodecs[] = {
    {"H264BFramesMp4", "clip.mp4", "libx264", "-c:v libx264 -pix_fmt yuv420p -bf 3 -g 12 -sc_threshold 0", "25", 1e-6},
    {"H264OpenGopMov", "clip.mov", "libx264",
     "-c:v libx264 -pix_fmt yuv420p -bf 3 -x264-params open-gop=1:keyint=12:min-keyint=12:scenecut=0", "25", 1e-6},
    {"H264Ntsc", "clip.mp4", "libx264", "-c:v libx264 -pix_fmt yuv420p -bf 2 -g 12", "30000/1001", 1e-6},
    {"HevcMp4", "clip.mp4", "libx265",
     "-c:v libx265 -pix_fmt yuv420p -tag:v hvc1 -x265-params keyint=12:min-keyint=12:bframes=3:log-level=error",
     "25", 1e-6},
    {"Hevc10BitMkv", "clip.mkv", "libx265",
     "-c:v libx265 -pix_fmt yuv420p10le -x265-params keyint=12:min-keyint=12:log-level=error", "25", 1e-3},
    {"Vp9Webm", "clip.webm", "libvpx-vp9", "-c:v libvpx-vp9 -g 12 -b:v 1M -deadline realtime -cpu-used 8", "25", 1e-3},
    {"Av1Mkv", "clip.mkv", "libaom-av1", "-c:v libaom-av1 -cpu-used 8 -row-mt 1 -g 12 -b:v 800k", "25", 1e-3},
    {"Mpeg2Mpg", "clip.mpg", "mpeg2video", "-c:v mpeg2video -bf 2 -g 12 -q:v 3", "25", 1e-6},
    {"MjpegAvi", "clip.avi", "mjpeg", "-c:v mjpeg -q:v 3 -pix_fmt yuvj420p", "25", 1e-6},
    {"Mpeg4Avi", "clip.avi", "mpeg4", "-c:v mpeg4 -bf 2 -g 12 -q:v 3", "25", 1e-6},
    {"LateStartMkv", "clip.mkv", "libx264", "-c:v libx264 -pix_fmt yuv420p -bf 3 -g 12", "25", 1e-3,
     "-output_ts_offset 3.5"},
    {"LateStartMp4", "clip.mp4", "libx264", "-c:v libx264 -pix_fmt yuv420p -bf 3 -g 12", "25", 1e-6,
     "-output_ts_offset 3.5"},
};

// Test names carry the clip's name; gtest prints it instead of the struct's bytes.
void PrintTo(const Codec& c, std::ostream* os) { *os << c.name; }

double rateOf(const std::string& rate)
{
    const auto slash = rate.find('/');
    return slash == std::string::npos ? std::stod(rate) : std::stod(rate.substr(0, slash)) / std::stod(rate.substr(slash + 1));
}

class VideoCodecs : public testing::TestWithParam<Codec> {};

TEST_P(VideoCodecs, StillsAreTheExactFrameAtEachTime)
{
    const Codec& c = GetParam();
    ASSERT_TRUE(test::haveEncoder(c.encoder)) << "ffmpeg lacks the encoder " << c.encoder;
    const auto dir = test::freshDir(std::string("stills-codec-") + c.name);
    const auto file = dir / c.file;
    ClipOptions o;
    o.codec = c.codec;
    o.rate = c.rate;
    o.extra = c.extra;
    ASSERT_TRUE(test::makeIndexClip(file, o));

    auto source = StillsSource::open(file);
    ASSERT_TRUE(source);
    const double fps = rateOf(c.rate);
    EXPECT_FALSE(source->isGif());
    EXPECT_EQ(source->pixelSize().width, 320);
    EXPECT_EQ(source->pixelSize().height, 240);
    EXPECT_NEAR(source->fps(), fps, 0.01);
    EXPECT_NEAR(source->durationSec(), 50 / fps, 0.1);

    // Increasing times: decoding runs forward through the clip.
    const std::vector<int> probes = {0, 1, 2, 5, 10, 11, 12, 13, 23, 24, 25, 36, 37, 47, 48, 49};
    for (int k : probes) {
        auto at = source->image(k / fps);
        ASSERT_TRUE(at) << "t = frame " << k;
        EXPECT_EQ(test::readFrameIndex(*at), k) << "at the start of frame " << k;
        auto before = source->image((k + 1) / fps - c.nearlyNextSec);
        ASSERT_TRUE(before);
        EXPECT_EQ(test::readFrameIndex(*before), k) << "just before frame " << k + 1;
        EXPECT_EQ(before->width(), 320);
        EXPECT_EQ(before->height(), 240);
    }
    // Backward and scattered times: every one a seek.
    for (int k : {49, 3, 36, 11, 12, 0, 25, 24, 47}) {
        auto still = source->image((k + 0.5) / fps);
        ASSERT_TRUE(still);
        EXPECT_EQ(test::readFrameIndex(*still), k) << "mid frame " << k << " after a backward jump";
    }
    // Below 0 means 0; past the end gives the last frame.
    auto negative = source->image(-3);
    ASSERT_TRUE(negative);
    EXPECT_EQ(test::readFrameIndex(*negative), 0);
    auto late = source->image(1000);
    ASSERT_TRUE(late);
    EXPECT_EQ(test::readFrameIndex(*late), 49);
}

INSTANTIATE_TEST_SUITE_P(Stills, VideoCodecs, testing::ValuesIn(kCodecs),
                         [](const testing::TestParamInfo<Codec>& info) { return std::string(info.param.name); });

TEST(VideoStills, EncodersForTheTestClipsArePresent)
{
    // Reported as a failure, never silently skipped: these clips are what proves codec support.
    const std::vector<std::string> missing =
        test::missingEncoders({"libx264", "libx265", "libvpx-vp9", "libaom-av1", "mpeg2video", "mjpeg", "mpeg4"});
    EXPECT_TRUE(missing.empty()) << "missing encoders: " << testing::PrintToString(missing);
}

TEST(VideoStills, VariableFrameRateClipsGiveTheFrameOnScreen)
{
    const auto dir = test::freshDir("stills-vfr");
    // Ten frames 40 ms apart, then frames 100 ms apart, as a phone does when light drops.
    const std::vector<double> starts = [] {
        std::vector<double> s;
        for (int n = 0; n < 30; ++n)
            s.push_back(n < 10 ? n * 0.04 : 0.4 + (n - 10) * 0.1);
        return s;
    }();
    for (const char* name : {"vfr.mp4", "vfr.mkv"}) {
        ClipOptions o;
        o.frames = 30;
        o.codec = "-c:v libx264 -pix_fmt yuv420p -bf 2 -g 8 -vf "
                  "\"settb=1/1000,setpts='if(lt(N,10),N*0.04,0.4+(N-10)*0.1)/TB'\" -fps_mode vfr -enc_time_base 1/1000";
        if (std::string(name) == "vfr.mp4")
            o.extra = "-video_track_timescale 1000";
        ASSERT_TRUE(test::makeIndexClip(dir / name, o)) << name;
        auto source = StillsSource::open(dir / name);
        ASSERT_TRUE(source) << name;
        for (int k = 0; k < 30; ++k) {
            auto at = source->image(starts[k] + 0.0002);
            ASSERT_TRUE(at);
            EXPECT_EQ(test::readFrameIndex(*at), k) << name << " start of frame " << k;
            const double end = k + 1 < 30 ? starts[k + 1] : starts[k] + 0.1;
            auto before = source->image(end - 0.002);
            ASSERT_TRUE(before);
            EXPECT_EQ(test::readFrameIndex(*before), k) << name << " end of frame " << k;
        }
    }
}

TEST(VideoStills, IncreasingRequestsDecodeEachFrameAtMostOnce)
{
    const auto dir = test::freshDir("stills-forward");
    ClipOptions o;
    o.frames = 250;
    o.codec = "-c:v libx264 -pix_fmt yuv420p -bf 3 -g 100 -sc_threshold 0";
    ASSERT_TRUE(test::makeIndexClip(dir / "clip.mp4", o));
    auto source = StillsSource::open(dir / "clip.mp4");
    ASSERT_TRUE(source);
    EXPECT_EQ(source->framesDecoded(), 0) << "opening decodes nothing";
    for (const StillSample& s : sampleTimes(source->durationSec(), 5, source->fps())) {
        auto still = source->image(s.sec);
        ASSERT_TRUE(still);
        EXPECT_EQ(test::readFrameIndex(*still), static_cast<int>(std::floor(s.sec * 25 + 1e-9))) << s.sec;
    }
    // Frames ahead of a key frame are skipped by seeking; the rest are decoded once, with frames
    // nothing refers to dropped on the way.
    EXPECT_LE(source->framesDecoded(), 250);
}

// Where each corner of the stored quadrant picture lands: top left, top right, bottom left,
// bottom right of the still, as colour names.
struct Turn {
    const char* name;
    std::array<std::int32_t, 9> matrix;
    bool portrait;
    std::array<const char*, 4> corners;
};

std::string colourName(const std::vector<double>& c)
{
    auto hi = [](double v) { return v > 160; };
    auto lo = [](double v) { return v < 90; };
    if (hi(c[0]) && lo(c[1]) && lo(c[2]))
        return "red";
    if (lo(c[0]) && hi(c[1]) && lo(c[2]))
        return "green";
    if (lo(c[0]) && lo(c[1]) && hi(c[2]))
        return "blue";
    if (hi(c[0]) && hi(c[1]) && hi(c[2]))
        return "white";
    return "unclear";
}

TEST(VideoStills, DisplayMatrixTurnsAndMirrorsTheStills)
{
    constexpr std::int32_t one = 1 << 16, w = 320 << 16, h = 240 << 16, last = 1 << 30;
    const Turn turns[] = {
        {"upright", {one, 0, 0, 0, one, 0, 0, 0, last}, false, {"red", "green", "blue", "white"}},
        {"clockwise", {0, one, 0, -one, 0, 0, h, 0, last}, true, {"blue", "red", "white", "green"}},
        {"half", {-one, 0, 0, 0, -one, 0, w, h, last}, false, {"white", "blue", "green", "red"}},
        {"anticlockwise", {0, -one, 0, one, 0, 0, 0, w, last}, true, {"green", "white", "red", "blue"}},
        {"mirrored", {-one, 0, 0, 0, one, 0, w, 0, last}, false, {"green", "red", "white", "blue"}},
    };
    const auto dir = test::freshDir("stills-turns");
    for (const Turn& turn : turns) {
        const auto file = dir / (std::string(turn.name) + ".mp4");
        ASSERT_TRUE(test::makeQuadrantClip(file));
        ASSERT_TRUE(test::setTrackMatrix(file, turn.matrix));
        auto source = StillsSource::open(file);
        ASSERT_TRUE(source) << turn.name;
        const int sw = turn.portrait ? 240 : 320, sh = turn.portrait ? 320 : 240;
        EXPECT_EQ(source->pixelSize().width, sw) << turn.name;
        EXPECT_EQ(source->pixelSize().height, sh) << turn.name;
        auto still = source->image(0.1);
        ASSERT_TRUE(still) << turn.name;
        ASSERT_EQ(still->width(), sw) << turn.name;
        ASSERT_EQ(still->height(), sh) << turn.name;
        const int qx = sw / 4, qy = sh / 4;
        EXPECT_EQ(colourName(test::averageColour(*still, qx, qy)), turn.corners[0]) << turn.name << " top left";
        EXPECT_EQ(colourName(test::averageColour(*still, sw - qx, qy)), turn.corners[1]) << turn.name << " top right";
        EXPECT_EQ(colourName(test::averageColour(*still, qx, sh - qy)), turn.corners[2]) << turn.name << " bottom left";
        EXPECT_EQ(colourName(test::averageColour(*still, sw - qx, sh - qy)), turn.corners[3])
            << turn.name << " bottom right";
    }
}

}  // namespace
}  // namespace quillon

namespace quillon {
namespace {

TEST(VideoStills, StreamsWithoutALengthOpenWithDurationZeroAndStillSeek)
{
    const auto dir = test::freshDir("stills-no-length");
    // A Matroska file written to a pipe (no length, no index) and a bare MPEG-2 stream.
    ASSERT_EQ(test::run("ffmpeg -nostdin -v error -y -f lavfi -i \"color=c=black:s=320x240:r=25:d=2.1,format=yuv420p,"
                        "geq=lum='if(bitand(floor(N/pow(2,floor(X*10/W))),1),235,16)':cb=128:cr=128\" "
                        "-c:v libx264 -bf 2 -g 12 -frames:v 50 -f matroska - > " +
                        test::shellQuote((dir / "live.mkv").string())),
              0);
    test::ClipOptions raw;
    raw.codec = "-c:v mpeg2video -bf 2 -g 12 -q:v 3";
    ASSERT_TRUE(test::makeIndexClip(dir / "bare.m2v", raw));
    for (const char* name : {"live.mkv", "bare.m2v"}) {
        auto source = StillsSource::open(dir / name);
        ASSERT_TRUE(source) << name;
        EXPECT_EQ(source->durationSec(), 0) << name;
        EXPECT_NEAR(source->fps(), 25, 0.01) << name;
        for (int k : {0, 12, 25, 49, 7, 30, 1}) {
            auto still = source->image((k + 0.5) / 25);
            ASSERT_TRUE(still) << name << " frame " << k;
            EXPECT_EQ(test::readFrameIndex(*still), k) << name;
        }
    }
}

}  // namespace
}  // namespace quillon
