#pragma once

#include <cstdint>
#include <optional>

#include <vips/vips8>

namespace quillon {

// Width and height in pixels as the picture is displayed (after rotation or orientation tag).
struct PixelSize {
    double width = 0;
    double height = 0;
    bool operator==(const PixelSize&) const = default;
};

// A decoded picture as the rest of Quillon sees it: upright, 8 bits per channel, sRGB with three
// channels or sRGB plus alpha with four, pixels held in memory (except an Image made by streamFrom,
// which decodes as it is read). A picture made for a conversion with Depth::AsSource may instead
// keep 16 bits per channel and grey (one channel, two with alpha) where its source has them; only
// encodeImage takes such a picture. One made with Profile::AsSource may hold its source's own RGB
// numbers, which the colour profile it carries describes. Copies are cheap and share the same pixels, which
// are never modified after construction, so an Image may be handed between threads.
class Image {
public:
    // What a picture keeps of its source's sample depth and grey.
    enum class Depth { EightBitRgb, AsSource };

    // Which colour profile a picture made for a file carries (see colourProfile in
    // media/PhotoDetails.hpp). None: numbers in sRGB, no profile, as previews and stills are.
    // Srgb: numbers in sRGB, tagged with the sRGB profile. AsSource: a colour source whose own
    // profile is not sRGB keeps its numbers and that profile, so wide-gamut colours survive;
    // anything else is converted as for Srgb. Grey pictures carry no profile.
    enum class Profile { None, Srgb, AsSource };

    Image() = default;

    // Takes over a libvips image that already satisfies the invariant above (uchar, sRGB,
    // 3 or 4 bands, decoded). Use fromVips() for anything else.
    explicit Image(vips::VImage pixels) : pixels_(std::move(pixels)) {}

    // Converts any libvips image to the invariant above (colour profile applied to sRGB, 16 bits
    // reduced to 8, CMYK and grey turned into sRGB, palette expanded) and decodes it into memory.
    // Nothing when libvips fails. Any thread.
    static std::optional<Image> fromVips(vips::VImage image, Depth depth = Depth::EightBitRgb,
                                         Profile profile = Profile::None);

    // The same conversion as fromVips, left as a pipeline that decodes as it is read instead of
    // in memory: for one encode of a picture too large to hold, read top to bottom once, by one
    // thread. Pictures up to kMaxStreamedPixels. Nothing when libvips fails to set it up.
    static std::optional<Image> streamFrom(vips::VImage image, Depth depth = Depth::EightBitRgb,
                                           Profile profile = Profile::None);

    // Copies tightly or loosely packed 8-bit RGB (channels 3) or RGBA (channels 4) rows.
    static std::optional<Image> fromPixels(const std::uint8_t* data, int width, int height,
                                           std::size_t rowBytes, int channels);

    bool empty() const { return pixels_.get_image() == nullptr; }
    int width() const { return empty() ? 0 : pixels_.width(); }
    int height() const { return empty() ? 0 : pixels_.height(); }
    int channels() const { return empty() ? 0 : pixels_.bands(); }
    const vips::VImage& pixels() const { return pixels_; }

private:
    vips::VImage pixels_;
};

// Starts libvips once per process (idempotent, thread-safe). Every media entry point calls it.
void ensureVipsStarted();

}  // namespace quillon
