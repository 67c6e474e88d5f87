#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "media/Image.hpp"

namespace quillon {

using Bytes = std::vector<std::uint8_t>;

// Encodes an image as a complete file in the named format: "jpg"/"jpeg", "heic"/"heif", "png",
// "tif"/"tiff", "webp", "avif" in any case, anything else PNG. Quality is clamped to 0..1 (1 best)
// and affects JPEG, HEIC, WebP (lossless at 1) and AVIF. Where HEIC cannot be encoded the result
// is a JPEG at quality max(q, 0.9).
// Nothing when encoding fails. Stateless; any thread.
std::optional<Bytes> encodeImage(const Image& image, std::string_view format, double quality);

// Whether the format name is one of those encodeImage knows (in any case) rather than one it
// writes as PNG.
bool isKnownFormat(std::string_view format);

// The file-name extension (without the dot) for a format name: "jpg", "png", "tiff", "heic",
// "webp" or "avif".
std::string extForFormat(std::string_view format);

}  // namespace quillon
