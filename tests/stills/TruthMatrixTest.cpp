// The truth matrix: for clips in every common container and codec, each still must be the frame
// on screen at round(t * 600) / 600, where "on screen" is what ffprobe's frame timestamps say (the
// frame with the largest timestamp not above the time; the next frame's timestamp ends a frame's
// interval, the stream's end the last one's). Clips are tiny and made once into the build's
// test-media folder; each cell prints its row, and a run of the whole suite prints the table.
#include <gtest/gtest.h>

#include <algorithm>
#include <any>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <mutex>
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

using test::shellQuote;

struct Cell {
    const char* name;       // test name
    const char* container;  // as the table shows it
    const char* codecName;
    const char* rateName;
    const char* file;  // the extension picks ffmpeg's muxer
    const char* codec;
    const char* rate = "25";
    const char* extra = "";
    int frames = 60;
    const char* filter = "";    // appended to the source graph (timestamps of a variable-rate clip)
    bool dropAviIndex = false;  // the idx1 chunk renamed, as in files whose writer never finished it
};

constexpr const char* kX264 =
    "-c:v libx264 -pix_fmt yuv420p -preset veryfast -bf 3 -b-pyramid normal -g 24 -sc_threshold 0";

const Cell kCells[] = {
    {"Mp4H264Pyramid23976", "MP4", "H.264 B-pyramid", "23.976", "clip.mp4", kX264, "24000/1001"},
    {"MovH264OpenGop25", "MOV", "H.264 open GOP", "25", "clip.mov",
     "-c:v libx264 -pix_fmt yuv420p -bf 3 -x264-params open-gop=1:keyint=12:min-keyint=12:scenecut=0"},
    {"MkvH264Defaults30", "MKV", "H.264 x264 defaults", "30", "clip.mkv", "-c:v libx264 -pix_fmt yuv420p",
     "30"},
    {"MkvH264Pyramid2997", "MKV", "H.264 B-pyramid", "29.97", "clip.mkv", kX264, "30000/1001"},
    {"MkvH264Vfr", "MKV", "H.264", "variable", "clip.mkv",
     "-c:v libx264 -pix_fmt yuv420p -bf 2 -g 8 -fps_mode vfr -enc_time_base 1/1000", "25", "", 30,
     ",settb=1/1000,setpts='if(lt(N,10),N*0.04,0.4+(N-10)*0.1)/TB'"},
    {"MkvH264LateStart25", "MKV", "H.264", "25, starts at 3.5 s", "clip.mkv", kX264, "25",
     "-output_ts_offset 3.5"},
    {"Mp4H264LateStart25", "MP4", "H.264", "25, starts at 3.5 s", "clip.mp4", kX264, "25",
     "-output_ts_offset 3.5"},
    {"Mp4Hevc5994", "MP4", "HEVC", "59.94", "clip.mp4",
     "-c:v libx265 -pix_fmt yuv420p -tag:v hvc1 -x265-params "
     "keyint=24:min-keyint=24:bframes=3:log-level=error",
     "60000/1001", "", 90},
    {"MkvHevc2997", "MKV", "HEVC", "29.97", "clip.mkv",
     "-c:v libx265 -pix_fmt yuv420p -x265-params keyint=12:min-keyint=12:bframes=3:log-level=error",
     "30000/1001"},
    {"WebmVp925", "WebM", "VP9", "25", "clip.webm",
     "-c:v libvpx-vp9 -g 12 -b:v 300k -deadline realtime -cpu-used 8"},
    {"WebmAv130", "WebM", "AV1", "30", "clip.webm", "-c:v libaom-av1 -cpu-used 8 -row-mt 1 -g 12 -b:v 200k",
     "30"},
    {"AviMpeg4BFrames25", "AVI", "MPEG-4 Visual", "25", "clip.avi", "-c:v mpeg4 -bf 2 -g 12 -q:v 3"},
    {"AviMjpeg30", "AVI", "MJPEG", "30", "clip.avi", "-c:v mjpeg -q:v 3 -pix_fmt yuvj420p", "30"},
    {"MovMjpeg2997", "MOV", "MJPEG", "29.97", "clip.mov", "-c:v mjpeg -q:v 3 -pix_fmt yuvj420p",
     "30000/1001"},
    {"AviNoIndexMpeg4_25", "AVI without idx1", "MPEG-4 Visual", "25", "clip.avi",
     "-c:v mpeg4 -bf 2 -g 12 -q:v 3", "25", "", 60, "", true},
    {"ThreeGpMpeg4_25", "3GP", "MPEG-4 Visual", "25", "clip.3gp", "-c:v mpeg4 -bf 1 -g 12 -q:v 3"},
    {"PsMpeg2Gop50_25", "MPEG-PS", "MPEG-2", "25", "clip.mpg", "-c:v mpeg2video -bf 2 -g 50 -q:v 3", "25", "",
     75},
    {"PsMpeg2_2997", "MPEG-PS", "MPEG-2", "29.97", "clip.mpg", "-c:v mpeg2video -bf 2 -g 15 -q:v 3",
     "30000/1001"},
    {"TsH264_25", "MPEG-TS .ts", "H.264 B-pyramid", "25", "clip.ts", kX264},
    {"TsMpeg2_5994", "MPEG-TS .ts", "MPEG-2", "59.94", "clip.ts", "-c:v mpeg2video -bf 2 -g 24 -q:v 3",
     "60000/1001", "", 90},
    {"M2tsH264_2997", "MPEG-TS .m2ts", "H.264 B-pyramid", "29.97", "clip.m2ts", kX264, "30000/1001"},
    {"RawMpeg2_25", "raw .m2v", "MPEG-2", "25", "clip.m2v", "-c:v mpeg2video -bf 2 -g 12 -q:v 3"},
    {"RawH264_25", "raw .h264", "H.264 B-pyramid", "25", "clip.h264", kX264},
    // Long enough (40 s) that stills far apart are reached by seeking rather than decoding on.
    {"RawH264Long_25", "raw .h264, 40 s", "H.264 B-pyramid", "25", "clip.h264", kX264, "25", "", 1000},
    {"TsH264Long_25", "MPEG-TS .ts, 40 s", "H.264 B-pyramid", "25", "clip.ts", kX264, "25", "", 1000},
};

void PrintTo(const Cell& c, std::ostream* os) { *os << c.name; }

// The clip of a cell, made once per build tree: its name carries a digest of the command, so a
// changed recipe makes a new file, and it is written under a temporary name and renamed, so cells
// run by parallel processes never read half a file.
std::filesystem::path clipOf(const Cell& c)
{
    const std::string source = "color=c=black:s=160x96:r=" + std::string(c.rate) +
                               ",format=yuv420p,"
                               "geq=lum='if(bitand(floor(N/pow(2,floor(X*10/W))),1),235,16)':cb=128:cr=128" +
                               c.filter;
    const std::filesystem::path name(c.file);
    const std::string args = std::string(c.codec) + " -frames:v " + std::to_string(c.frames) + " " + c.extra;
    const std::size_t digest = std::hash<std::string>{}(source + "|" + args);
    const auto dir = std::filesystem::path(QUILLON_TEST_WORK_DIR) / "truth-matrix";
    std::filesystem::create_directories(dir);
    const auto file = dir / (std::string(c.name) + "-" + std::to_string(digest) + name.extension().string());
    if (std::filesystem::exists(file))
        return file;
    const auto partial = dir / (std::string(c.name) + ".partial" + std::to_string(::getpid()) +
                                name.extension().string());
    if (test::run("ffmpeg -nostdin -v error -y -f lavfi -i " + shellQuote(source) + " " + args + " " +
                  shellQuote(partial.string())) != 0)
        return {};
    if (c.dropAviIndex) {
        std::fstream avi(partial, std::ios::in | std::ios::out | std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(avi)), {});
        const std::size_t at = bytes.rfind("idx1");
        if (at == std::string::npos)
            return {};
        avi.seekp(static_cast<std::streamoff>(at));
        avi.write("JUNK", 4);
    }
    std::filesystem::rename(partial, file);
    return file;
}

// What ffprobe says about a clip: each frame's start on the clip's own axis (0 = first frame),
// in display order, and where the last one ends.
struct Truth {
    std::vector<double> starts;
    double end = 0;
    double fps = 0;
    std::string problem;  // why no truth could be read, if so

    // The frame index on screen at `sec`, as a still must show it.
    int frameAt(double sec) const
    {
        const double t = std::round(std::max(sec, 0.0) * 600) / 600;
        // ffprobe prints six decimals; no 1/600 step lies that close to a frame start without
        // being it in any of these clips' clocks (1/1000, 1/90000 and rate-based time bases).
        const auto after = std::upper_bound(starts.begin(), starts.end(), t + 1e-6);
        return std::max(0, static_cast<int>(after - starts.begin()) - 1);
    }
};

double parseRate(const std::string& text)
{
    double num = 0, den = 1;
    if (std::sscanf(text.c_str(), "%lf/%lf", &num, &den) >= 1 && den > 0)
        return num / den;
    return 0;
}

Truth probe(const std::filesystem::path& file)
{
    Truth truth;
    const std::string q = shellQuote(file.string());
    truth.fps = parseRate(test::capture(
        "ffprobe -v error -select_streams v:0 -show_entries stream=r_frame_rate -of csv=p=0 " + q));
    std::istringstream lines(test::capture("ffprobe -v error -select_streams v:0 -show_entries "
                                           "frame=best_effort_timestamp_time,pkt_duration_time -of csv=p=0 " +
                                           q));
    std::vector<double> stamps, durations;
    bool untimed = false;
    for (std::string line; std::getline(lines, line);) {
        if (line.empty())
            continue;
        const std::size_t comma = line.find(',');
        const std::string stamp = line.substr(0, comma);
        const std::string duration = comma == std::string::npos ? "" : line.substr(comma + 1);
        untimed = untimed || stamp == "N/A" || stamp.empty();
        stamps.push_back(untimed ? 0 : std::stod(stamp));
        durations.push_back(duration.empty() || duration == "N/A" ? 0 : std::stod(duration));
    }
    if (stamps.empty() || truth.fps <= 0) {
        truth.problem = "ffprobe gave no frames or no rate";
        return truth;
    }
    if (untimed) {
        // An elementary stream carries no timestamps: frames follow each other at the stream's rate.
        for (std::size_t i = 0; i < stamps.size(); ++i)
            truth.starts.push_back(static_cast<double>(i) / truth.fps);
        truth.end = static_cast<double>(stamps.size()) / truth.fps;
        return truth;
    }
    for (std::size_t i = 1; i < stamps.size(); ++i)
        if (stamps[i] <= stamps[i - 1]) {
            truth.problem = "ffprobe's timestamps do not increase at frame " + std::to_string(i);
            return truth;
        }
    for (double s : stamps)
        truth.starts.push_back(s - stamps.front());
    const double last = durations.back() > 0 ? durations.back() : 1 / truth.fps;
    truth.end = truth.starts.back() + last;
    return truth;
}

// The table of cells run by this process, printed when the suite ends.
std::mutex rowsMutex;
std::vector<std::string> rows;

class MatrixTable : public testing::Environment {
public:
    void TearDown() override
    {
        std::lock_guard lock(rowsMutex);
        if (rows.size() < 2)
            return;  // one cell's row was printed with it
        std::cout << "\n| container | codec | rate | duration | fresh source | after an extraction |\n"
                     "|---|---|---|---|---|---|\n";
        for (const std::string& row : rows)
            std::cout << row << "\n";
    }
};
const testing::Environment* const table = testing::AddGlobalTestEnvironment(new MatrixTable);

// The frame indices a source's stills show at `times`, taken in one run as an extraction or an
// export takes them.
std::vector<int> takeStills(StillsSource& source, const std::vector<double>& times)
{
    std::vector<int> shown(times.size(), -2);
    source.stills(
        times,
        [](std::size_t, std::optional<Image> still) -> std::any {
            return test::readFrameIndex(still.value_or(Image()));
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
    const auto file = clipOf(c);
    // A clip ffmpeg cannot make fails the cell: the table must not hide a codec this system lacks.
    ASSERT_FALSE(file.empty()) << "ffmpeg could not make the " << c.container << " / " << c.codecName
                               << " clip";
    const Truth truth = probe(file);
    ASSERT_TRUE(truth.problem.empty()) << truth.problem;
    ASSERT_EQ(static_cast<int>(truth.starts.size()), c.frames);

    // Every 5 % sample of the true length, and times just around frame starts: inside the
    // rounding to 1/600 s, and a few milliseconds away on either side.
    std::vector<double> samples;
    for (const StillSample& s : sampleTimes(truth.end, 5, truth.fps))
        samples.push_back(s.sec);
    std::vector<double> edges;
    const int n = c.frames;
    for (int k : {1, 2, 5, 12, 13, 24, 25, n / 2, n - 2, n - 1})
        for (double d : {-0.004, -0.0007, 0.0, 0.0007, 0.004})
            edges.push_back(truth.starts[k] + d);
    edges.push_back(truth.end + 1);  // past the end: the last frame

    int durationOff = 0, freshWrong = 0, laterWrong = 0;
    {
        // A fresh source, one still at a time, backwards and scattered.
        auto source = StillsSource::open(file);
        ASSERT_TRUE(source);
        EXPECT_EQ(test::sizeText(source->pixelSize().width, source->pixelSize().height), "160x96");
        if (std::fabs(source->durationSec() - truth.end) > 1 / truth.fps + 1e-6) {
            ++durationOff;
            ADD_FAILURE() << "duration " << source->durationSec() << " s, the frames last " << truth.end
                          << " s";
        }
        std::vector<double> times(edges.rbegin(), edges.rend());
        std::vector<int> shown;
        for (double t : times)
            shown.push_back(test::readFrameIndex(source->image(t).value_or(Image())));
        freshWrong = mismatches(truth, times, shown, "fresh source");
    }
    {
        // An extraction (to the end of the file), then an export and single stills from the same
        // source, as the page asks for them.
        auto source = StillsSource::open(file);
        ASSERT_TRUE(source);
        laterWrong += mismatches(truth, samples, takeStills(*source, samples), "extraction");
        laterWrong += mismatches(truth, samples, takeStills(*source, samples), "export after an extraction");
        laterWrong += mismatches(truth, edges, takeStills(*source, edges), "stills after an extraction");
        std::vector<int> shown;
        for (double t : samples)
            shown.push_back(test::readFrameIndex(source->image(t).value_or(Image())));
        laterWrong += mismatches(truth, samples, shown, "one still at a time after an extraction");
    }

    auto verdict = [](int wrong) {
        return wrong == 0 ? std::string("pass") : "FAIL (" + std::to_string(wrong) + ")";
    };
    const std::string row = std::string("| ") + c.container + " | " + c.codecName + " | " + c.rateName +
                            " | " + (durationOff ? "FAIL" : "pass") + " | " + verdict(freshWrong) + " | " +
                            verdict(laterWrong) + " |";
    std::cout << row << std::endl;
    std::lock_guard lock(rowsMutex);
    rows.push_back(row);
}

INSTANTIATE_TEST_SUITE_P(Stills, TruthMatrix, testing::ValuesIn(kCells),
                         [](const testing::TestParamInfo<Cell>& info) {
    return std::string(info.param.name);
});

// Stepping frame by frame, checked against ffprobe's frame times: a clip of the matrix, a clip
// turned by its display matrix and a GIF with uneven delays.
struct StepCase {
    const char* name;
    std::function<std::filesystem::path()> make;
    int gop;         // frames from one key frame to the next
    int backFrames;  // the most frames one step back may decode
    std::function<Image(const Image&)> upright = [](const Image& still) { return still; };
};

void PrintTo(const StepCase& c, std::ostream* os) { *os << c.name; }

const Cell& cellNamed(std::string_view name)
{
    return *std::find_if(std::begin(kCells), std::end(kCells), [&](const Cell& c) { return c.name == name; });
}

std::function<std::filesystem::path()> matrixClip(std::string_view name)
{
    return [name] { return clipOf(cellNamed(name)); };
}

// An index clip with key frames every 12 frames, turned a quarter clockwise by its track matrix.
std::filesystem::path turnedClip()
{
    const auto file = test::freshDir("step-turned") / "turned.mp4";
    if (!test::makeIndexClip(file, {.frames = 30,
                                    .width = 160,
                                    .height = 96,
                                    .codec = "-c:v libx264 -pix_fmt yuv420p -bf 2 -g 12 -sc_threshold 0"}))
        return {};
    test::setTrackMatrix(file, {0, 1 << 16, 0, -(1 << 16), 0, 0, 96 << 16, 0, 1 << 30});
    return file;
}

// An index GIF whose frames last 0.04, 0.2 and 0.07 s in turn (three, three and four frames).
std::filesystem::path unevenGif()
{
    const auto file = test::freshDir("step-gif") / "uneven.gif";
    const std::string source = "color=c=black:s=160x96:r=100,format=yuv420p,"
                               "geq=lum='if(bitand(floor(N/pow(2,floor(X*10/W))),1),235,16)':cb=128:cr=128,"
                               "setpts='if(lt(N,3),N*4,if(lt(N,6),12+(N-3)*20,72+(N-6)*7))'";
    if (test::run("ffmpeg -nostdin -v error -y -f lavfi -i " + shellQuote(source) +
                  " -frames:v 10 -fps_mode passthrough " + shellQuote(file.string())) != 0)
        return {};
    return file;
}

class FrameStepping : public testing::TestWithParam<StepCase> {};

TEST_P(FrameStepping, EachStepReachesTheNeighbouringFrame)
{
    const StepCase& c = GetParam();
    const auto file = c.make();
    ASSERT_FALSE(file.empty()) << "ffmpeg could not make the clip";
    const Truth truth = probe(file);
    ASSERT_TRUE(truth.problem.empty()) << truth.problem;
    const int n = static_cast<int>(truth.starts.size());
    auto source = StillsSource::open(file);
    ASSERT_TRUE(source);
    // Frame numbers are counted at the nominal rate, which only a clip of even frames keeps.
    bool evenlySpaced = source->isGif();
    if (!evenlySpaced) {
        evenlySpaced = true;
        for (int i = 0; i < n; ++i)
            evenlySpaced = evenlySpaced && std::fabs(truth.starts[i] - i / truth.fps) < 0.25 / truth.fps;
    }

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
    auto stepFrom = [&](double sec, FrameStep::Unit unit, double amount) {
        return source->step(sec, {unit, amount});
    };
    using Unit = FrameStep::Unit;

    // From the middle of a group of pictures, one frame at a time forward across the next key
    // frame: each step decodes the one frame it shows next, never seeking.
    int k = std::min(c.gop / 2 + 1, n - 1);
    std::optional<SteppedStill> still = stepFrom(truth.starts[k] + 0.001, Unit::Frames, 0);
    expectFrame(still, k, "the frame itself");
    ASSERT_TRUE(still);
    const int forward = std::min(c.gop, n - 1 - k);
    const std::int64_t before = source->framesDecoded();
    for (int i = 0; i < forward; ++i, ++k) {
        still = stepFrom(still->stillSec, Unit::Frames, 1);
        expectFrame(still, k + 1, "forward from frame " + std::to_string(k));
        ASSERT_TRUE(still);
    }
    EXPECT_LE(source->framesDecoded() - before, forward + 1) << "stepping forward decoded frames twice";

    // Back one frame at a time across the key frame again, then from frame 2 to the first
    // frame, where a step stays.
    for (const int stop = std::max(k - c.gop, 0); k > stop; --k) {
        const std::int64_t decoded = source->framesDecoded();
        still = stepFrom(still->stillSec, Unit::Frames, -1);
        expectFrame(still, std::max(k - 1, 0), "back from frame " + std::to_string(k));
        ASSERT_TRUE(still);
        EXPECT_LE(source->framesDecoded() - decoded, c.backFrames) << "back from frame " << k;
    }
    still = stepFrom(truth.starts[2] + 0.001, Unit::Frames, 0);
    ASSERT_TRUE(still);
    for (k = 2; k >= 0; --k) {
        still = stepFrom(still->stillSec, Unit::Frames, -1);
        expectFrame(still, std::max(k - 1, 0), "back from frame " + std::to_string(k));
        ASSERT_TRUE(still);
    }

    // Past the end a step stays on the last frame; a second back from the last start.
    expectFrame(stepFrom(truth.end + 1, Unit::Frames, 1), n - 1, "forward from the last frame");
    auto onScreen = [&](double sec) {
        return std::max(
            0, static_cast<int>(std::upper_bound(truth.starts.begin(), truth.starts.end(), sec + 1e-6) -
                                truth.starts.begin()) -
                   1);
    };
    still = stepFrom(truth.starts[n - 1] + 0.001, Unit::Seconds, -1);
    expectFrame(still, onScreen(truth.starts[n - 1] - 1), "a second back from the last frame");
    ASSERT_TRUE(still);
    expectFrame(stepFrom(still->stillSec, Unit::Seconds, 1), onScreen(still->startSec + 1),
                "a second forward");
    expectFrame(stepFrom(truth.starts[1] + 0.001, Unit::Seconds, -1), 0, "a second back from frame 1");

    // The still time of a step gives the same frame as a single still and in a run of stills.
    still = stepFrom(truth.starts[n / 2], Unit::Frames, 1);
    ASSERT_TRUE(still);
    EXPECT_EQ(test::readFrameIndex(c.upright(source->image(still->stillSec).value_or(Image()))), n / 2 + 1);
    std::vector<double> times{0, still->stillSec};
    std::vector<int> shown;
    source->stills(
        times,
        [&](std::size_t, std::optional<Image> s) -> std::any {
            return test::readFrameIndex(c.upright(s.value_or(Image())));
        },
        [&](std::size_t, std::any made) {
        shown.push_back(made.has_value() ? std::any_cast<int>(made) : -1);
        return true;
        });
    EXPECT_EQ(shown, (std::vector<int>{0, n / 2 + 1}));
}

// A still turned a quarter clockwise, turned back so its bars read left to right again.
Image turnedBack(const Image& still)
{
    return still.empty() ? still : Image(still.pixels().rot270().copy_memory());
}

INSTANTIATE_TEST_SUITE_P(
    Stills, FrameStepping,
    testing::Values(StepCase{"Mp4H264Pyramid23976", matrixClip("Mp4H264Pyramid23976"), 24, 24 + 8},
                    StepCase{"MovH264OpenGop25", matrixClip("MovH264OpenGop25"), 12, 2 * 12 + 8},
                    StepCase{"MkvH264Vfr", matrixClip("MkvH264Vfr"), 8, 8 + 8},
                    StepCase{"TurnedMp4", turnedClip, 12, 12 + 8, turnedBack},
                    StepCase{"UnevenGif", unevenGif, 10, 10}),
    [](const testing::TestParamInfo<StepCase>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace quillon
