#include "media/Thumbnail.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include <glib.h>

#include "media/Encode.hpp"
#include "media/InputFile.hpp"
#include "media/VipsLimits.hpp"

namespace quillon {

namespace {

constexpr int kMinLimit = 16;
constexpr double kPreviewQuality = 0.82;

// Previews sit on the page's dark background (rgb 14, 16, 13), so transparent areas of a picture
// are shown in that colour: the preview then looks as the transparent picture itself would.
const std::vector<double> kPreviewBackground{14, 16, 13};

// One side of a reduced preview: scale times side, halves rounded away from zero, at least 1.
int reducedSide(double scale, int side)
{
    return std::max(1, static_cast<int>(std::lround(scale * side)));
}

// Resamples to exactly width x height. A large reduction first averages whole blocks of pixels,
// leaving at least a factor of 2 to the Lanczos kernel: the result is the same to within a level
// or two, at a third of the time of the kernel doing it all. libvips computes the output size from
// the scale factors and may land one pixel off; the rare stray row or column is cut off or
// repeated from the edge.
vips::VImage resizeExactly(vips::VImage image, int width, int height)
{
    const int blockX = image.width() / width / 2;
    const int blockY = image.height() / height / 2;
    if (blockX > 1 || blockY > 1)
        image = image.shrink(std::max(blockX, 1), std::max(blockY, 1));
    vips::VImage resized = image.resize(
        static_cast<double>(width) / image.width(),
        vips::VImage::option()
            ->set("vscale", static_cast<double>(height) / image.height())
            ->set("kernel", VIPS_KERNEL_LANCZOS3));
    if (resized.width() != width || resized.height() != height) {
        resized = resized.embed(0, 0, width, height, vips::VImage::option()->set("extend", VIPS_EXTEND_COPY));
    }
    return resized;
}

std::string dataURL(const Bytes& jpeg)
{
    gchar* text = g_base64_encode(jpeg.data(), jpeg.size());
    std::string url = kThumbnailPrefix;
    url += text;
    g_free(text);
    return url;
}

// Whether the header was read by the HEIF loader (from a file, buffer or source).
bool isHeifLoader(const vips::VImage& header)
{
    const char* loader = nullptr;
    return header.get_typeof(VIPS_META_LOADER) != 0 &&
           vips_image_get_string(header.get_image(), VIPS_META_LOADER, &loader) == 0 && loader != nullptr &&
           std::strncmp(loader, "heifload", 8) == 0;
}

// Width and height as displayed: they swap for orientation tags 5 to 8.
std::optional<PixelSize> displayedSize(const vips::VImage& header)
{
    const int width = header.width();
    const int height = header.height();
    if (width <= 0 || height <= 0) {
        return std::nullopt;
    }
    int orientation = 1;
    if (header.get_typeof(VIPS_META_ORIENTATION) != 0) {
        orientation = header.get_int(VIPS_META_ORIENTATION);
    }
    if (orientation > 4) {
        return PixelSize{static_cast<double>(height), static_cast<double>(width)};
    }
    return PixelSize{static_cast<double>(width), static_cast<double>(height)};
}

// The file opened for libvips: a regular file that starts like a picture of an accepted format.
std::optional<InputFile> openImageFile(const std::filesystem::path& file)
{
    std::optional<InputFile> input = openInputFile(file);
    if (!input || !hasAcceptedImageSignature(*input))
        return std::nullopt;
    return input;
}

}  // namespace

std::string thumbnailDataURL(const Image& image, int maxDim)
{
    ensureVipsStarted();
    vips_error_clear();
    const int width = image.width();
    const int height = image.height();
    if (width < 1 || height < 1) {
        return {};
    }
    const int longest = std::max(width, height);
    const int limit = std::max(maxDim, kMinLimit);
    try {
        vips::VImage pixels = image.pixels();
        const bool flatten = pixels.bands() == 4;
        if (flatten) {
            // Flattening before resampling weights colours by their opacity, as drawing into a
            // premultiplied bitmap would.
            pixels = pixels.flatten(vips::VImage::option()->set("background", kPreviewBackground));
        }
        if (longest > limit) {
            const double scale = static_cast<double>(limit) / longest;
            pixels = resizeExactly(pixels, reducedSide(scale, width), reducedSide(scale, height));
        }
        // A picture that already fits (an import's, reduced on load) is encoded as it is.
        const Image fitted = flatten || longest > limit ? Image(pixels.cast(VIPS_FORMAT_UCHAR).copy_memory()) : image;
        const std::optional<Bytes> jpeg = encodeImage(fitted, "jpg", kPreviewQuality);
        if (!jpeg) {
            return {};
        }
        return dataURL(*jpeg);
    } catch (const vips::VError&) {
        vips_error_clear();
        return {};
    }
}

LoadedImage loadImageAndSize(const std::filesystem::path& file, int maxPixelSize)
{
    ensureVipsStarted();
    vips_error_clear();
    const int limit = std::max(maxPixelSize, kMinLimit);
    LoadedImage loaded;
    // libvips reads the opened file through its /proc name, so it reads exactly the file checked.
    const std::optional<InputFile> input = openImageFile(file);
    if (!input)
        return loaded;
    const std::string name = input->procPath();
    try {
        // The header first, read once for both answers: a file claiming more pixels than Quillon
        // decodes is refused here, before any decoder allocates for it.
        vips::VImage header = vips::VImage::new_from_file(
            name.c_str(), vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL));
        loaded.displayedSize = displayedSize(header);
        if (!withinPixelLimit(header.width(), header.height())) {
            return loaded;
        }
        vips::VImage reduced;
        if (isHeifLoader(header)) {
            // HEIF has no reduced decode, and libvips' thumbnail would take the small preview
            // stored in the file when that is large enough; decode the primary picture instead.
            vips::VImage full = vips::VImage::new_from_file(
                name.c_str(), vips::VImage::option()
                                  ->set("access", VIPS_ACCESS_SEQUENTIAL)
                                  ->set("fail_on", VIPS_FAIL_ON_ERROR)
                                  ->set("thumbnail", false));
            reduced = full.thumbnail_image(limit, vips::VImage::option()
                                                      ->set("height", limit)
                                                      ->set("size", VIPS_SIZE_DOWN));
        } else {
            // Shrink-on-load where the format has it (JPEG, WebP, pyramids); the orientation tag
            // is applied and removed. libvips never uses an EXIF preview here.
            reduced = vips::VImage::thumbnail(name.c_str(), limit,
                                              vips::VImage::option()
                                                  ->set("height", limit)
                                                  ->set("size", VIPS_SIZE_DOWN)
                                                  ->set("fail_on", VIPS_FAIL_ON_ERROR));
        }
        loaded.image = Image::fromVips(reduced);
    } catch (const vips::VError&) {
        vips_error_clear();
    }
    return loaded;
}

std::optional<Image> loadImageOriented(const std::filesystem::path& file, int maxPixelSize)
{
    return loadImageAndSize(file, maxPixelSize).image;
}

std::optional<PixelSize> imagePixelSize(const std::filesystem::path& file)
{
    ensureVipsStarted();
    vips_error_clear();
    const std::optional<InputFile> input = openImageFile(file);
    if (!input)
        return std::nullopt;
    try {
        // Opening reads the header only; pixels are decoded on first use, which never comes.
        return displayedSize(vips::VImage::new_from_file(
            input->procPath().c_str(), vips::VImage::option()->set("access", VIPS_ACCESS_SEQUENTIAL)));
    } catch (const vips::VError&) {
        vips_error_clear();
        return std::nullopt;
    }
}

}  // namespace quillon
