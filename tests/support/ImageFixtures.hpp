#pragma once

#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include <vips/vips8>

namespace quillon::test {

// An RGB colour as 8-bit sample values.
using Rgb = std::array<double, 3>;

// The colours of the patch picture, left to right: red, green, blue, white, black, mid grey,
// a skin tone and a sky blue (saturated primaries catch channel swaps, the rest colour shifts).
const std::vector<Rgb>& patchColours();

// A width x height sRGB picture made of vertical stripes in patchColours(), uchar, 3 bands; with
// alpha the fourth band is 255 on the left half and 0 on the right half.
vips::VImage patchImage(int width, int height, bool withAlpha = false);

// The mean colour of the middle of stripe `index` of a picture laid out like patchImage().
Rgb stripeMean(const vips::VImage& image, int index, int stripes);

// The mean of each band over a rectangle.
std::vector<double> regionMean(const vips::VImage& image, int left, int top, int width, int height);

// The largest absolute difference between two colours, channel by channel.
double colourDistance(const Rgb& a, const Rgb& b);

// Writes a JPEG of a width x height picture whose top-left quarter is red and the rest blue,
// carrying EXIF with the given orientation tag (1..8; 0 writes no tag), camera metadata and GPS.
void writeTaggedJpeg(const std::filesystem::path& file, int width, int height, int orientation);

// Reads a whole file into a string of bytes.
std::string readFileBytes(const std::filesystem::path& file);

// Writes bytes to a file.
void writeFileBytes(const std::filesystem::path& file, const void* data, std::size_t size);

}  // namespace quillon::test
