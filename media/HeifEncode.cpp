#include "media/HeifEncode.hpp"

#include <cstring>
#include <iterator>
#include <memory>

#include <libheif/heif.h>

#include "media/EncodeDetail.hpp"
#include "media/PhotoDetails.hpp"

namespace quillon {

namespace {

struct HeifDeleter {
    void operator()(heif_context* p) const { heif_context_free(p); }
    void operator()(heif_encoder* p) const { heif_encoder_release(p); }
    void operator()(heif_image* p) const { heif_image_release(p); }
    void operator()(heif_image_handle* p) const { heif_image_handle_release(p); }
    void operator()(heif_encoding_options* p) const { heif_encoding_options_free(p); }
};
template <typename T>
using HeifPtr = std::unique_ptr<T, HeifDeleter>;

bool ok(const heif_error& error) { return error.code == heif_error_Ok; }

// Parameters an encoder plug-in does not know are not errors: another HEVC plug-in than x265 may
// be the one libheif picks, and it then keeps its own defaults.
bool setOrIgnore(const heif_error& error)
{
    return ok(error) || error.subcode == heif_suberror_Unsupported_parameter;
}

std::optional<Bytes> encode(const vips::VImage& pixels, int encoderQuality, HevcPreset preset,
                            std::span<const std::uint8_t> profile, std::span<const std::uint8_t> exif)
{
    const int width = pixels.width();
    const int height = pixels.height();
    const bool alpha = pixels.bands() == 4;

    HeifPtr<heif_context> context(heif_context_alloc());
    if (!context) {
        return std::nullopt;
    }
    heif_encoder* rawEncoder = nullptr;
    if (!ok(heif_context_get_encoder_for_format(context.get(), heif_compression_HEVC, &rawEncoder))) {
        return std::nullopt;
    }
    HeifPtr<heif_encoder> encoder(rawEncoder);
    if (!ok(heif_encoder_set_lossy_quality(encoder.get(), encoderQuality)) ||
        !setOrIgnore(heif_encoder_set_parameter_string(encoder.get(), "chroma",
                                                       encoderQuality < 100 ? "420" : "444")) ||
        !setOrIgnore(heif_encoder_set_parameter_string(encoder.get(), "preset", hevcPresetName(preset)))) {
        return std::nullopt;
    }

    heif_image* rawImage = nullptr;
    if (!ok(heif_image_create(width, height, heif_colorspace_RGB,
                              alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB,
                              &rawImage))) {
        return std::nullopt;
    }
    HeifPtr<heif_image> image(rawImage);
    if (!ok(heif_image_add_plane(image.get(), heif_channel_interleaved, width, height, 8))) {
        return std::nullopt;
    }
    int stride = 0;
    std::uint8_t* plane = heif_image_get_plane(image.get(), heif_channel_interleaved, &stride);
    if (plane == nullptr) {
        return std::nullopt;
    }
    const auto* source = static_cast<const std::uint8_t*>(pixels.data());
    const std::size_t rowBytes = static_cast<std::size_t>(width) * pixels.bands();
    for (int y = 0; y < height; ++y) {
        std::memcpy(plane + static_cast<std::size_t>(y) * stride, source + y * rowBytes, rowBytes);
    }

    if (!profile.empty() &&
        !ok(heif_image_set_raw_color_profile(image.get(), "prof", profile.data(), profile.size()))) {
        return std::nullopt;
    }

    HeifPtr<heif_encoding_options> options(heif_encoding_options_alloc());
    if (!options) {
        return std::nullopt;
    }
    options->save_alpha_channel = alpha ? 1 : 0;
    heif_image_handle* rawHandle = nullptr;
    if (!ok(heif_context_encode_image(context.get(), image.get(), encoder.get(), options.get(),
                                      &rawHandle))) {
        return std::nullopt;
    }
    HeifPtr<heif_image_handle> handle(rawHandle);
    if (!exif.empty() && !ok(heif_context_add_exif_metadata(context.get(), handle.get(), exif.data(),
                                                            static_cast<int>(exif.size())))) {
        return std::nullopt;
    }

    Bytes out;
    heif_writer writer{};
    writer.writer_api_version = 1;
    writer.write = [](heif_context*, const void* data, size_t size, void* target) {
        Bytes& bytes = *static_cast<Bytes*>(target);
        bytes.insert(bytes.end(), static_cast<const std::uint8_t*>(data),
                     static_cast<const std::uint8_t*>(data) + size);
        return heif_error{heif_error_Ok, heif_suberror_Unspecified, "ok"};
    };
    if (!ok(heif_context_write(context.get(), &writer, &out)) || out.empty()) {
        return std::nullopt;
    }
    return out;
}

}  // namespace

const char* hevcPresetName(HevcPreset preset)
{
    constexpr const char* kNames[] = {"ultrafast", "veryfast", "fast", "medium", "slow"};
    const auto index = static_cast<std::size_t>(preset);
    return index < std::size(kNames) ? kNames[index] : "medium";
}

std::optional<Bytes> encodeHeif(const Image& image, int encoderQuality, HevcPreset preset)
{
    if (image.empty()) {
        return std::nullopt;
    }
    try {
        return encode(detail::eightBitRgb(image.pixels()), encoderQuality, preset, colourProfile(image),
                      detailsExif(image));
    } catch (const vips::VError&) {
        vips_error_clear();
        return std::nullopt;
    }
}

}  // namespace quillon
