#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "media/Image.hpp"

namespace quillon::test {

// Clips and GIFs whose every frame says which frame it is: ten vertical bars across the picture,
// bar b white when bit b of the frame index is set and black otherwise (least significant bit on
// the left). Bars a tenth of the width wide survive any lossy codec, so a test reads back exactly
// which frame a still came from. Frame indices up to 1023.

struct ClipOptions {
    int frames = 50;
    std::string rate = "25";  // as ffmpeg's -r takes it, e.g. "30000/1001"
    int width = 320;
    int height = 240;
    // Encoder and its settings, e.g. "-c:v libx264 -bf 3 -g 12".
    std::string codec = "-c:v libx264 -pix_fmt yuv420p";
    // Further output options placed before the file name (muxer options, tags, time offsets).
    std::string extra;
};

// Whether this machine's ffmpeg has the named encoder (e.g. "libx265").
bool haveEncoder(const std::string& name);

// The named encoders that are missing, for a test to fail loudly on rather than skip.
std::vector<std::string> missingEncoders(const std::vector<std::string>& names);

// Writes an index clip to `file` (the container follows its extension). False when ffmpeg fails.
bool makeIndexClip(const std::filesystem::path& file, const ClipOptions& options = {});

// The frame index a still shows, or -1 when its bars are not clean black and white (a damaged
// or wrong picture). Reads the bars along the middle row.
int readFrameIndex(const Image& still);

// An animated GIF of `frames` index frames at 160x120 made by ffmpeg from an index clip at the
// given rate; ffmpeg stores only the changed area of each frame, so reading it back needs the
// frames composited.
bool makeIndexGif(const std::filesystem::path& file, int frames, const std::string& rate = "25");

// A GIF of solid 16x12 frames, one colour each, with the given delays in hundredths of a second
// written by ImageMagick.
bool makeColourGif(const std::filesystem::path& file, const std::vector<std::string>& colours,
                   const std::vector<int>& delays);

// A clip with a quadrant picture: top left red, top right green, bottom left blue, bottom right
// white, so a test sees where each corner of the stored picture went.
bool makeQuadrantClip(const std::filesystem::path& file, int width = 320, int height = 240);

// Rewrites the track header matrix of an MP4/MOV file in place (QuickTime layout a b u c d v x y w,
// 16.16 fixed point except u v w in 2.30), as a phone writes rotation and mirroring.
bool setTrackMatrix(const std::filesystem::path& file, const std::array<std::int32_t, 9>& matrix);

// The average colour (R, G, B) of a still over a box around (x, y).
std::vector<double> averageColour(const Image& still, int x, int y, int radius = 2);

}  // namespace quillon::test
