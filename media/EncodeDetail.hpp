#pragma once

#include <optional>
#include <string_view>

#include "media/Encode.hpp"

namespace quillon::detail {

// Encodes as HEIC at an encoder quality of 1..100; nothing when the HEIC encoder fails.
using HeicEncoder = std::optional<Bytes> (*)(const Image& image, int encoderQuality);

// encodeImage with the HEIC encoder supplied by the caller, so that the JPEG fallback taken when
// HEIC cannot be written can be exercised with an encoder that always fails.
std::optional<Bytes> encodeImageWith(const Image& image, std::string_view format, double quality,
                                     HeicEncoder heic);

// The picture as 8-bit sRGB (colour, or colour and alpha), as JPEG and HEIC hold it: 16-bit
// samples keep their high byte, grey becomes neutral RGB, alpha stays.
vips::VImage eightBitRgb(vips::VImage image);

// The quality 0..1 (values outside clamped, not-a-number taken as 1) on the 1..100 scale of the
// JPEG and HEIC encoders.
int encoderQuality(double quality);

}  // namespace quillon::detail
