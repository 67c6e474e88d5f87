#pragma once

namespace quillon {

// The largest picture Quillon decodes: 2^28 pixels (about 268 megapixels, e.g. 16384x16384), and
// no side beyond 65535. A decoded RGBA picture at the limit takes 1 GiB, which is already more than
// a desktop should give one still; files whose headers claim more are refused before any pixel
// memory is allocated, so a forged or damaged header cannot exhaust memory.
inline constexpr long long kMaxImagePixels = 1LL << 28;
inline constexpr long long kMaxImageSide = 65535;

// The most decoding work one opened clip may ask for, in pixels decoded: a GIF's screen area
// times its number of frames (every frame is composited on the whole screen), or a video's coded
// area times the frames decoded for one still. 2^34 is, for example, 8,000 frames of 1920x1080 or
// 2,000 of 3840x2160: a few seconds of work. A tiny file can claim far more (a 16000x16000 screen
// with 10,000 one-pixel frames is 2.5 * 10^12) and would hold the work queue and gigabytes of
// memory for minutes; such a file fails instead.
inline constexpr long long kMaxDecodeWork = 1LL << 34;

// Decoded stills a GIF decoder keeps for repeated requests, in bytes of pixels.
inline constexpr long long kGifCacheBytes = 64LL << 20;

// Whether a picture of this size may be decoded (both sides positive and within the limits above).
bool withinPixelLimit(long long width, long long height);

// The most pixels a decoder may stream through a reduction (a preview) without holding them: 2^31,
// e.g. 46000x46000. Streaming takes little memory but time grows with the pixel count, so a forged
// header claiming far more is still refused before any decoding starts.
inline constexpr long long kMaxStreamedPixels = 1LL << 31;

// Whether a decoder may stream a picture of this size (both sides positive, at most
// kMaxStreamedPixels in all).
bool withinStreamLimit(long long width, long long height);

}  // namespace quillon
