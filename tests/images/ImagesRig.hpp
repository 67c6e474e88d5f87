#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <glib.h>
#include <gtest/gtest.h>
#include <vips/vips8>

#include "bridge/Bridge.hpp"
#include "media/Image.hpp"
#include "tests/support/FakeHost.hpp"
#include "tests/support/ImageFixtures.hpp"
#include "tests/support/TestMedia.hpp"

namespace quillon::test {

// A bridge on a fake host, driven by command messages; every command is settled before send()
// returns, so the deliveries it caused can be inspected in order.
struct ImagesRig {
    FakeHost host;
    Bridge bridge{host};  // after host: destroyed first
    std::int64_t nextId = 1;

    std::int64_t send(const std::string& cmd, const nlohmann::json& args = nlohmann::json::object())
    {
        const std::int64_t id = nextId++;
        bridge.handleMessage({{"id", id}, {"cmd", cmd}, {"args", args}});
        host.settle(bridge);
        return id;
    }

    void drop(std::vector<std::filesystem::path> files)
    {
        bridge.handleDrop(std::move(files));
        host.settle(bridge);
    }

    // The envelope of the reply to a request id (ok and payload), or nothing.
    std::optional<nlohmann::json> reply(std::int64_t id) const
    {
        for (const nlohmann::json& envelope : host.payloadsOf("window.__bridgeResolveRaw")) {
            if (envelope["id"] == id)
                return envelope;
        }
        return std::nullopt;
    }

    // The page function names of all deliveries so far, in order.
    std::vector<std::string> sequence() const
    {
        std::vector<std::string> names;
        for (const Delivery& d : host.deliveries())
            names.push_back(d.name);
        return names;
    }
};

inline const std::string kBegin = "window.__onImagesBegin";
inline const std::string kChunk = "window.__onImagesChunk";
inline const std::string kResolve = "window.__bridgeResolveRaw";
inline const std::string kProgress = "window.__onExportProgress";

// Saves a small sRGB picture (patch stripes) in the format its extension names.
inline void writePicture(const std::filesystem::path& file, int width, int height)
{
    ensureVipsStarted();
    vips::VImage picture = patchImage(width, height);
    const std::string ext = file.extension().string();
    if (ext == ".bmp" || ext == ".psd")
        picture.magicksave(file.c_str(), vips::VImage::option()->set("format", ext.substr(1).c_str()));
    else
        picture.write_to_file(file.c_str());
}

// The picture behind a "data:image/jpeg;base64,..." URL.
inline vips::VImage pictureOfDataUrl(const std::string& url)
{
    const std::string prefix = "data:image/jpeg;base64,";
    EXPECT_EQ(url.rfind(prefix, 0), 0u) << url.substr(0, 40);
    gsize length = 0;
    guchar* bytes = g_base64_decode(url.c_str() + prefix.size(), &length);
    vips::VImage picture = vips::VImage::new_from_buffer(bytes, length, "").copy_memory();
    g_free(bytes);
    return picture;
}

}  // namespace quillon::test
