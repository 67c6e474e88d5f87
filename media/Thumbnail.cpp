#include "media/Thumbnail.hpp"

#include <algorithm>
#include <cmath>
#include <memory>

#include <glib.h>

#include "media/Encode.hpp"
#include "media/GFreePtr.hpp"
#include "media/InputFile.hpp"
#include "media/MediaLimits.hpp"
#include "media/PhotoDetails.hpp"

namespace quillon {

namespace {

constexpr int kMinLimit = 16;
constexpr double kPreviewQuality = 0.82;

// Previews sit on the page's dark background (rgb 14, 16, 13), so transparent areas of a picture
// are shown in that colour: the preview then looks as the transparent picture itself would.
const std::vector<double> kPreviewBackground{14, 16, 13};

// Resamples so that the longer side is `limit`, each side scaled with halves rounded away from
// zero, at least 1. A large reduction first averages whole blocks of pixels, leaving at least a
// factor of 2 to the Lanczos kernel: the result is the same to within a level or two, at a third
// of the time of the kernel doing it all. libvips computes the output size from the scale factors
// and may land one pixel off; the rare stray row or column is cut off or repeated from the edge.
vips::VImage reducedTo(vips::VImage image, int limit)
{
    const double scale = static_cast<double>(limit) / std::max(image.width(), image.height());
    const auto reduced = [scale](int side) {
        return std::max(1, static_cast<int>(std::lround(scale * side)));
    };
    const int width = reduced(image.width());
    const int height = reduced(image.height());
    const int blockX = image.width() / width / 2;
    const int blockY = image.height() / height / 2;
    if (blockX > 1 || blockY > 1)
        image = image.shrink(std::max(blockX, 1), std::max(blockY, 1));
    vips::VImage resized = image.resize(static_cast<double>(width) / image.width(),
                                        vips::VImage::option()
                                            ->set("vscale", static_cast<double>(height) / image.height())
                                            ->set("kernel", VIPS_KERNEL_LANCZOS3));
    if (resized.width() != width || resized.height() != height)
        resized = resized.embed(0, 0, width, height, vips::VImage::option()->set("extend", VIPS_EXTEND_COPY));
    return resized;
}

int intField(const vips::VImage& image, const char* field, int fallback)
{
    return image.get_typeof(field) != 0 ? image.get_int(field) : fallback;
}

int orientationOf(const vips::VImage& image) { return intField(image, VIPS_META_ORIENTATION, 1); }

// Width and height as displayed: they swap for orientation tags 5 to 8.
std::optional<PixelSize> displayedSize(const vips::VImage& header)
{
    const double width = header.width();
    const double height = header.height();
    if (width <= 0 || height <= 0)
        return std::nullopt;
    return orientationOf(header) > 4 ? PixelSize{height, width} : PixelSize{width, height};
}

// The name of the libvips loader that read the header ("jpegload_source", ...), or empty.
std::string_view loaderName(const vips::VImage& header)
{
    const char* loader = nullptr;
    if (header.get_typeof(VIPS_META_LOADER) == 0 ||
        vips_image_get_string(header.get_image(), VIPS_META_LOADER, &loader) != 0 || loader == nullptr)
        return {};
    return loader;
}

// The loaders whose opening options Quillon chooses; every other loader decodes its first picture
// whole, at full size, with no options beyond the access pattern.
enum class LoaderKind { Jpeg, Webp, Heif, Jpeg2000, Tiff, Other };

LoaderKind loaderKind(const vips::VImage& header)
{
    constexpr std::pair<std::string_view, LoaderKind> kLoaders[] = {
        {"jpegload", LoaderKind::Jpeg},     {"webpload", LoaderKind::Webp}, {"heifload", LoaderKind::Heif},
        {"jp2kload", LoaderKind::Jpeg2000}, {"tiffload", LoaderKind::Tiff},
    };
    const std::string_view loader = loaderName(header);
    for (const auto& [prefix, kind] : kLoaders) {
        if (loader.starts_with(prefix))
            return kind;
    }
    return LoaderKind::Other;
}

// Loaders that decode a picture strip by strip, so that a sequential read holds only a few rows.
bool streams(const vips::VImage& header)
{
    const std::string_view loader = loaderName(header);
    return loader.starts_with("jpegload") || loader.starts_with("pngload") || loader.starts_with("tiffload");
}

// How a file is opened: which picture of it and at what reduction. The default reads the header
// of the first picture.
struct OpenPlan {
    LoaderKind kind = LoaderKind::Other;
    int page = -1;    // page (TIFF, WebP), resolution level (JPEG 2000); -1 leaves the loader's default
    int subifd = -1;  // a reduced copy stored under the first TIFF page; -1 for the page itself
    int shrink = 1;   // JPEG and WebP: decoded at 1/shrink of the stored size
    bool failOnError = false;
    // The size the loader produces with this plan.
    long long decodedWidth = 0;
    long long decodedHeight = 0;
};

// An image file as libvips reads it: a regular file (never a FIFO or a device, which would block
// or never end) that starts like a picture of an accepted format, read through its descriptor's
// /proc name so that libvips reads exactly the file checked, even when the name is replaced.
using CheckedFile = std::shared_ptr<const InputFile>;

// The one place where Quillon opens an image file. Every opening is sequential: the pixels are
// read top to bottom once, so a large picture streams through whatever follows.
vips::VImage openImageFile(const CheckedFile& file, const OpenPlan& plan)
{
    vips::VOption* options = vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL);
    if (plan.failOnError)
        options->set("fail_on", VIPS_FAIL_ON_ERROR);
    switch (plan.kind) {
    case LoaderKind::Jpeg:
        if (plan.shrink > 1)
            options->set("shrink", plan.shrink);
        break;
    case LoaderKind::Webp:
        options->set("page", std::max(plan.page, 0))->set("n", 1);
        if (plan.shrink > 1)
            options->set("scale", 1.0 / plan.shrink);
        break;
    case LoaderKind::Heif:
        // The primary picture itself, never the small preview a HEIF file may store beside it.
        options->set("thumbnail", false);
        break;
    case LoaderKind::Jpeg2000:
        options->set("page", std::max(plan.page, 0));
        break;
    case LoaderKind::Tiff:
        options->set("page", std::max(plan.page, 0))->set("n", 1);
        if (plan.subifd >= 0)
            options->set("subifd", plan.subifd);
        break;
    case LoaderKind::Other:
        break;
    }
    vips::VImage image = vips::VImage::new_from_file(file->procPath().c_str(), options);
    // libvips may close its own descriptor after the header and open the file again by that name
    // when pixels are read, perhaps after the caller returns: the picture keeps the checked
    // descriptor, and so its /proc name, alive for as long as it lives.
    g_object_set_data_full(G_OBJECT(image.get_image()), "quillon-checked-file", new CheckedFile(file),
                           [](gpointer held) { delete static_cast<CheckedFile*>(held); });
    return image;
}

// Opens a checked image file and hands its header to `read`: the one boundary at which libvips'
// exceptions end, for every operation that starts from a file's header. Nothing when the file is
// not a readable picture.
template <typename Read>
auto readFromHeader(const std::filesystem::path& file, Read read)
    -> decltype(read(CheckedFile{}, vips::VImage{}))
{
    ensureVipsStarted();
    vips_error_clear();
    std::optional<InputFile> opened = openInputFile(file);
    if (!opened || !hasAcceptedImageSignature(*opened))
        return std::nullopt;
    const auto input = std::make_shared<const InputFile>(std::move(*opened));
    try {
        return read(input, openImageFile(input, OpenPlan{}));
    } catch (const vips::VError&) {
        vips_error_clear();
        return std::nullopt;
    }
}

// One side after a reduction by factor on load, as JPEG and JPEG 2000 decoders round it.
long long reducedBy(long long side, long long factor) { return (side + factor - 1) / factor; }

// Whether level holds the picture above it at half size, as each level of a pyramid does.
bool halves(const vips::VImage& above, const vips::VImage& level)
{
    const auto half = [](int side, int next) { return next == side / 2 || next == (side + 1) / 2; };
    return half(above.width(), level.width()) && half(above.height(), level.height()) &&
           above.bands() == level.bands() && above.format() == level.format();
}

// The deepest level of a TIFF pyramid whose longer side still reaches the limit, as the plan to
// open it; the first page when the file is not a pyramid. A pyramid stores reduced copies of the
// first page, each half the size of the one above, either under the first page (sub-images, which
// are reduced copies by definition) or as the following pages. Pages may also be separate pictures
// that merely happen to halve, as a two-page document can: pages count as a pyramid only from three
// levels on, which every tiled pyramid large enough to need one has, and the preview of anything
// else comes from the first page.
OpenPlan tiffPreviewLevel(const CheckedFile& file, const vips::VImage& header, int limit, OpenPlan plan)
{
    constexpr int kMaxLevels = 32;  // sides halve, so no real pyramid has more
    constexpr int kMinPageLevels = 3;
    const int pages = intField(header, "n-pages", 1);
    const int subifds = intField(header, "n-subifds", 0);
    const bool byPage = subifds == 0;
    const int levels = byPage ? pages : subifds + 1;
    if (levels < (byPage ? kMinPageLevels : 2) || levels > kMaxLevels ||
        std::max(header.width(), header.height()) <= limit)
        return plan;
    vips::VImage above = header;
    OpenPlan chosen = plan;
    for (int i = 1; i < levels; ++i) {
        OpenPlan next = plan;
        if (byPage)
            next.page = i;
        else
            next.subifd = i - 1;
        const vips::VImage level = openImageFile(file, next);
        if (!halves(above, level))
            return plan;
        next.decodedWidth = level.width();
        next.decodedHeight = level.height();
        if (std::max(level.width(), level.height()) >= limit)
            chosen = next;
        above = level;
    }
    return chosen;
}

// How to open a file for conversion: the first picture (page 0, resolution level 0) at the size
// the header gives.
OpenPlan fullSizePlan(const vips::VImage& header)
{
    OpenPlan plan;
    plan.kind = loaderKind(header);
    plan.page = 0;
    plan.failOnError = true;
    plan.decodedWidth = header.width();
    plan.decodedHeight = header.height();
    return plan;
}

// How to open a file for a preview whose longer side is at most limit: the smallest reduction on
// load (JPEG and WebP shrink, a JPEG 2000 resolution level, a TIFF pyramid level) that still
// leaves at least limit pixels on the longer side, so the final resampling has full detail.
OpenPlan previewPlan(const CheckedFile& file, const vips::VImage& header, int limit)
{
    OpenPlan plan = fullSizePlan(header);
    const long long longest = std::max(header.width(), header.height());
    long long factor = 1;
    switch (plan.kind) {
    case LoaderKind::Jpeg:
    case LoaderKind::Webp:
        // Whole divisions: decoders round the reduced size differently (JPEG up, WebP to nearest),
        // and the reduced side must reach the limit however it is rounded.
        plan.shrink = 8;
        while (plan.shrink > 1 && longest / plan.shrink < limit)
            plan.shrink /= 2;
        factor = plan.shrink;
        break;
    case LoaderKind::Jpeg2000: {
        const int levels = std::clamp(intField(header, "n-pages", 1), 1, 32);
        while (plan.page + 1 < levels && reducedBy(longest, 1LL << (plan.page + 1)) >= limit)
            ++plan.page;
        factor = 1LL << plan.page;
        break;
    }
    case LoaderKind::Tiff:
        return tiffPreviewLevel(file, header, limit, plan);
    case LoaderKind::Heif:
    case LoaderKind::Other:
        break;
    }
    plan.decodedWidth = reducedBy(header.width(), factor);
    plan.decodedHeight = reducedBy(header.height(), factor);
    return plan;
}

// Turned upright by its orientation tag. Turning needs the whole picture at hand, which a
// sequential decode does not give.
vips::VImage upright(const vips::VImage& picture)
{
    return orientationOf(picture) == 1 ? picture : picture.copy_memory().autorot();
}

// The picture as a conversion takes it, made by Image::fromVips or Image::streamFrom: sixteen bits
// and grey kept, the colour profile as the options say, and the details of `source` attached when
// they are to be kept.
std::optional<Image> forConversion(decltype(&Image::fromVips) make, const vips::VImage& picture,
                                   const vips::VImage& source, const ConversionOptions& options)
{
    std::optional<Image> converted = make(picture, Image::Depth::AsSource,
                                          options.toSrgb ? Image::Profile::Srgb : Image::Profile::AsSource);
    if (!converted || !options.keepDetails)
        return converted;
    if (std::optional<std::vector<std::uint8_t>> exif = keptDetailsExif(source))
        return withDetailsExif(*converted, *exif);
    return converted;
}

}  // namespace

std::string thumbnailDataURL(const Image& image, int maxDim)
{
    ensureVipsStarted();
    vips_error_clear();
    if (image.width() < 1 || image.height() < 1)
        return {};
    const int longest = std::max(image.width(), image.height());
    const int limit = std::max(maxDim, kMinLimit);
    try {
        vips::VImage pixels = image.pixels();
        const bool flatten = pixels.bands() == 4;
        if (flatten) {
            // Flattening before resampling weights colours by their opacity, as drawing into a
            // premultiplied bitmap would.
            pixels = pixels.flatten(vips::VImage::option()->set("background", kPreviewBackground));
        }
        if (longest > limit)
            pixels = reducedTo(pixels, limit);
        // A picture that already fits (an import's, reduced on load) is encoded as it is.
        const Image fitted = flatten || longest > limit ? Image(pixels.cast(VIPS_FORMAT_UCHAR).copy_memory())
                                                        : image;
        const std::optional<Bytes> jpeg = encodeImage(fitted, "jpg", kPreviewQuality);
        if (!jpeg)
            return {};
        const GFreePtr<gchar> text(g_base64_encode(jpeg->data(), jpeg->size()));
        return kThumbnailPrefix + std::string(text.get());
    } catch (const vips::VError&) {
        vips_error_clear();
        return {};
    }
}

LoadedImage loadImageAndSize(const std::filesystem::path& file, int maxPixelSize)
{
    const int limit = std::max(maxPixelSize, kMinLimit);
    // The header is read once for both answers; the size stays known when the pixels fail.
    LoadedImage loaded;
    readFromHeader(file, [&](const CheckedFile& input, const vips::VImage& header) {
        loaded.displayedSize = displayedSize(header);
        const OpenPlan plan = previewPlan(input, header, limit);
        // Decoding streams through the reduction, so only the pixels the loader itself produces
        // count against the bound: a forged header claiming billions of pixels is refused here,
        // before any decoder starts on it.
        if (!withinStreamLimit(plan.decodedWidth, plan.decodedHeight))
            return loaded.image;
        // The reduction also turns the picture upright by its orientation tag.
        const vips::VImage source = openImageFile(input, plan);
        const vips::VImage reduced = source.thumbnail_image(
            limit, vips::VImage::option()->set("height", limit)->set("size", VIPS_SIZE_DOWN));
        loaded.image = Image::fromVips(reduced);
        return loaded.image;
    });
    return loaded;
}

std::optional<Image> loadImageReduced(const std::filesystem::path& file, int maxSide,
                                      const ConversionOptions& options)
{
    const int limit = std::max(maxSide, 1);
    return readFromHeader(
        file,
        [limit, &options](const CheckedFile& input, const vips::VImage& header) -> std::optional<Image> {
            const OpenPlan plan = previewPlan(input, header, limit);
            if (!withinStreamLimit(plan.decodedWidth, plan.decodedHeight))
                return std::nullopt;
            const vips::VImage source = openImageFile(input, plan);
            vips::VImage picture = source;
            if (std::max(picture.width(), picture.height()) > limit) {
                // Lanczos after averaging whatever shrink-on-load left beyond a factor of 2, at the
                // source's own depth (16-bit samples stay 16-bit). Colour is weighted by opacity, so
                // transparent pixels do not bleed their hidden colour into the edges next to them.
                const bool alpha = (picture.bands() == 2 || picture.bands() == 4) &&
                                   picture.interpretation() != VIPS_INTERPRETATION_CMYK;
                const VipsBandFormat format = picture.format();
                if (alpha)
                    picture = picture.premultiply();
                picture = reducedTo(picture, limit);
                if (alpha)
                    picture = picture.unpremultiply();
                picture = picture.cast(format);
            }
            return forConversion(&Image::fromVips, upright(picture), source, options);
        });
}

std::optional<Image> loadImageOriented(const std::filesystem::path& file, int maxPixelSize)
{
    return loadImageAndSize(file, maxPixelSize).image;
}

std::optional<Image> loadImageFullSize(const std::filesystem::path& file, const ConversionOptions& options)
{
    return readFromHeader(
        file, [&options](const CheckedFile& input, const vips::VImage& header) -> std::optional<Image> {
            if (!withinPixelLimit(header.width(), header.height()))
                return std::nullopt;
            const vips::VImage source = openImageFile(input, fullSizePlan(header));
            return forConversion(&Image::fromVips, upright(source), source, options);
        });
}

std::optional<ConversionCost> conversionCost(const std::filesystem::path& file)
{
    return readFromHeader(
        file, [](const CheckedFile&, const vips::VImage& header) -> std::optional<ConversionCost> {
            const std::uint64_t width = static_cast<std::uint64_t>(std::max(header.width(), 0));
            const std::uint64_t height = static_cast<std::uint64_t>(std::max(header.height(), 0));
            // Held with at most four bands (colour and alpha) of at most two bytes each.
            const std::uint64_t bands = static_cast<std::uint64_t>(std::clamp(header.bands(), 1, 4));
            const std::uint64_t sampleBytes = std::min<std::uint64_t>(vips_format_sizeof(header.format()), 2);
            // The encoded file at most as large as the raw pixels, which compressed photographs come
            // close to in PNG and TIFF.
            const std::uint64_t encoded = width * height * bands * sampleBytes;
            ConversionCost cost;
            cost.streamed = !withinPixelLimit(header.width(), header.height());
            cost.memoryBytes = (cost.streamed ? 0 : encoded) + 2 * encoded;
            if (cost.streamed)
                cost.possible = withinStreamLimit(header.width(), header.height()) && streams(header) &&
                                orientationOf(header) == 1;
            return cost;
        });
}

std::optional<Image> streamImageFullSize(const std::filesystem::path& file, const ConversionOptions& options)
{
    return readFromHeader(
        file, [&options](const CheckedFile& input, const vips::VImage& header) -> std::optional<Image> {
            if (!streams(header) || orientationOf(header) != 1)
                return std::nullopt;
            const vips::VImage source = openImageFile(input, fullSizePlan(header));
            return forConversion(&Image::streamFrom, source, source, options);
        });
}

std::optional<PixelSize> imagePixelSize(const std::filesystem::path& file)
{
    // Opening reads the header only; pixels are decoded on first use, which never comes.
    return readFromHeader(
        file, [](const CheckedFile&, const vips::VImage& header) { return displayedSize(header); });
}

}  // namespace quillon
