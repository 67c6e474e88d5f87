#pragma once

namespace quillon {

// The largest picture Quillon decodes: 2^28 pixels (about 268 megapixels, e.g. 16384x16384), and
// no side beyond 65535. A decoded RGBA picture at the limit takes 1 GiB, which is already more than
// a desktop should give one still; files whose headers claim more are refused before any pixel
// memory is allocated, so a forged or damaged header cannot exhaust memory.
inline constexpr long long kMaxImagePixels = 1LL << 28;
inline constexpr long long kMaxImageSide = 65535;

// Whether a picture of this size may be decoded (both sides positive and within the limits above).
bool withinPixelLimit(long long width, long long height);

}  // namespace quillon
