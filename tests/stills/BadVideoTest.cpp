// Files that are not what their names say, or are damaged: they fail to open or give no still,
// never a crash, a hang or a huge allocation.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "media/StillsSource.hpp"
#include "tests/support/ClipFixtures.hpp"
#include "tests/support/TestMedia.hpp"

namespace quillon {
namespace {

std::string readAll(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeAll(const std::filesystem::path& file, const std::string& bytes)
{
    std::ofstream(file, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

TEST(BadVideo, FilesWithoutAReadableVideoTrackFailToOpen)
{
    const auto dir = test::freshDir("stills-bad-open");
    writeAll(dir / "text.mp4", "This is a text file with a video name.\n");
    writeAll(dir / "zero.mp4", "");
    EXPECT_FALSE(StillsSource::open(dir / "text.mp4"));
    EXPECT_FALSE(StillsSource::open(dir / "zero.mp4"));
    EXPECT_FALSE(StillsSource::open(dir / "missing.mp4"));

    // Sound only, in an MP4 and as an MP3 whose cover picture is not a video track.
    ASSERT_EQ(test::run("ffmpeg -nostdin -v error -y -f lavfi -i sine=d=1 -c:a aac " +
                        test::shellQuote((dir / "audio.mp4").string())),
              0);
    ASSERT_EQ(test::run("ffmpeg -nostdin -v error -y -f lavfi -i sine=d=1 -f lavfi -i color=c=red:s=64x64:d=1 "
                        "-map 0 -map 1 -frames:v 1 -c:v mjpeg -disposition:v attached_pic " +
                        test::shellQuote((dir / "song.mp3").string())),
              0);
    EXPECT_FALSE(StillsSource::open(dir / "audio.mp4"));
    EXPECT_FALSE(StillsSource::open(dir / "song.mp3"));

    // A track whose codec nothing here decodes: its sample entry renamed to an unknown code.
    ASSERT_TRUE(test::makeIndexClip(dir / "unknown.mp4", {}));
    std::string bytes = readAll(dir / "unknown.mp4");
    for (std::size_t at = bytes.find("avc1"); at != std::string::npos; at = bytes.find("avc1", at))
        bytes.replace(at, 4, "qqzz");
    writeAll(dir / "unknown.mp4", bytes);
    EXPECT_FALSE(StillsSource::open(dir / "unknown.mp4"));

    // Headers claiming 20000x20000 (400 megapixels): refused before anything that size exists.
    writeAll(dir / "huge.y4m", "YUV4MPEG2 W20000 H20000 F25:1 Ip A1:1 C420jpeg\nFRAME\n" + std::string(4096, '\x80'));
    EXPECT_FALSE(StillsSource::open(dir / "huge.y4m"));
}

TEST(BadVideo, AClipCutInHalfGivesOnlyTheFramesItStillHas)
{
    const auto dir = test::freshDir("stills-bad-cut");
    test::ClipOptions o;
    // Every frame a key frame, so each takes about the same share of the file.
    o.codec = "-c:v libx264 -pix_fmt yuv420p -g 1";
    // Index at the end (ffmpeg's default): half the file has no index and cannot be opened.
    ASSERT_TRUE(test::makeIndexClip(dir / "tail-index.mp4", o));
    const std::string tail = readAll(dir / "tail-index.mp4");
    writeAll(dir / "tail-index-cut.mp4", tail.substr(0, tail.size() / 2));
    EXPECT_FALSE(StillsSource::open(dir / "tail-index-cut.mp4"));

    // Index in front: the file opens with its full length, the first half of the frames are
    // there, and a time in the missing half gives nothing rather than an earlier frame.
    o.extra = "-movflags +faststart";
    ASSERT_TRUE(test::makeIndexClip(dir / "front-index.mp4", o));
    const std::string front = readAll(dir / "front-index.mp4");
    writeAll(dir / "front-index-cut.mp4", front.substr(0, front.size() / 2));
    auto source = StillsSource::open(dir / "front-index-cut.mp4");
    ASSERT_TRUE(source);
    EXPECT_NEAR(source->durationSec(), 2, 0.05);
    auto early = source->image(0.2);
    ASSERT_TRUE(early);
    EXPECT_EQ(test::readFrameIndex(*early), 5);
    EXPECT_FALSE(source->image(1.9));
    EXPECT_FALSE(source->image(1.5));
    // Going back after the failure still works.
    auto again = source->image(0.4);
    ASSERT_TRUE(again);
    EXPECT_EQ(test::readFrameIndex(*again), 10);
}

TEST(BadVideo, GarbageAfterAGoodStartDoesNotStopEarlierStills)
{
    const auto dir = test::freshDir("stills-bad-garbage");
    test::ClipOptions o;
    o.codec = "-c:v mpeg2video -g 10 -q:v 3";
    ASSERT_TRUE(test::makeIndexClip(dir / "clip.mpg", o));
    std::string bytes = readAll(dir / "clip.mpg");
    // Overwrite the second half with noise: the demuxer and decoder meet only garbage there.
    for (std::size_t i = bytes.size() / 2; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>((i * 2654435761u) >> 13);
    writeAll(dir / "clip.mpg", bytes);
    auto source = StillsSource::open(dir / "clip.mpg");
    ASSERT_TRUE(source);
    auto first = source->image(0.1);
    ASSERT_TRUE(first);
    EXPECT_EQ(test::readFrameIndex(*first), 2);
    // Whatever comes for the damaged half, asking must return.
    for (double t : {1.2, 1.9, 30.0, 0.0})
        (void)source->image(t);
    auto back = source->image(0.3);
    ASSERT_TRUE(back);
    EXPECT_EQ(test::readFrameIndex(*back), 7);
}

}  // namespace
}  // namespace quillon
