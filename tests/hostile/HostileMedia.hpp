#pragma once

#include <filesystem>
#include <string>
#include <vector>

namespace quillon::test {

// One small intact file of every extension Quillon reads (all video and GIF extensions and all
// image extensions), made by ffmpeg and ImageMagick into the build tree's test-media folder.
std::vector<std::filesystem::path> makeValidSamples();

std::string readBytes(const std::filesystem::path& file);
void writeBytes(const std::filesystem::path& file, const std::string& bytes);

// Flips `flips` single bits at positions drawn from a generator seeded with `seed`, sparing the
// first 8 bytes so the file is still recognised as its format and the damage reaches the decoder.
void flipBits(std::string& bytes, unsigned seed, std::size_t flips);

// A PNG whose header claims width x height RGB pixels, followed by a few rows of data.
std::filesystem::path writeHugePng(const std::filesystem::path& file, unsigned width, unsigned height);

// A small baseline JPEG whose frame header is rewritten to claim width x height (at most 65535).
std::filesystem::path writeHugeJpeg(const std::filesystem::path& file, unsigned width, unsigned height);

// A GIF whose screen and one frame claim width x height, with a few bytes of picture data.
std::filesystem::path writeHugeGif(const std::filesystem::path& file, unsigned width, unsigned height);

// An animated GIF of `frames` 1x1 frames, alternately black and white, 2 hundredths of a second
// each, written byte by byte.
std::filesystem::path writeManyFrameGif(const std::filesystem::path& file, int frames);

// Clips whose timestamps are absurd: frames 10^6 s apart, a start at 10^9 s, a start far before
// zero, a frame rate of 1/1000 and a frame rate of 1000000.
std::vector<std::filesystem::path> makeAbsurdTimestampClips(const std::filesystem::path& dir);

}  // namespace quillon::test
