#include "media/Encode.hpp"

#include <algorithm>
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

// Every format name Quillon accepts; any other name is written as PNG. The first name of each
// format is the file-name extension it is written with.
constexpr std::pair<std::string_view, OutputFormat> kFormatNames[] = {
    {"jpg", OutputFormat::Jpeg},  {"jpeg", OutputFormat::Jpeg}, {"heic", OutputFormat::Heic},
    {"heif", OutputFormat::Heic}, {"png", OutputFormat::Png},   {"tiff", OutputFormat::Tiff},
    {"tif", OutputFormat::Tiff},  {"webp", OutputFormat::Webp}, {"avif", OutputFormat::Avif},
};

std::optional<OutputFormat> namedFormat(std::string_view name)
{
    for (const auto& [known, format] : kFormatNames) {
        if (name.size() == known.size() && g_ascii_strncasecmp(name.data(), known.data(), known.size()) == 0)
            return format;
    }
    return std::nullopt;
}

double clampQuality(double quality) { return std::isnan(quality) ? 1.0 : std::clamp(quality, 0.0, 1.0); }

// Runs one libvips save into memory. "strip" drops EXIF, XMP, IPTC and any ICC profile: the
// pixels of an Image are upright sRGB, so the file needs neither an orientation tag nor the
// source's metadata, and readers take an untagged file as sRGB. What a converted picture carries
// for its file (a colour profile, kept details) is written in afterwards (withDetailsOf), built
// from the allow-list rather than from whatever the header still holds. Throws vips::VError.
std::optional<Bytes> saveToBuffer(const vips::VImage& image, const char* suffix, vips::VOption* options,
                                  bool strip = true)
{
    void* data = nullptr;
    std::size_t size = 0;
    image.write_to_buffer(suffix, &data, &size, options->set("strip", strip));
    const GFreePtr<std::uint8_t> owned(static_cast<std::uint8_t*>(data));
    if (!owned || size == 0)
        return std::nullopt;
    return Bytes(owned.get(), owned.get() + size);
}

// Colour at half resolution (4:2:0) below the highest quality, as cameras and video do: a still
// from a video has no more colour detail than that, and full-resolution colour (which libvips
// would pick by itself from quality 90 up) makes such files about 1.6 times larger for nothing.
// The highest quality keeps full-resolution colour for photographs that have it.
VipsForeignSubsample subsampling(int encoderQuality)
{
    return encoderQuality < 100 ? VIPS_FOREIGN_SUBSAMPLE_ON : VIPS_FOREIGN_SUBSAMPLE_OFF;
}

// JPEG has no alpha channel: transparent areas are composited onto white, as on a page, rather
// than left to the encoder (which would show the colour behind transparent pixels, often black).
// Optimised Huffman tables make every file about 10% smaller for no measurable time; they take a
// second pass over the whole picture, for which libjpeg keeps all of it in memory (1.6 GB for
// 17000x16000 at full colour), so a picture too large to hold (one that is streamed) gets the
// standard tables.
std::optional<Bytes> encodeJpeg(const Image& image, int encoderQuality)
{
    vips::VImage pixels = detail::eightBitRgb(image.pixels());
    if (pixels.bands() == 4)
        pixels = pixels.flatten(vips::VImage::option()->set("background", std::vector<double>{255, 255, 255}))
                     .cast(VIPS_FORMAT_UCHAR);
    return saveToBuffer(pixels, ".jpg",
                        vips::VImage::option()
                            ->set("Q", encoderQuality)
                            ->set("optimize_coding", withinPixelLimit(image.width(), image.height()))
                            ->set("subsample_mode", subsampling(encoderQuality)));
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

// The 8-bit pixels for the savers that embed a profile themselves (WebP, AVIF): every metadata
// field removed, so nothing of the source's header can reach the file, then the picture's own
// colour profile attached where libvips' savers look for it. Kept details are not written into
// these.
vips::VImage withOnlyProfile(const Image& image)
{
    vips::VImage clean = detail::eightBitRgb(image.pixels()).copy();
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
    return saveToBuffer(withOnlyProfile(image), ".webp", options, /*strip=*/false);
}

// AVIF through libheif's AV1 encoder (aom), 8 bits, with JPEG's colour rule. libvips' effort 4 is
// aom's speed 5, its default. libvips' HEIF saver goes by the suffix ".heic"; the compression
// makes the file AVIF.
std::optional<Bytes> encodeAvif(const Image& image, int encoderQuality)
{
    return saveToBuffer(withOnlyProfile(image), ".heic",
                        vips::VImage::option()
                            ->set("compression", VIPS_FOREIGN_HEIF_COMPRESSION_AV1)
                            ->set("Q", encoderQuality)
                            ->set("bitdepth", 8)
                            ->set("subsample_mode", subsampling(encoderQuality)),
                        /*strip=*/false);
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
    if (image.empty())
        return std::nullopt;
    const double q = clampQuality(quality);
    try {
        switch (namedFormat(format).value_or(OutputFormat::Png)) {
        case OutputFormat::Jpeg:
            return withDetailsOf(encodeJpeg(image, encoderQuality(q)), DetailsContainer::Jpeg, image);
        case OutputFormat::Heic:
            if (auto bytes = heic(image, encoderQuality(q)))
                return bytes;
            // HEIC could not be written: a JPEG of at least quality 0.9 stands in. "jpg" has no
            // fallback of its own, so this happens at most once.
            return encodeImageWith(image, "jpg", std::max(q, 0.9), heic);
        case OutputFormat::Png:
            return withDetailsOf(encodePng(image), DetailsContainer::Png, image);
        case OutputFormat::Tiff:
            return withDetailsOf(encodeTiff(image), DetailsContainer::Tiff, image);
        case OutputFormat::Webp:
            return encodeWebp(image, encoderQuality(q));
        case OutputFormat::Avif:
            return encodeAvif(image, encoderQuality(q));
        }
    } catch (const vips::VError&) {
        vips_error_clear();
    }
    return std::nullopt;
}

}  // namespace detail

std::optional<Bytes> encodeImage(const Image& image, std::string_view format, double quality)
{
    // HEIC is written through libheif directly, since libvips leaves x265 at its slowest preset.
    return detail::encodeImageWith(image, format, quality,
                                   [](const Image& picture, int q) { return encodeHeif(picture, q); });
}

bool isKnownFormat(std::string_view format) { return namedFormat(format).has_value(); }

std::string extForFormat(std::string_view format)
{
    const OutputFormat named = namedFormat(format).value_or(OutputFormat::Png);
    for (const auto& [name, kind] : kFormatNames) {
        if (kind == named)
            return std::string(name);
    }
    return "png";
}

}  // namespace quillon
