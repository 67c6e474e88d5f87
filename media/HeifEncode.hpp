#pragma once

#include <optional>

#include "media/Encode.hpp"

namespace quillon {

// How much time x265 spends looking for a smaller file at the same quality, by the names of its
// presets. Slower presets give files a few percent smaller for several times the time.
enum class HevcPreset { Ultrafast, Veryfast, Fast, Medium, Slow };

// The preset HEIC files are written with: "medium" takes less than half the time of libheif's own
// default ("slow") for a file about 1 % larger at the same measured quality (bench/README.md has
// the table this was chosen from).
inline constexpr HevcPreset kDefaultHevcPreset = HevcPreset::Medium;

// Encodes an image as a HEIC file through libheif's HEVC encoder, at an encoder quality of 1..100:
// colour at half resolution (4:2:0) below 100, full resolution at 100, alpha kept, and no
// metadata but the colour profile and kept details the picture carries (media/PhotoDetails.hpp). Nothing when
// libheif has no HEVC encoder or encoding fails. Stateless; any thread.
std::optional<Bytes> encodeHeif(const Image& image, int encoderQuality,
                                HevcPreset preset = kDefaultHevcPreset);

// The preset's name as x265 spells it.
const char* hevcPresetName(HevcPreset preset);

}  // namespace quillon
