#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <string>
#include <vector>

#include <glib.h>
#include <vips/vips8>

#include "media/Image.hpp"
#include "tests/support/TestMedia.hpp"

namespace quillon::test {

// Clips whose every frame says which frame it is: ten vertical bars, bar b white when bit b of
// the frame index is set (least significant on the left). Bars a tenth of the width wide survive
// any lossy codec, so a test reads back exactly which frame a still came from (up to 1023).
struct ClipOptions {
    int frames = 50;
    std::string rate = "25";  // as ffmpeg's -r takes it, e.g. "30000/1001"
    int width = 320, height = 240;
    std::string codec = "-c:v libx264 -pix_fmt yuv420p";  // empty: the container's default (GIF)
    std::string extra = "";                               // further output options
};

// Writes an index clip to `file` (the container follows its extension). False when ffmpeg fails.
inline bool makeIndexClip(const std::filesystem::path& file, const ClipOptions& o = {})
{
    const std::string source = "color=c=black:s=" + std::to_string(o.width) + "x" + std::to_string(o.height) +
                               ":r=" + o.rate +
                               ",format=yuv420p,"
                               "geq=lum='if(bitand(floor(N/pow(2,floor(X*10/W))),1),235,16)':cb=128:cr=128";
    return run("ffmpeg -nostdin -v error -y -f lavfi -i " + shellQuote(source) + " " + o.codec +
               " -frames:v " + std::to_string(o.frames) + " " + o.extra + " " + shellQuote(file.string())) ==
               0 &&
           std::filesystem::exists(file);
}

inline std::string sizeText(double width, double height)
{
    return std::to_string(int(width)) + "x" + std::to_string(int(height));
}

// "WxH" of anything with a width and a height (an Image, a vips::VImage).
template <class Picture>
std::string sizeOf(const Picture& picture)
{
    return sizeText(picture.width(), picture.height());
}

// The same numbers labelled with another interpretation (sRGB, grey, 16-bit RGB...).
inline vips::VImage withInterpretation(const vips::VImage& image, VipsInterpretation interpretation)
{
    return image.copy(vips::VImage::option()->set("interpretation", interpretation));
}

// An encoded picture held in memory, decoded by libvips; throws when there is none.
inline vips::VImage decodeBytes(const std::optional<std::vector<std::uint8_t>>& bytes)
{
    return vips::VImage::new_from_buffer(bytes.value().data(), bytes.value().size(), "").copy_memory();
}

// Writes tags into a file in place with exiftool (arguments as the shell takes them); whether it worked.
inline bool exiftoolWrite(const std::filesystem::path& file, const std::string& arguments)
{
    return run("exiftool -q -q -overwrite_original " + arguments + " " + shellQuote(file.string())) == 0;
}

// Width and height as the vipsheader command reads them, as "WxH".
inline std::string vipsheaderSize(const std::filesystem::path& file)
{
    const std::string q = shellQuote(file.string());
    return capture("printf %sx%s $(vipsheader -f width " + q + ") $(vipsheader -f height " + q + ")");
}

// The mean of each band over a rectangle, clipped to the picture.
inline std::vector<double> regionMean(const vips::VImage& image, int left, int top, int width, int height)
{
    left = std::max(0, left), top = std::max(0, top);
    const vips::VImage region = image.extract_area(left, top, std::min(width, image.width() - left),
                                                   std::min(height, image.height() - top));
    std::vector<double> means;
    for (int b = 0; b < region.bands(); ++b)
        means.push_back(region.extract_band(b).avg());
    return means;
}

// The average colour (R, G, B) of a still over a box around (x, y).
inline std::vector<double> averageColour(const Image& still, int x, int y, int radius = 2)
{
    const std::vector<double> m = regionMean(still.pixels(), x - radius, y - radius, 2 * radius + 1,
                                             2 * radius + 1);
    return m.size() < 3 ? std::vector<double>(3, m[0]) : std::vector<double>(m.begin(), m.begin() + 3);
}

// The colour of a still around (x, y) as a letter: R, G, B, W, K (black), or ? when not clean.
inline char colourLetter(const Image& still, int x, int y, int radius = 2)
{
    if (still.empty())
        return '-';
    const auto c = averageColour(still, x, y, radius);
    for (double v : c)
        if (v > 90 && v < 160)
            return '?';
    return "KBG?R??W"[(c[0] >= 160) * 4 + (c[1] >= 160) * 2 + (c[2] >= 160)];
}

// The colours at the middle of each quarter (top left, top right, bottom left, bottom right) as letters.
inline std::string quarterColours(const Image& image)
{
    const int l = image.width() / 4, r = image.width() - 1 - l, t = image.height() / 4,
              b = image.height() - 1 - t;
    return {colourLetter(image, l, t), colourLetter(image, r, t), colourLetter(image, l, b),
            colourLetter(image, r, b)};
}

// The frame index a still shows, or -1 when its bars are not clean black and white.
inline int readFrameIndex(const Image& still)
{
    if (still.empty())
        return -1;
    int index = 0;
    for (int b = 0; b < 10; ++b) {
        const double level = averageColour(still, (2 * b + 1) * still.width() / 20, still.height() / 2, 1)[0];
        if (level > 190)
            index |= 1 << b;
        else if (level > 60)
            return -1;
    }
    return index;
}

// The patch picture's stripes, left to right: red, green, blue, white, black, mid grey, a skin tone
// and a sky blue (saturated primaries catch channel swaps, the rest colour shifts).
inline const std::vector<double> kPatchColours{230, 30, 30, 30,  200, 40,  20,  40,  220, 255, 255, 255,
                                               0,   0,  0,  128, 128, 128, 224, 172, 140, 110, 170, 230};
inline const std::vector<int> kAllStripes{0, 1, 2, 3, 4, 5, 6, 7};

// A width x height sRGB uchar picture of vertical stripes in kPatchColours; with alpha the fourth
// band is 255 on the left half and 0 on the right half.
inline vips::VImage patchImage(int width, int height, bool withAlpha = false)
{
    ensureVipsStarted();
    const vips::VImage x = vips::VImage::xyz(width, height)[0];
    const vips::VImage lut = vips::VImage::new_from_memory(const_cast<double*>(kPatchColours.data()),
                                                           kPatchColours.size() * sizeof(double), 8, 1, 3,
                                                           VIPS_FORMAT_DOUBLE)
                                 .copy_memory();
    vips::VImage picture = (x * 8 / width).cast(VIPS_FORMAT_UCHAR).maplut(lut).cast(VIPS_FORMAT_UCHAR);
    if (withAlpha)
        picture = picture.bandjoin((x < width / 2).cast(VIPS_FORMAT_UCHAR));
    return withInterpretation(picture, VIPS_INTERPRETATION_sRGB).copy_memory();
}

// The patch picture's sRGB colours converted into a built-in profile ("p3", "cmyk") that it then carries.
inline vips::VImage patchIn(const char* profile, int width = 160, int height = 48)
{
    return patchImage(width, height)
        .icc_transform(
            profile,
            vips::VImage::option()->set("input_profile", "srgb")->set("intent", VIPS_INTENT_RELATIVE));
}

// Whether two pictures have the same size and every sample equal.
inline bool samePixels(const Image& a, const Image& b)
{
    if (a.width() != b.width() || a.height() != b.height())
        return false;
    return (a.pixels().cast(VIPS_FORMAT_INT) - b.pixels().cast(VIPS_FORMAT_INT)).abs().max() == 0;
}

// The largest difference, in levels of any channel, between the middle of the given stripes of a
// picture laid out like patchImage() and the colours they were made with.
inline double patchError(const vips::VImage& image, const std::vector<int>& stripes = kAllStripes)
{
    const int w = image.width() / 8, inset = std::max(1, w / 4);
    double worst = 0;
    for (int i : stripes) {
        const auto m = regionMean(image, i * w + inset, image.height() / 4, std::max(1, w - 2 * inset),
                                  std::max(1, image.height() / 2));
        for (int c = 0; c < 3; ++c)
            worst = std::max(worst,
                             std::fabs(m[std::min<size_t>(c, m.size() - 1)] - kPatchColours[3 * i + c]));
    }
    return worst;
}

// Rewrites the track header matrix of an MP4 in place (a b u c d v x y w; 16.16 fixed point
// except u v w in 2.30), as a phone writes rotation and mirroring.
inline void setTrackMatrix(const std::filesystem::path& file, const std::array<std::int32_t, 9>& matrix)
{
    std::ifstream in(file, std::ios::binary);
    std::string bytes(std::istreambuf_iterator<char>(in), {});
    const std::size_t box = bytes.find("tkhd") - 4;
    // Version 0 headers hold 32-bit times, version 1 64-bit ones: the matrix moves by 12 bytes.
    const std::size_t at = box + (bytes.at(box + 8) == 0 ? 48 : 60);
    for (std::size_t i = 0; i < 36; ++i)
        bytes.at(at + i) = static_cast<char>(static_cast<std::uint32_t>(matrix[i / 4]) >> (24 - 8 * (i % 4)));
    std::ofstream(file, std::ios::binary) << bytes;
}

inline void writeBytes(const std::filesystem::path& file, const std::vector<std::uint8_t>& bytes)
{
    std::ofstream(file, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
}

// The JPEG inside a "data:image/jpeg;base64," preview URL, decoded; an empty image when it is not one.
inline vips::VImage previewPicture(const std::string& url)
{
    const std::string prefix = "data:image/jpeg;base64,";
    gsize length = 0;
    guchar* bytes = g_base64_decode(url.c_str() + std::min(url.size(), prefix.size()), &length);
    const std::string jpeg(reinterpret_cast<char*>(bytes), length);
    g_free(bytes);
    const bool wellFormed = url.starts_with(prefix) && url.find_first_of("\n\r\"") == std::string::npos;
    return wellFormed && jpeg.starts_with("\xFF\xD8") ? vips::VImage::new_from_buffer(jpeg, "").copy_memory()
                                                      : vips::VImage();
}

}  // namespace quillon::test
