#include "media/Image.hpp"

#include <glib.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "media/InputFile.hpp"
#include "media/MediaLimits.hpp"
#include "media/PhotoDetails.hpp"

namespace quillon {

void ensureVipsStarted()
{
    static std::once_flag started;
    std::call_once(started, [] {
        // VIPS_INIT needs a program name; failures leave libvips unusable and every later
        // operation then fails, which each media function reports as absence.
        if (VIPS_INIT("quillon") != 0) {
            vips_error_clear();
        }
        blockUnacceptedImageLoaders();
        // Whole operations are not cached: a file opened again by name may have changed on disk,
        // and cached pixels would otherwise pin memory between unrelated jobs.
        vips_cache_set_max(0);
        vips_cache_set_max_mem(0);
        vips_cache_set_max_files(0);
        // Quillon already works on several pictures at once (pools of workers for images, two
        // decoders for stills), so each libvips operation runs on one thread of its own. With libvips'
        // default of one thread per core per operation, two pictures computed side by side in this process
        // were 13% slower than in two processes (their threads wait on each other); with one each they are as
        // fast, and a single conversion is no slower (its decoder and encoder are serial anyway).
        // VIPS_CONCURRENCY, when set, still decides.
        if (g_getenv("VIPS_CONCURRENCY") == nullptr) {
            vips_concurrency_set(1);
        }
        // Damaged files make libvips and its loaders warn on standard error. Quillon logs
        // nothing: the caller turns the failure into the user's words instead.
        g_log_set_handler(
            "VIPS",
            static_cast<GLogLevelFlags>(G_LOG_LEVEL_WARNING | G_LOG_LEVEL_MESSAGE | G_LOG_LEVEL_INFO |
                                        G_LOG_LEVEL_DEBUG),
            [](const gchar*, GLogLevelFlags, const gchar*, gpointer) {}, nullptr);
    });
}

bool withinPixelLimit(long long width, long long height)
{
    return width > 0 && height > 0 && width <= kMaxImageSide && height <= kMaxImageSide &&
           width * height <= kMaxImagePixels;
}

bool withinStreamLimit(long long width, long long height)
{
    return width > 0 && height > 0 && width <= kMaxStreamedPixels / height;
}

namespace {

// Metadata that describes the source file rather than these pixels. Pixels leave fromVips upright
// and in sRGB, so an orientation tag or camera metadata would only mislead whoever writes them out.
constexpr const char* kSourceMetadata[] = {
    "exif-data",         "xmp-data",        "iptc-data",    "orientation", "icc-profile-data",
    "palette-bit-depth", "bits-per-sample", "heif-primary", "n-pages",     "page-height",
};

vips::VImage interpreted(const vips::VImage& image, VipsInterpretation interpretation)
{
    return image.copy(vips::VImage::option()->set("interpretation", interpretation));
}

bool isSixteenBit(const vips::VImage& image) { return image.format() == VIPS_FORMAT_USHORT; }

VipsInterpretation greyAt(bool sixteen)
{
    return sixteen ? VIPS_INTERPRETATION_GREY16 : VIPS_INTERPRETATION_B_W;
}

// The embedded ICC profile, or an empty span.
std::span<const std::uint8_t> embeddedProfile(const vips::VImage& image)
{
    if (image.get_typeof(VIPS_META_ICC_NAME) == 0)
        return {};
    std::size_t length = 0;
    const void* data = image.get_blob(VIPS_META_ICC_NAME, &length);
    return data == nullptr ? std::span<const std::uint8_t>{}
                           : std::span(static_cast<const std::uint8_t*>(data), length);
}

// Whether the embedded ICC profile describes these pixels. The profile header names its colour
// space at bytes 16..19; a CMYK profile can be left attached to pixels that a loader has already
// turned into RGB, and applying it then would misread them.
bool hasMatchingProfile(const vips::VImage& image)
{
    const std::span<const std::uint8_t> profile = embeddedProfile(image);
    if (profile.size() < 20)
        return false;
    const std::string_view space(reinterpret_cast<const char*>(profile.data()) + 16, 4);
    const bool cmykPixels = image.interpretation() == VIPS_INTERPRETATION_CMYK;
    if (space == "CMYK")
        return cmykPixels && image.bands() >= 4;
    if (space == "RGB ")
        return !cmykPixels && image.bands() >= 3;
    if (space == "GRAY")
        return image.bands() <= 2;
    return false;
}

// The embedded profile, when the picture keeps its own numbers under Image::Profile::AsSource: an
// RGB profile that matches the pixels and is not sRGB, on 8- or 16-bit samples (the encoders'
// depths). Anything else is converted to sRGB.
std::optional<std::vector<std::uint8_t>> ownProfile(const vips::VImage& image)
{
    if (!hasMatchingProfile(image) || image.bands() < 3 ||
        image.interpretation() == VIPS_INTERPRETATION_CMYK ||
        (image.format() != VIPS_FORMAT_UCHAR && image.format() != VIPS_FORMAT_USHORT))
        return std::nullopt;
    const std::span<const std::uint8_t> profile = embeddedProfile(image);
    if (std::memcmp(profile.data() + 16, "RGB ", 4) != 0 || isSrgbProfile(profile))
        return std::nullopt;
    return std::vector<std::uint8_t>(profile.begin(), profile.end());
}

// Whether the picture is grey: one band, or two with alpha, whatever it declares.
bool isGrey(const vips::VImage& image)
{
    constexpr VipsInterpretation kColour[] = {
        VIPS_INTERPRETATION_CMYK, VIPS_INTERPRETATION_LAB,   VIPS_INTERPRETATION_LABS,
        VIPS_INTERPRETATION_LCH,  VIPS_INTERPRETATION_CMC,   VIPS_INTERPRETATION_XYZ,
        VIPS_INTERPRETATION_YXY,  VIPS_INTERPRETATION_scRGB, VIPS_INTERPRETATION_HSV,
    };
    return image.bands() <= 2 && std::ranges::find(kColour, image.interpretation()) == std::end(kColour);
}

// The picture through its embedded profile into sRGB at the given depth, alpha kept: the profile
// says what the numbers mean (CMYK, wide-gamut RGB or grey). Nothing when there is no usable
// profile, or it is damaged; the interpretation alone then decides.
std::optional<vips::VImage> throughProfile(const vips::VImage& image, int depth)
{
    if (!hasMatchingProfile(image))
        return std::nullopt;
    try {
        return image.icc_transform("srgb", vips::VImage::option()
                                               ->set("embedded", true)
                                               ->set("intent", VIPS_INTENT_RELATIVE)
                                               ->set("depth", depth));
    } catch (const vips::VError&) {
        vips_error_clear();
        return std::nullopt;
    }
}

// A grey picture at its own depth (8 or 16 bits), alpha kept. An embedded grey profile is applied
// by way of sRGB, whose grey axis is neutral, so the first band of the result is the grey.
vips::VImage greyAtSourceDepth(const vips::VImage& image)
{
    const bool sixteen = isSixteenBit(image);
    if (std::optional<vips::VImage> rgb = throughProfile(image, sixteen ? 16 : 8)) {
        vips::VImage grey = rgb->extract_band(0);
        if (image.bands() == 2 && rgb->bands() == 4)
            grey = grey.bandjoin(rgb->extract_band(3));
        return interpreted(grey, greyAt(sixteen));
    }
    return interpreted(image, greyAt(sixteen));
}

// A 16-bit RGB picture in sRGB at 16 bits: its embedded profile applied at that depth, or its
// numbers taken as sRGB when it declares nothing else.
vips::VImage rgbAtSixteenBits(vips::VImage image)
{
    if (std::optional<vips::VImage> srgb = throughProfile(image, 16))
        return *srgb;
    const VipsInterpretation interpretation = image.interpretation();
    if (interpretation == VIPS_INTERPRETATION_RGB16 || interpretation == VIPS_INTERPRETATION_MULTIBAND ||
        interpretation == VIPS_INTERPRETATION_sRGB || interpretation == VIPS_INTERPRETATION_RGB)
        return interpreted(image, VIPS_INTERPRETATION_RGB16);
    return image.colourspace(VIPS_INTERPRETATION_RGB16);
}

// The picture in sRGB, still in whatever numeric format the conversion produced.
vips::VImage toSrgb(vips::VImage image)
{
    const VipsInterpretation interpretation = image.interpretation();
    if (std::optional<vips::VImage> srgb = throughProfile(image, 8))
        return *srgb;
    if (interpretation == VIPS_INTERPRETATION_CMYK && image.bands() >= 4) {
        // CMYK without a profile of its own: libvips' built-in CMYK profile stands in.
        return image.icc_transform("srgb", vips::VImage::option()
                                               ->set("input_profile", "cmyk")
                                               ->set("intent", VIPS_INTENT_RELATIVE)
                                               ->set("depth", 8));
    }
    if (interpretation == VIPS_INTERPRETATION_sRGB && image.format() == VIPS_FORMAT_UCHAR)
        return image;
    if (interpretation == VIPS_INTERPRETATION_MULTIBAND || interpretation == VIPS_INTERPRETATION_FOURIER ||
        interpretation == VIPS_INTERPRETATION_HISTOGRAM || interpretation == VIPS_INTERPRETATION_MATRIX) {
        // No colour meaning declared: read one or two bands as grey, three or more as RGB.
        const bool sixteen = isSixteenBit(image);
        image = interpreted(image, image.bands() <= 2 ? greyAt(sixteen)
                                   : sixteen          ? VIPS_INTERPRETATION_RGB16
                                                      : VIPS_INTERPRETATION_sRGB);
    }
    return image.colourspace(VIPS_INTERPRETATION_sRGB);
}

// Three bands, or four when the picture has alpha; extra channels (Photoshop spot colours and the
// like) are dropped.
vips::VImage toThreeOrFourBands(vips::VImage image)
{
    const int bands = image.bands();
    // (A braced list passed to bandjoin picks libvips' static overload, which joins only the
    // list, so every band is named.)
    if (bands == 1)
        return vips::VImage::bandjoin({image, image, image});
    if (bands == 2) {
        vips::VImage grey = image.extract_band(0);
        return vips::VImage::bandjoin({grey, grey, grey, image.extract_band(1)});
    }
    if (bands > 4)
        return image.extract_band(0, vips::VImage::option()->set("n", 4));
    return image;
}

vips::VImage toUchar(vips::VImage image)
{
    switch (image.format()) {
    case VIPS_FORMAT_UCHAR:
        return image;
    case VIPS_FORMAT_USHORT:
        // Sixteen-bit samples keep their high byte: 65535 -> 255, 32768 -> 128.
        return (image >> 8).cast(VIPS_FORMAT_UCHAR);
    default:
        // Anything else is taken as already on the 0..255 scale (what colourspace produces);
        // cast clamps out-of-range values.
        return image.cast(VIPS_FORMAT_UCHAR);
    }
}

// The picture converted to 8-bit sRGB with three or four bands and without the source's metadata;
// decoded into memory, or left as a pipeline that decodes as it is read.
enum class Decode { InMemory, AsStream };

std::optional<Image> converted(vips::VImage image, Decode decode, Image::Depth depth, Image::Profile profile)
{
    ensureVipsStarted();
    vips_error_clear();
    if (image.get_image() == nullptr)
        return std::nullopt;
    const bool fits = decode == Decode::InMemory ? withinPixelLimit(image.width(), image.height())
                                                 : withinStreamLimit(image.width(), image.height());
    if (!fits)
        return std::nullopt;
    try {
        const bool asSource = depth == Image::Depth::AsSource;
        const bool keepSixteen = asSource && isSixteenBit(image);
        const bool keepGrey = asSource && isGrey(image);
        const std::optional<std::vector<std::uint8_t>> keptProfile = profile == Image::Profile::AsSource
                                                                         ? ownProfile(image)
                                                                         : std::nullopt;
        vips::VImage pixels;
        VipsInterpretation interpretation = VIPS_INTERPRETATION_sRGB;
        if (keptProfile) {
            // The numbers stay as they are; the profile that goes with them says what they mean.
            pixels = toThreeOrFourBands(image);
            if (keepSixteen)
                interpretation = VIPS_INTERPRETATION_RGB16;
        } else if (keepGrey) {
            pixels = greyAtSourceDepth(image);
            interpretation = greyAt(keepSixteen);
        } else if (keepSixteen && image.interpretation() != VIPS_INTERPRETATION_CMYK) {
            pixels = toThreeOrFourBands(rgbAtSixteenBits(image));
            interpretation = VIPS_INTERPRETATION_RGB16;
        } else {
            pixels = toThreeOrFourBands(toSrgb(image));
        }
        if (!(keepSixteen && pixels.format() == VIPS_FORMAT_USHORT))
            pixels = toUchar(pixels);
        if (decode == Decode::InMemory) {
            // Decoding here means a broken file fails now, at the boundary, rather than later in
            // whoever reads the pixels.
            pixels = pixels.copy_memory();
        }
        if (pixels.format() == VIPS_FORMAT_UCHAR && interpretation == VIPS_INTERPRETATION_RGB16)
            interpretation = VIPS_INTERPRETATION_sRGB;
        // A new header over the same pixels: a picture that was already in memory comes back from
        // copy_memory as itself, and the caller's metadata must stay untouched.
        pixels = interpreted(pixels, interpretation);
        for (const char* field : kSourceMetadata)
            pixels.remove(field);  // nothing happens for a field the header does not have
        if (keptProfile) {
            vips_image_set_blob_copy(pixels.get_image(), VIPS_META_ICC_NAME, keptProfile->data(),
                                     keptProfile->size());
        } else if (profile != Image::Profile::None && pixels.bands() >= 3) {
            const std::span<const std::uint8_t> srgb = srgbProfile();
            if (!srgb.empty())
                vips_image_set_blob_copy(pixels.get_image(), VIPS_META_ICC_NAME, srgb.data(), srgb.size());
        }
        return Image(std::move(pixels));
    } catch (const vips::VError&) {
        vips_error_clear();
        return std::nullopt;
    }
}

}  // namespace

std::optional<Image> Image::fromVips(vips::VImage image, Depth depth, Profile profile)
{
    return converted(std::move(image), Decode::InMemory, depth, profile);
}

std::optional<Image> Image::streamFrom(vips::VImage image, Depth depth, Profile profile)
{
    return converted(std::move(image), Decode::AsStream, depth, profile);
}

std::optional<Image> Image::fromPixels(const std::uint8_t* data, int width, int height, std::size_t rowBytes,
                                       int channels)
{
    ensureVipsStarted();
    if (data == nullptr || (channels != 3 && channels != 4) || !withinPixelLimit(width, height))
        return std::nullopt;
    const std::size_t tightRow = static_cast<std::size_t>(width) * static_cast<std::size_t>(channels);
    const auto rows = static_cast<std::size_t>(height);
    if (rowBytes < tightRow)
        return std::nullopt;
    std::vector<std::uint8_t> packed;
    if (rowBytes != tightRow) {
        packed.resize(tightRow * rows);
        for (std::size_t y = 0; y < rows; ++y)
            std::memcpy(packed.data() + tightRow * y, data + rowBytes * y, tightRow);
    }
    VipsImage* copy = vips_image_new_from_memory_copy(packed.empty() ? data : packed.data(), tightRow * rows,
                                                      width, height, channels, VIPS_FORMAT_UCHAR);
    if (copy == nullptr) {
        vips_error_clear();
        return std::nullopt;
    }
    copy->Type = VIPS_INTERPRETATION_sRGB;
    return Image(vips::VImage(copy));
}

}  // namespace quillon
