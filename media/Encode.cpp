#include "media/Encode.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <string>
#include <utility>

#include <glib.h>

#include "media/EncodeDetail.hpp"
#include "media/GFreePtr.hpp"
#include "media/HeifEncode.hpp"
#include "media/MediaLimits.hpp"
#include "media/PhotoDetails.hpp"

namespace quillon {

namespace {

enum class OutputFormat { Jpeg, Heic, Png, Tiff, Webp, Avif };

std::string lowerCase(std::string_view text)
{
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

// Every format name Quillon accepts, in lower case; any other name is written as PNG.
constexpr std::pair<std::string_view, OutputFormat> kFormatNames[] = {
    {"jpg", OutputFormat::Jpeg},  {"jpeg", OutputFormat::Jpeg}, {"heic", OutputFormat::Heic},
    {"heif", OutputFormat::Heic}, {"png", OutputFormat::Png},   {"tif", OutputFormat::Tiff},
    {"tiff", OutputFormat::Tiff}, {"webp", OutputFormat::Webp}, {"avif", OutputFormat::Avif},
};

std::optional<OutputFormat> namedFormat(std::string_view name)
{
    const std::string lower = lowerCase(name);
    for (const auto& [known, format] : kFormatNames) {
        if (lower == known)
            return format;
    }
    return std::nullopt;
}

double clampQuality(double quality)
{
    if (std::isnan(quality)) {
        return 1.0;
    }
    return std::clamp(quality, 0.0, 1.0);
}

// Runs one libvips save into memory. "strip" drops EXIF, XMP, IPTC and any ICC profile: the
// pixels of an Image are upright sRGB, so the file needs neither an orientation tag nor the
// source's metadata, and readers take an untagged file as sRGB. What a converted picture carries
// for its file (a colour profile, kept details) is written in afterwards (withDetailsOf), built
// from the allow-list rather than from whatever the header still holds.
std::optional<Bytes> saveToBuffer(const vips::VImage& image, const char* suffix, vips::VOption* options,
                                  bool strip = true)
{
    void* data = nullptr;
    std::size_t size = 0;
    bool saved = true;
    try {
        image.write_to_buffer(suffix, &data, &size, options->set("strip", strip));
    } catch (const vips::VError&) {
        vips_error_clear();
        saved = false;
    }
    const GFreePtr<std::uint8_t> owned(static_cast<std::uint8_t*>(data));
    if (!saved || !owned || size == 0)
        return std::nullopt;
    return Bytes(owned.get(), owned.get() + size);
}

// JPEG has no alpha channel: transparent areas are composited onto white, as on a page, rather
// than left to the encoder (which would show the colour behind transparent pixels, often black).
vips::VImage withoutAlpha(const vips::VImage& image)
{
    if (image.bands() != 4) {
        return image;
    }
    return image.flatten(vips::VImage::option()->set("background", std::vector<double>{255, 255, 255}))
        .cast(VIPS_FORMAT_UCHAR);
}

// Colour at half resolution (4:2:0) below the highest quality, as cameras and video do: a still
// from a video has no more colour detail than that, and full-resolution colour (which libvips
// would pick by itself from quality 90 up) makes such files about 1.6 times larger for nothing.
// The highest quality keeps full-resolution colour for photographs that have it. Optimised
// Huffman tables make every file about 10% smaller for no measurable time; they take a second
// pass over the whole picture, for which libjpeg keeps all of it in memory (1.6 GB for 17000x16000
// at full colour), so a picture too large to hold (one that is streamed) gets the standard tables.
std::optional<Bytes> encodeJpeg(const Image& image, int encoderQuality)
{
    const bool optimise = withinPixelLimit(image.width(), image.height());
    try {
        return saveToBuffer(withoutAlpha(detail::eightBitRgb(image.pixels())), ".jpg",
                            vips::VImage::option()
                                ->set("Q", encoderQuality)
                                ->set("optimize_coding", optimise)
                                ->set("subsample_mode", encoderQuality < 100 ? VIPS_FOREIGN_SUBSAMPLE_ON
                                                                             : VIPS_FOREIGN_SUBSAMPLE_OFF));
    } catch (const vips::VError&) {
        vips_error_clear();
        return std::nullopt;
    }
}

// HEIC follows JPEG's colour rule: 4:2:0, the profile phones and cameras write, below the highest
// quality. It is written through libheif directly, since libvips leaves x265 at its slowest
// default preset.
std::optional<Bytes> encodeHeic(const Image& image, int encoderQuality)
{
    return encodeHeif(image, encoderQuality);
}

// zlib level 4 with every row filtered by its left neighbour ("sub"). Filtering halves the size of
// a photograph (a 4000x3000 one: 12.8 MB against 25.4 MB unfiltered at level 6) for about a
// quarter more time, and makes stills from video about 10% smaller; at level 6 the filtered rows
// take zlib four times as long for 2% less. Adaptive filtering (a choice per row) costs more
// again, too much when converting a batch.
std::optional<Bytes> encodePng(const Image& image)
{
    return saveToBuffer(
        image.pixels(), ".png",
        vips::VImage::option()->set("compression", 4)->set("filter", VIPS_FOREIGN_PNG_FILTER_SUB));
}

// LZW (TIFF compression code 5) with the horizontal predictor, which LZW needs to compress
// photographs at all.
std::optional<Bytes> encodeTiff(const Image& image)
{
    return saveToBuffer(image.pixels(), ".tif",
                        vips::VImage::option()
                            ->set("compression", VIPS_FOREIGN_TIFF_COMPRESSION_LZW)
                            ->set("predictor", VIPS_FOREIGN_TIFF_PREDICTOR_HORIZONTAL));
}

// The file with the picture's colour profile and kept details written in; unchanged when the
// picture carries neither.
std::optional<Bytes> withDetailsOf(std::optional<Bytes> file, DetailsContainer container, const Image& image)
{
    if (!file)
        return file;
    return withEmbeddedDetails(std::move(*file), container, image);
}

// The pixels for the savers that embed a profile themselves (WebP, AVIF): every metadata field
// removed, so nothing of the source's header can reach the file, then the picture's own colour
// profile attached where libvips' savers look for it. Kept details are not written into these.
vips::VImage withOnlyProfile(const vips::VImage& pixels, const Image& image)
{
    vips::VImage clean = pixels.copy();
    const std::unique_ptr<gchar*, decltype(&g_strfreev)> fields(vips_image_get_fields(clean.get_image()),
                                                                &g_strfreev);
    for (gchar** field = fields.get(); field && *field; ++field)
        vips_image_remove(clean.get_image(), *field);
    const std::span<const std::uint8_t> profile = colourProfile(image);
    if (!profile.empty())
        vips_image_set_blob_copy(clean.get_image(), VIPS_META_ICC_NAME, profile.data(), profile.size());
    return clean;
}

// WebP at the highest quality is lossless (exact pixels, alpha included), since a slider at its
// top reads as "keep everything"; below it lossy at the same 1..100 scale as JPEG, with libwebp's
// own default effort (4 of 0..6), which is where its speed and size meet.
std::optional<Bytes> encodeWebp(const Image& image, int encoderQuality)
{
    vips::VOption* options = vips::VImage::option();
    if (encoderQuality >= 100)
        options->set("lossless", true);
    else
        options->set("Q", encoderQuality);
    try {
        return saveToBuffer(withOnlyProfile(detail::eightBitRgb(image.pixels()), image), ".webp", options,
                            /*strip=*/false);
    } catch (const vips::VError&) {
        vips_error_clear();
        return std::nullopt;
    }
}

// AVIF through libheif's AV1 encoder (aom), 8 bits, with JPEG's colour rule: 4:2:0 below the
// highest quality, full-resolution colour at it. libvips' effort 4 is aom's speed 5, its default.
std::optional<Bytes> encodeAvif(const Image& image, int encoderQuality)
{
    try {
        const vips::VImage pixels = withOnlyProfile(detail::eightBitRgb(image.pixels()), image);
        void* data = nullptr;
        std::size_t size = 0;
        const int failed = vips_heifsave_buffer(
            pixels.get_image(), &data, &size, "compression", VIPS_FOREIGN_HEIF_COMPRESSION_AV1, "Q",
            encoderQuality, "bitdepth", 8, "subsample_mode",
            encoderQuality < 100 ? VIPS_FOREIGN_SUBSAMPLE_ON : VIPS_FOREIGN_SUBSAMPLE_OFF, "strip", FALSE,
            nullptr);
        const GFreePtr<std::uint8_t> owned(static_cast<std::uint8_t*>(data));
        if (failed != 0 || !owned || size == 0) {
            vips_error_clear();
            return std::nullopt;
        }
        return Bytes(owned.get(), owned.get() + size);
    } catch (const vips::VError&) {
        vips_error_clear();
        return std::nullopt;
    }
}

}  // namespace

namespace detail {

// JPEG and HEIC hold 8 bits per channel in colour here: a picture that kept 16 bits or grey for
// PNG and TIFF is brought to 8-bit sRGB first (16-bit samples keep their high byte, grey becomes
// neutral RGB, alpha stays).
vips::VImage eightBitRgb(vips::VImage image)
{
    if (image.format() == VIPS_FORMAT_USHORT)
        image = (image >> 8).cast(VIPS_FORMAT_UCHAR);
    if (image.bands() <= 2) {
        const vips::VImage grey = image.extract_band(0);
        vips::VImage rgb = vips::VImage::bandjoin({grey, grey, grey});
        image = image.bands() == 2 ? rgb.bandjoin(image.extract_band(1)) : rgb;
    }
    return image.copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
}

// Quality 0..1 maps linearly onto the encoders' 1..100 scale as Q = 1 + round(99 q), so that
// 0 is the encoder's lowest setting, 1 its highest, and a quality of 0.9 or 0.82 gives the
// familiar 90 or 82. JPEG and HEIC (x265 through libheif) share the scale.
int encoderQuality(double quality) { return 1 + static_cast<int>(std::lround(99.0 * clampQuality(quality))); }

std::optional<Bytes> encodeImageWith(const Image& image, std::string_view format, double quality,
                                     HeicEncoder heic)
{
    ensureVipsStarted();
    vips_error_clear();
    const double q = clampQuality(quality);
    switch (namedFormat(format).value_or(OutputFormat::Png)) {
    case OutputFormat::Jpeg:
        return image.empty()
                   ? std::nullopt
                   : withDetailsOf(encodeJpeg(image, encoderQuality(q)), DetailsContainer::Jpeg, image);
    case OutputFormat::Heic:
        if (!image.empty()) {
            if (auto bytes = heic(image, encoderQuality(q))) {
                return bytes;
            }
        }
        // HEIC could not be written: a JPEG of at least quality 0.9 stands in. "jpg" has no
        // fallback of its own, so this happens at most once.
        return encodeImageWith(image, "jpg", std::max(q, 0.9), heic);
    case OutputFormat::Png:
        return image.empty() ? std::nullopt : withDetailsOf(encodePng(image), DetailsContainer::Png, image);
    case OutputFormat::Tiff:
        return image.empty() ? std::nullopt : withDetailsOf(encodeTiff(image), DetailsContainer::Tiff, image);
    case OutputFormat::Webp:
        return image.empty() ? std::nullopt : encodeWebp(image, encoderQuality(q));
    case OutputFormat::Avif:
        return image.empty() ? std::nullopt : encodeAvif(image, encoderQuality(q));
    }
    return std::nullopt;
}

}  // namespace detail

std::optional<Bytes> encodeImage(const Image& image, std::string_view format, double quality)
{
    return detail::encodeImageWith(image, format, quality, &encodeHeic);
}

bool isKnownFormat(std::string_view format) { return namedFormat(format).has_value(); }

std::string extForFormat(std::string_view format)
{
    switch (namedFormat(format).value_or(OutputFormat::Png)) {
    case OutputFormat::Jpeg:
        return "jpg";
    case OutputFormat::Heic:
        return "heic";
    case OutputFormat::Tiff:
        return "tiff";
    case OutputFormat::Png:
        return "png";
    case OutputFormat::Webp:
        return "webp";
    case OutputFormat::Avif:
        return "avif";
    }
    return "png";
}

}  // namespace quillon
