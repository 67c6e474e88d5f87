#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "media/Image.hpp"

namespace quillon {

// A photo's own details that a conversion may carry over, and the colour profile its pixels are
// in, written into the converted file. Everything here is built afresh from an allow-list: the
// source's EXIF block is read, never copied, so its location, maker notes, serial numbers and
// embedded preview cannot reach the output.

// The EXIF block (a TIFF structure starting "II*\0", without the "Exif\0\0" prefix) of a source
// picture's details: capture date and time with their offsets, camera make and model, lens,
// exposure (time, f-number, program, bias, mode), focal length, ISO, artist and copyright, plus
// Orientation 1, since converted pixels are already upright. `source` is a libvips header that may
// carry "exif-data" as its loader read it. Nothing when it carries no readable EXIF or none of
// those details. Any thread.
std::optional<std::vector<std::uint8_t>> keptDetailsExif(const vips::VImage& source);

// The picture with an EXIF block (from keptDetailsExif) to be written with it by encodeImage. The
// pixels are shared, not copied.
Image withDetailsExif(const Image& image, const std::vector<std::uint8_t>& exif);

// The EXIF block the picture carries for its file, or an empty span.
std::span<const std::uint8_t> detailsExif(const Image& image);

// The ICC profile the picture's numbers are in, when it carries one for its file (converted
// pictures do; previews and stills do not), or an empty span.
std::span<const std::uint8_t> colourProfile(const Image& image);

// Whether an ICC profile describes sRGB: an RGB display profile whose red, green and blue
// colorants are those of sRGB. Profiles that say it in other ways (lookup tables only) count as
// not sRGB, which only means they are kept rather than replaced.
bool isSrgbProfile(std::span<const std::uint8_t> profile);

// The ICC profile of sRGB that converted sRGB pictures are tagged with (libvips' own). Any thread.
std::span<const std::uint8_t> srgbProfile();

// The file with the picture's colour profile and EXIF block written into it: JPEG (APP2
// ICC_PROFILE segments, APP1 Exif), PNG (iCCP, eXIf) or classic TIFF (tags of the first
// directory and an EXIF directory). `file` is one that encodeImage made without any metadata.
// Unchanged when the picture carries neither; nothing when the file is not of that kind or the
// details cannot be placed in it. Any thread.
enum class DetailsContainer { Jpeg, Png, Tiff };
std::optional<std::vector<std::uint8_t>> withEmbeddedDetails(std::vector<std::uint8_t> file,
                                                             DetailsContainer container, const Image& image);

}  // namespace quillon
