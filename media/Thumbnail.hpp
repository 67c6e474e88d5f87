#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "media/Image.hpp"

namespace quillon {

inline constexpr char kThumbnailPrefix[] = "data:image/jpeg;base64,";

// A JPEG preview (quality 0.82) whose longer side is at most max(maxDim, 16), never enlarged,
// as "data:image/jpeg;base64,..."; the empty string when no preview can be made. Any thread.
std::string thumbnailDataURL(const Image& image, int maxDim);

// The first picture of an image file, turned upright by its orientation tag and reduced so its
// longer side is at most max(maxPixelSize, 16), never enlarged, decoded with shrink-on-load from
// the full picture (never from a preview embedded in the file): JPEG and WebP decode at 1/2, 1/4
// or 1/8 of the size, JPEG 2000 from a resolution level and TIFF from a pyramid level, always the
// smallest whose longer side still reaches the limit. Pictures of any pixel count up to
// kMaxStreamedPixels as decoded are read as a stream. Nothing when the file cannot be decoded.
// Any thread.
std::optional<Image> loadImageOriented(const std::filesystem::path& file, int maxPixelSize);

// What one opening of an image file gives: its displayed size, as imagePixelSize reads it, and its
// picture, as loadImageOriented decodes it. Either can be missing: a readable header does not make
// the pixels decodable. Any thread.
struct LoadedImage {
    std::optional<PixelSize> displayedSize;
    std::optional<Image> image;
};
LoadedImage loadImageAndSize(const std::filesystem::path& file, int maxPixelSize);

// What a conversion carries over from the source file besides its pixels.
struct ConversionOptions {
    // The photo's capture date and time, camera, lens, exposure and rights (never its location),
    // as keptDetailsExif picks them.
    bool keepDetails = false;
    // Colours converted to sRGB even when the source's own profile holds a wider gamut. Either
    // way the picture carries the profile of its numbers (Image::Profile).
    bool toSrgb = false;
};

// The first picture of an image file (the first page of a TIFF, resolution level 0 of a JPEG 2000
// file, the primary picture of a HEIF file) whole, at the size its header gives, turned upright.
// Sixteen bits per channel and grey are kept where the source has them (Image::Depth::AsSource),
// for the encoders that can write them; colour profile and details as the options say. Nothing
// when the file cannot be decoded or holds more than kMaxImagePixels. Any thread.
std::optional<Image> loadImageFullSize(const std::filesystem::path& file,
                                       const ConversionOptions& options = {});

// The first picture of an image file for a conversion to a longest side of at most maxSide pixels:
// turned upright and reduced so its longer side is exactly maxSide, decoded with shrink-on-load
// as loadImageOriented does (never below maxSide before the final step), then resampled with a
// Lanczos kernel. Sixteen bits, grey, colour profile and details are kept as in loadImageFullSize. Meant for
// pictures larger than maxSide; one that already fits comes back at its own size, never enlarged. Pictures of
// any pixel count up to kMaxStreamedPixels as decoded are read as a stream. Nothing when the file cannot be
// decoded. Any thread.
std::optional<Image> loadImageReduced(const std::filesystem::path& file, int maxSide,
                                      const ConversionOptions& options = {});

// What converting an image file takes, judged from its header alone.
struct ConversionCost {
    // The most a conversion holds at once, in bytes: the decoded picture (none when streamed) and
    // the encoded file, which is held twice while it is handed over.
    std::uint64_t memoryBytes = 0;
    // Larger than kMaxImagePixels: decoded as a stream while it is encoded (streamImageFullSize).
    bool streamed = false;
    // False when the picture is too large to hold and cannot be streamed either: its format
    // decodes whole (only JPEG, PNG and TIFF stream), or it must be turned upright, which needs
    // the whole picture at hand.
    bool possible = true;
};
// Nothing when the header cannot be read. Any thread.
std::optional<ConversionCost> conversionCost(const std::filesystem::path& file);

// The first picture of a file too large to hold (see ConversionCost), as an Image that decodes as
// the one encode reads it. Nothing when it cannot be streamed. Any thread; the Image is for the
// calling thread only.
std::optional<Image> streamImageFullSize(const std::filesystem::path& file,
                                         const ConversionOptions& options = {});

// The displayed size of an image file, read from its header without decoding the pixels; width
// and height swap for orientation tags 5 to 8. Nothing when the file is not a readable image.
// Any thread.
std::optional<PixelSize> imagePixelSize(const std::filesystem::path& file);

}  // namespace quillon
