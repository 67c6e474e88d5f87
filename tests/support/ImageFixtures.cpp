#include "tests/support/ImageFixtures.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "media/Image.hpp"
#include "tests/support/TestMedia.hpp"

namespace quillon::test {

const std::vector<Rgb>& patchColours()
{
    static const std::vector<Rgb> colours{
        {230, 30, 30}, {30, 200, 40}, {20, 40, 220}, {255, 255, 255},
        {0, 0, 0},     {128, 128, 128}, {224, 172, 140}, {110, 170, 230},
    };
    return colours;
}

vips::VImage patchImage(int width, int height, bool withAlpha)
{
    ensureVipsStarted();
    const auto& colours = patchColours();
    const int stripes = static_cast<int>(colours.size());
    // Stripe index per column, then a lookup table from index to colour.
    vips::VImage index = (vips::VImage::xyz(width, height).extract_band(0) * stripes / width).cast(VIPS_FORMAT_UCHAR);
    std::vector<double> table;
    for (const Rgb& c : colours) {
        table.insert(table.end(), c.begin(), c.end());
    }
    vips::VImage lut = vips::VImage::new_from_memory(table.data(), table.size() * sizeof(double), stripes, 1, 3, VIPS_FORMAT_DOUBLE)
              .copy_memory();
    vips::VImage picture = index.maplut(lut).cast(VIPS_FORMAT_UCHAR);
    if (withAlpha) {
        vips::VImage alpha = (vips::VImage::xyz(width, height).extract_band(0) < (width / 2)).cast(VIPS_FORMAT_UCHAR);
        picture = picture.bandjoin(alpha);
    }
    return picture.copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB)).copy_memory();
}

std::vector<double> regionMean(const vips::VImage& image, int left, int top, int width, int height)
{
    vips::VImage region = image.extract_area(left, top, width, height).cast(VIPS_FORMAT_DOUBLE);
    std::vector<double> means;
    for (int b = 0; b < region.bands(); ++b) {
        means.push_back(region.extract_band(b).avg());
    }
    return means;
}

Rgb stripeMean(const vips::VImage& image, int index, int stripes)
{
    const int stripeWidth = image.width() / stripes;
    const int inset = std::max(1, stripeWidth / 4);
    const std::vector<double> mean = regionMean(image, index * stripeWidth + inset, image.height() / 4,
                                                std::max(1, stripeWidth - 2 * inset), std::max(1, image.height() / 2));
    if (mean.size() < 3) {
        return {mean[0], mean[0], mean[0]};
    }
    return {mean[0], mean[1], mean[2]};
}

double colourDistance(const Rgb& a, const Rgb& b)
{
    double worst = 0;
    for (int i = 0; i < 3; ++i) {
        worst = std::max(worst, std::fabs(a[i] - b[i]));
    }
    return worst;
}

void writeTaggedJpeg(const std::filesystem::path& file, int width, int height, int orientation)
{
    ensureVipsStarted();
    vips::VImage x = vips::VImage::xyz(width, height);
    vips::VImage inQuarter = (x.extract_band(0) < width / 2) & (x.extract_band(1) < height / 2);
    vips::VImage picture = inQuarter.ifthenelse(std::vector<double>{230, 20, 20}, std::vector<double>{20, 40, 220})
                               .cast(VIPS_FORMAT_UCHAR)
                               .copy(vips::VImage::option()->set("interpretation", VIPS_INTERPRETATION_sRGB));
    picture.jpegsave(file.c_str(), vips::VImage::option()->set("Q", 95)->set("strip", true));
    std::string tags = "-Make=Quillontest -Model=Fixture -GPSLatitude=48.85 -GPSLatitudeRef=N "
                       "-GPSLongitude=2.35 -GPSLongitudeRef=E -XMP-dc:Creator=Fixture ";
    if (orientation > 0) {
        tags += "-Orientation#=" + std::to_string(orientation) + " ";
    }
    if (run("exiftool -q -overwrite_original " + tags + shellQuote(file.string())) != 0) {
        throw std::runtime_error("exiftool could not tag " + file.string());
    }
}

std::string readFileBytes(const std::filesystem::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void writeFileBytes(const std::filesystem::path& file, const void* data, std::size_t size)
{
    std::ofstream out(file, std::ios::binary);
    out.write(static_cast<const char*>(data), static_cast<std::streamsize>(size));
}

}  // namespace quillon::test
