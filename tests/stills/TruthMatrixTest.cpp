// The truth matrix: for clips in every common container and codec, each still must be the frame
// on screen at round(t * 600) / 600, where "on screen" is what ffprobe's frame timestamps say (the
// frame with the largest timestamp not above the time; the next frame's timestamp ends a frame's
// interval, the stream's end the last one's). Clips are tiny and made once into the build's
// test-media folder; each cell prints its row of the table (grep '^|' in a run of the suite).
#include <gtest/gtest.h>

#include <algorithm>
#include <any>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <sstream>
#include <string>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "media/SamplePlan.hpp"
#include "media/StillsSource.hpp"
#include "tests/support/Fixtures.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;
using test::shellQuote;

// Renames the idx1 chunk, as in AVI files whose writer never finished them.
bool dropAviIndex(const fs::path& file)
{
    std::fstream avi(file, std::ios::in | std::ios::out | std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(avi)), {});
    const std::size_t at = bytes.rfind("idx1");
    return at != std::string::npos && avi.seekp(static_cast<std::streamoff>(at)) && avi.write("JUNK", 4);
}

// Turns the clip a quarter clockwise by its track matrix.
bool turnQuarter(const fs::path& file)
{
    test::setTrackMatrix(file, {0, 1 << 16, 0, -(1 << 16), 0, 0, 96 << 16, 0, 1 << 30});
    return true;
}

// A 160x96 index clip (see test::makeIndexClip).
struct Cell {
    const char* name;
    const char* row;    // container | codec | rate, as the table shows it
    const char* file;   // the extension picks ffmpeg's muxer
    std::string codec;  // output options, filters included
    const char* rate = "25";
    int frames = 60;
    bool (*patch)(const fs::path&) = nullptr;  // changes the file once made
    bool checkDuration = true;
};

const std::string kX264 =
    "-c:v libx264 -pix_fmt yuv420p -preset veryfast -bf 3 -b-pyramid normal -g 24 -sc_threshold 0";
// Ten frames 40 ms apart, then frames 100 ms apart, as a phone does when light drops.
const std::string kVfr = "-c:v libx264 -pix_fmt yuv420p -bf 2 -g 8 -fps_mode vfr -enc_time_base 1/1000 "
                         "-vf \"settb=1/1000,setpts='if(lt(N,10),N*0.04,0.4+(N-10)*0.1)/TB'\"";

const Cell kCells[] = {
    {"Mp4H264Pyramid23976", "MP4 | H.264 B-pyramid | 23.976", "clip.mp4", kX264, "24000/1001"},
    {"MovH264OpenGop25", "MOV | H.264 open GOP | 25", "clip.mov",
     "-c:v libx264 -pix_fmt yuv420p -bf 3 -x264-params open-gop=1:keyint=12:min-keyint=12:scenecut=0"},
    {"MkvH264Defaults30", "MKV | H.264 x264 defaults | 30", "clip.mkv", "-c:v libx264 -pix_fmt yuv420p",
     "30"},
    {"MkvH264Pyramid2997", "MKV | H.264 B-pyramid | 29.97", "clip.mkv", kX264, "30000/1001"},
    {"MkvH264Vfr", "MKV | H.264 | variable", "clip.mkv", kVfr, "25", 30},
    // ffmpeg's MP4 muxer states 2.22 s for this clip, whose last frame starts at 2.3 s, and the
    // source takes the container's length: reported, not checked here.
    {"Mp4H264Vfr", "MP4 | H.264 | variable", "clip.mp4", kVfr + " -video_track_timescale 1000", "25", 30,
     nullptr, false},
    {"MkvH264LateStart25", "MKV | H.264 | 25, starts at 3.5 s", "clip.mkv", kX264 + " -output_ts_offset 3.5"},
    {"Mp4H264LateStart25", "MP4 | H.264 | 25, starts at 3.5 s", "clip.mp4", kX264 + " -output_ts_offset 3.5"},
    {"Mp4Hevc5994", "MP4 | HEVC | 59.94", "clip.mp4",
     "-c:v libx265 -pix_fmt yuv420p -tag:v hvc1 -x265-params "
     "keyint=24:min-keyint=24:bframes=3:log-level=error",
     "60000/1001", 90},
    {"MkvHevc2997", "MKV | HEVC | 29.97", "clip.mkv",
     "-c:v libx265 -pix_fmt yuv420p -x265-params keyint=12:min-keyint=12:bframes=3:log-level=error",
     "30000/1001"},
    {"MkvHevc10Bit25", "MKV | HEVC 10-bit | 25", "clip.mkv",
     "-c:v libx265 -pix_fmt yuv420p10le -x265-params keyint=12:min-keyint=12:log-level=error"},
    {"WebmVp925", "WebM | VP9 | 25", "clip.webm",
     "-c:v libvpx-vp9 -g 12 -b:v 300k -deadline realtime -cpu-used 8"},
    {"WebmAv130", "WebM | AV1 | 30", "clip.webm", "-c:v libaom-av1 -cpu-used 8 -row-mt 1 -g 12 -b:v 200k",
     "30"},
    {"AviMpeg4BFrames25", "AVI | MPEG-4 Visual | 25", "clip.avi", "-c:v mpeg4 -bf 2 -g 12 -q:v 3"},
    {"AviMjpeg30", "AVI | MJPEG | 30", "clip.avi", "-c:v mjpeg -q:v 3 -pix_fmt yuvj420p", "30"},
    {"MovMjpeg2997", "MOV | MJPEG | 29.97", "clip.mov", "-c:v mjpeg -q:v 3 -pix_fmt yuvj420p", "30000/1001"},
    {"AviNoIndexMpeg4_25", "AVI without idx1 | MPEG-4 Visual | 25", "clip.avi",
     "-c:v mpeg4 -bf 2 -g 12 -q:v 3", "25", 60, dropAviIndex},
    {"ThreeGpMpeg4_25", "3GP | MPEG-4 Visual | 25", "clip.3gp", "-c:v mpeg4 -bf 1 -g 12 -q:v 3"},
    {"PsMpeg2Gop50_25", "MPEG-PS | MPEG-2 | 25", "clip.mpg", "-c:v mpeg2video -bf 2 -g 50 -q:v 3", "25", 75},
    {"PsMpeg2_2997", "MPEG-PS | MPEG-2 | 29.97", "clip.mpg", "-c:v mpeg2video -bf 2 -g 15 -q:v 3",
     "30000/1001"},
    {"TsH264_25", "MPEG-TS .ts | H.264 B-pyramid | 25", "clip.ts", kX264},
    {"TsMpeg2_5994", "MPEG-TS .ts | MPEG-2 | 59.94", "clip.ts", "-c:v mpeg2video -bf 2 -g 24 -q:v 3",
     "60000/1001", 90},
    {"M2tsH264_2997", "MPEG-TS .m2ts | H.264 B-pyramid | 29.97", "clip.m2ts", kX264, "30000/1001"},
    {"RawMpeg2_25", "raw .m2v | MPEG-2 | 25", "clip.m2v", "-c:v mpeg2video -bf 2 -g 12 -q:v 3"},
    {"RawH264_25", "raw .h264 | H.264 B-pyramid | 25", "clip.h264", kX264},
    // Long enough (40 s) that stills far apart are reached by seeking rather than decoding on.
    {"RawH264Long_25", "raw .h264, 40 s | H.264 B-pyramid | 25", "clip.h264", kX264, "25", 1000},
    {"TsH264Long_25", "MPEG-TS .ts, 40 s | H.264 B-pyramid | 25", "clip.ts", kX264, "25", 1000},
};

void PrintTo(const Cell& c, std::ostream* os) { *os << c.name; }

// The clip of a cell, made once per build tree: its name carries a digest of the recipe, so a
// changed recipe makes a new file, and it is written under a temporary name and renamed, so cells
// run by parallel processes never read half a file. Empty when ffmpeg cannot make it.
fs::path clipOf(const Cell& c)
{
    const test::ClipOptions options{
        .frames = c.frames, .rate = c.rate, .width = 160, .height = 96, .codec = c.codec};
    const std::string ext = fs::path(c.file).extension().string();
    const std::size_t digest = std::hash<std::string>{}(
        options.codec + "|" + c.rate + "|" + std::to_string(c.frames) + (c.patch ? "|patched" : ""));
    const fs::path dir = fs::path(QUILLON_TEST_WORK_DIR) / "truth-matrix";
    fs::create_directories(dir);
    const fs::path file = dir / (c.name + ("-" + std::to_string(digest)) + ext);
    const fs::path partial = dir / (c.name + (".partial" + std::to_string(::getpid())) + ext);
    if (fs::exists(file))
        return file;
    if (!test::makeIndexClip(partial, options) || (c.patch && !c.patch(partial)))
        return {};
    fs::rename(partial, file);
    return file;
}

// What ffprobe says about a clip: each frame's start on the clip's own axis (0 = first frame), in
// display order, where the last one ends, and the stream's rate.
struct Truth {
    std::vector<double> starts;
    double end = 0, fps = 0;
    // Frames without timestamps follow each other at the stream's rate; without any (an
    // elementary stream) the length is a count of frames.
    bool untimed = false, counted = false;

    // The frame on screen at `sec` (after rounding to 1/600 s when `rounded`).
    int frameAt(double sec, bool rounded = true) const
    {
        const double t = rounded ? std::round(std::max(sec, 0.0) * 600) / 600 : sec;
        // ffprobe prints six decimals; no 1/600 step lies that close to a frame start without
        // being it in any of these clips' clocks (1/1000, 1/90000 and rate-based time bases).
        const auto after = std::upper_bound(starts.begin(), starts.end(), t + 1e-6);
        return std::max(0, static_cast<int>(after - starts.begin()) - 1);
    }

    // Whether frame i starts at i / fps for every i, as a clip of constant rate does.
    bool evenlySpaced() const
    {
        for (std::size_t i = 0; i < starts.size(); ++i)
            if (std::fabs(starts[i] - i / fps) >= 0.25 / fps)
                return false;
        return true;
    }
};

void probe(const fs::path& file, Truth& truth)
{
    const std::string ffprobe = "ffprobe -v error -select_streams v:0 -of csv=p=0 -show_entries ";
    const std::string q = shellQuote(file.string());
    double num = 0, den = 1;
    std::sscanf(test::capture(ffprobe + "stream=r_frame_rate " + q).c_str(), "%lf/%lf", &num, &den);
    truth.fps = den > 0 ? num / den : 0;
    ASSERT_GT(truth.fps, 0) << "ffprobe gave no rate";
    std::istringstream lines(
        test::capture(ffprobe + "frame=best_effort_timestamp_time,pkt_duration_time " + q));
    std::vector<std::string> stamps;
    double lastDuration = 0;  // 0 when unknown ("N/A")
    for (std::string line; std::getline(lines, line);) {
        if (line.empty())
            continue;
        const std::size_t comma = line.find(',');
        stamps.push_back(line.substr(0, comma));
        lastDuration = comma == std::string::npos ? 0 : std::atof(line.c_str() + comma + 1);
    }
    ASSERT_FALSE(stamps.empty()) << "ffprobe gave no frames";
    const auto missing = [](const std::string& s) { return s.empty() || s == "N/A"; };
    truth.untimed = std::ranges::any_of(stamps, missing);
    truth.counted = std::ranges::all_of(stamps, missing);
    for (std::size_t i = 0; i < stamps.size(); ++i) {
        truth.starts.push_back(truth.untimed ? i / truth.fps : std::stod(stamps[i]) - std::stod(stamps[0]));
        ASSERT_TRUE(i == 0 || truth.starts[i] > truth.starts[i - 1])
            << "ffprobe's timestamps do not increase at frame " << i;
    }
    truth.end = truth.starts.back() + (!truth.untimed && lastDuration > 0 ? lastDuration : 1 / truth.fps);
}

using Upright = std::function<Image(const Image&)>;
Image asStored(const Image& still) { return still; }

// The frame indices of the stills at `times`, one image() call each.
std::vector<int> oneAtATime(StillsSource& source, const std::vector<double>& times,
                            const Upright& upright = asStored)
{
    std::vector<int> shown;
    for (double t : times)
        shown.push_back(test::readFrameIndex(upright(source.image(t).value_or(Image()))));
    return shown;
}

// The same taken in one run, as an extraction or an export takes them (-2: never delivered).
std::vector<int> takeStills(StillsSource& source, const std::vector<double>& times,
                            const Upright& upright = asStored)
{
    std::vector<int> shown(times.size(), -2);
    source.stills(
        times,
        [&](std::size_t, std::optional<Image> still) -> std::any {
            return test::readFrameIndex(upright(still.value_or(Image())));
        },
        [&](std::size_t i, std::any made) {
        shown[i] = made.has_value() ? std::any_cast<int>(made) : -1;
        return true;
        });
    return shown;
}

// Counts the times whose still is not the frame on screen, and reports each.
int mismatches(const Truth& truth, const std::vector<double>& times, const std::vector<int>& shown,
               const char* how)
{
    int wrong = 0;
    for (std::size_t i = 0; i < times.size(); ++i) {
        const int expected = truth.frameAt(times[i]);
        if (shown[i] != expected) {
            ++wrong;
            ADD_FAILURE() << how << ": t = " << times[i] << " s gave frame " << shown[i] << ", frame "
                          << expected << " is on screen";
        }
    }
    return wrong;
}

class TruthMatrix : public testing::TestWithParam<Cell> {};

TEST_P(TruthMatrix, EveryStillIsTheFrameOnScreen)
{
    const Cell& c = GetParam();
    const fs::path file = clipOf(c);
    // A clip ffmpeg cannot make fails the cell: the table must not hide a codec this system lacks.
    ASSERT_FALSE(file.empty()) << "ffmpeg could not make the " << c.row << " clip";
    Truth truth;
    ASSERT_NO_FATAL_FAILURE(probe(file, truth));
    ASSERT_EQ(static_cast<int>(truth.starts.size()), c.frames);

    // Every 5 % sample of the true length, and times just around frame starts: inside the
    // rounding to 1/600 s, and a few milliseconds away on either side; before the start and past
    // the end, the first and the last frame.
    std::vector<double> samples;
    for (const StillSample& s : sampleTimes(truth.end, 5, truth.fps))
        samples.push_back(s.sec);
    std::vector<double> edges{-1, truth.end + 1};
    const int n = c.frames;
    for (int k : {1, 2, 5, 12, 13, 24, 25, n / 2, n - 2, n - 1})
        for (double d : {-0.004, -0.0007, 0.0, 0.0007, 0.004})
            edges.push_back(truth.starts[k] + d);

    bool durationOff = false;
    int freshWrong = 0, laterWrong = 0;
    {
        // A fresh source, one still at a time, backwards and scattered.
        auto source = StillsSource::open(file);
        ASSERT_TRUE(source);
        EXPECT_EQ(source->framesDecoded(), 0) << "opening decodes nothing";
        EXPECT_FALSE(source->isGif());
        EXPECT_EQ(test::sizeText(source->pixelSize().width, source->pixelSize().height), "160x96");
        if (truth.evenlySpaced()) {
            EXPECT_NEAR(source->fps(), truth.fps, 0.01);
        }
        // A stream without timestamps has its frames counted; a container's length may round to a frame.
        durationOff = c.checkDuration && std::fabs(source->durationSec() - truth.end) >
                                             (truth.counted ? 0 : 1 / truth.fps) + 1e-6;
        EXPECT_FALSE(durationOff) << "duration " << source->durationSec() << " s, the frames last "
                                  << truth.end << " s";
        const std::vector<double> times(edges.rbegin(), edges.rend());
        freshWrong += mismatches(truth, times, oneAtATime(*source, times), "fresh source");
    }
    {
        // A fresh source, one still at a time forward: each frame is decoded at most once.
        auto source = StillsSource::open(file);
        ASSERT_TRUE(source);
        freshWrong += mismatches(truth, samples, oneAtATime(*source, samples), "forward from a fresh source");
        EXPECT_LE(source->framesDecoded(), n) << "forward stills decoded frames twice";
    }
    {
        // An extraction (to the end of the file), then an export and single stills from the same
        // source, as the page asks for them.
        auto source = StillsSource::open(file);
        ASSERT_TRUE(source);
        laterWrong += mismatches(truth, samples, takeStills(*source, samples), "extraction");
        laterWrong += mismatches(truth, samples, takeStills(*source, samples), "export after an extraction");
        laterWrong += mismatches(truth, edges, takeStills(*source, edges), "stills after an extraction");
        laterWrong += mismatches(truth, samples, oneAtATime(*source, samples),
                                 "one at a time after an extraction");
    }
    auto verdict = [](int wrong) {
        return wrong == 0 ? std::string("pass") : "FAIL (" + std::to_string(wrong) + ")";
    };
    std::cout << "| " << c.row << " | " << (durationOff ? "FAIL" : "pass") << " | " << verdict(freshWrong)
              << " | " << verdict(laterWrong) << " |" << std::endl;
}

INSTANTIATE_TEST_SUITE_P(Stills, TruthMatrix, testing::ValuesIn(kCells),
                         [](const testing::TestParamInfo<Cell>& info) {
    return std::string(info.param.name);
});

// Stepping frame by frame, checked against ffprobe's frame times: clips of the matrix, a clip
// turned by its display matrix and a GIF with uneven delays.
struct StepCase {
    Cell clip;
    int gop;         // frames from one key frame to the next
    int backFrames;  // the most frames one step back may decode
    Upright upright = asStored;
};

void PrintTo(const StepCase& c, std::ostream* os) { *os << c.clip.name; }

const Cell& cellNamed(std::string_view name)
{
    return *std::ranges::find_if(kCells, [&](const Cell& c) { return c.name == name; });
}

// A still turned a quarter clockwise, turned back so its bars read left to right again.
Image turnedBack(const Image& still)
{
    return still.empty() ? still : Image(still.pixels().rot270().copy_memory());
}

class FrameStepping : public testing::TestWithParam<StepCase> {};

TEST_P(FrameStepping, EachStepReachesTheNeighbouringFrame)
{
    const StepCase& c = GetParam();
    const fs::path file = clipOf(c.clip);
    ASSERT_FALSE(file.empty()) << "ffmpeg could not make the clip";
    Truth truth;
    ASSERT_NO_FATAL_FAILURE(probe(file, truth));
    const int n = static_cast<int>(truth.starts.size());
    auto source = StillsSource::open(file);
    ASSERT_TRUE(source);
    // Frame numbers are counted at the nominal rate, which only a clip of even frames keeps.
    const bool evenlySpaced = source->isGif() || truth.evenlySpaced();

    // The frame a step reached: its picture, its interval, and a still time that every other way
    // of taking a still (an export) maps back to it.
    auto expectFrame = [&](const std::optional<SteppedStill>& still, int expected, const std::string& how) {
        ASSERT_TRUE(still) << how;
        EXPECT_EQ(test::readFrameIndex(c.upright(still->image)), expected) << how;
        if (evenlySpaced) {
            EXPECT_EQ(still->frameNumber, expected) << how;
        }
        EXPECT_NEAR(still->startSec, truth.starts[expected], 2e-6) << how;
        if (expected + 1 < n) {
            EXPECT_NEAR(still->endSec, truth.starts[expected + 1], 2e-6) << how;
        }
        EXPECT_EQ(truth.frameAt(still->stillSec), expected) << how;
    };
    using Unit = FrameStep::Unit;
    auto stepFrom = [&](double sec, Unit unit, double amount) { return source->step(sec, {unit, amount}); };

    // From the middle of a group of pictures, one frame at a time forward across the next key
    // frame: each step decodes the one frame it shows next, never seeking.
    int k = std::min(c.gop / 2 + 1, n - 1);
    std::optional<SteppedStill> still = stepFrom(truth.starts[k] + 0.001, Unit::Frames, 0);
    ASSERT_NO_FATAL_FAILURE(expectFrame(still, k, "the frame itself"));
    const int forward = std::min(c.gop, n - 1 - k);
    const std::int64_t before = source->framesDecoded();
    for (int i = 0; i < forward; ++i, ++k) {
        still = stepFrom(still->stillSec, Unit::Frames, 1);
        ASSERT_NO_FATAL_FAILURE(expectFrame(still, k + 1, "forward from frame " + std::to_string(k)));
    }
    EXPECT_LE(source->framesDecoded() - before, forward + 1) << "stepping forward decoded frames twice";

    // Back one frame at a time across the key frame again, then from frame 2 to the first
    // frame, where a step stays.
    for (const int stop = std::max(k - c.gop, 0); k > stop; --k) {
        const std::int64_t decoded = source->framesDecoded();
        still = stepFrom(still->stillSec, Unit::Frames, -1);
        ASSERT_NO_FATAL_FAILURE(expectFrame(still, k - 1, "back from frame " + std::to_string(k)));
        EXPECT_LE(source->framesDecoded() - decoded, c.backFrames) << "back from frame " << k;
    }
    still = stepFrom(truth.starts[2] + 0.001, Unit::Frames, 0);
    for (k = 2; k >= 0; --k) {
        ASSERT_TRUE(still);
        still = stepFrom(still->stillSec, Unit::Frames, -1);
        ASSERT_NO_FATAL_FAILURE(
            expectFrame(still, std::max(k - 1, 0), "back from frame " + std::to_string(k)));
    }

    // Past the end a step stays on the last frame; a second back from the last start.
    expectFrame(stepFrom(truth.end + 1, Unit::Frames, 1), n - 1, "forward from the last frame");
    still = stepFrom(truth.starts[n - 1] + 0.001, Unit::Seconds, -1);
    ASSERT_NO_FATAL_FAILURE(expectFrame(still, truth.frameAt(truth.starts[n - 1] - 1, false),
                                        "a second back from the last frame"));
    expectFrame(stepFrom(still->stillSec, Unit::Seconds, 1), truth.frameAt(still->startSec + 1, false),
                "a second forward");
    expectFrame(stepFrom(truth.starts[1] + 0.001, Unit::Seconds, -1), 0, "a second back from frame 1");

    // The still time of a step gives the same frame as a single still and in a run of stills.
    still = stepFrom(truth.starts[n / 2], Unit::Frames, 1);
    ASSERT_TRUE(still);
    EXPECT_EQ(oneAtATime(*source, {still->stillSec}, c.upright), (std::vector<int>{n / 2 + 1}));
    EXPECT_EQ(takeStills(*source, {0, still->stillSec}, c.upright), (std::vector<int>{0, n / 2 + 1}));
}

INSTANTIATE_TEST_SUITE_P(
    Stills, FrameStepping,
    testing::Values(StepCase{cellNamed("Mp4H264Pyramid23976"), 24, 24 + 8},
                    StepCase{cellNamed("MovH264OpenGop25"), 12, 2 * 12 + 8},
                    StepCase{cellNamed("MkvH264Vfr"), 8, 8 + 8},
                    StepCase{{"TurnedMp4", "", "clip.mp4",
                              "-c:v libx264 -pix_fmt yuv420p -bf 2 -g 12 -sc_threshold 0", "25", 30,
                              turnQuarter},
                             12,
                             12 + 8,
                             turnedBack},
                    // Frames of 0.04, 0.2 and 0.07 s in turn (three, three and four frames).
                    StepCase{{"UnevenGif", "", "uneven.gif",
                              "-vf \"setpts='if(lt(N,3),N*4,if(lt(N,6),12+(N-3)*20,72+(N-6)*7))'\" "
                              "-fps_mode passthrough",
                              "100", 10},
                             10,
                             10}),
    [](const testing::TestParamInfo<StepCase>& info) { return std::string(info.param.clip.name); });

}  // namespace
}  // namespace quillon
