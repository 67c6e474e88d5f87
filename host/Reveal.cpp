#include "host/Reveal.hpp"

#include <filesystem>
#include <memory>

#include <gio/gio.h>

#include "host/GObjectPtr.hpp"
#include "media/GFreePtr.hpp"

namespace quillon {

namespace {

std::string toURI(const std::filesystem::path& path)
{
    const GFreePtr<char> uri{g_filename_to_uri(path.c_str(), nullptr, nullptr)};
    return uri ? uri.get() : "";
}

std::filesystem::path absoluteOf(const std::string& path)
{
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(path, ec);
    return ec ? std::filesystem::path() : absolute.lexically_normal();
}

// The state of one reveal while the bus call is in flight.
struct RevealCall {
    std::vector<std::string> uris;
    std::string fallbackURI;
};

void openFolderFallback(const std::string& uri)
{
    if (!uri.empty())
        g_app_info_launch_default_for_uri_async(uri.c_str(), nullptr, nullptr, nullptr, nullptr);
}

void onShowItemsDone(GObject* source, GAsyncResult* result, gpointer data)
{
    std::unique_ptr<RevealCall> call(static_cast<RevealCall*>(data));
    g_autoptr(GError) error = nullptr;
    g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
    if (!reply)
        openFolderFallback(call->fallbackURI);
}

void onBusReady(GObject*, GAsyncResult* result, gpointer data)
{
    auto* call = static_cast<RevealCall*>(data);
    g_autoptr(GError) error = nullptr;
    auto bus = GObjectPtr<GDBusConnection>::adopt(g_bus_get_finish(result, &error));
    if (!bus) {
        std::unique_ptr<RevealCall> owned(call);
        openFolderFallback(owned->fallbackURI);
        return;
    }
    GVariantBuilder builder;
    g_variant_builder_init(&builder, G_VARIANT_TYPE("as"));
    for (const std::string& uri : call->uris)
        g_variant_builder_add(&builder, "s", uri.c_str());
    // The empty string is the startup notification id: there is no launch to tie this to.
    g_dbus_connection_call(bus.get(), "org.freedesktop.FileManager1", "/org/freedesktop/FileManager1",
                           "org.freedesktop.FileManager1", "ShowItems", g_variant_new("(ass)", &builder, ""),
                           nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, onShowItemsDone, call);
}

}  // namespace

std::vector<std::string> fileURIs(const std::vector<std::string>& paths)
{
    std::vector<std::string> uris;
    for (const std::string& path : paths) {
        if (path.empty())
            continue;
        std::string uri = toURI(absoluteOf(path));
        if (!uri.empty())
            uris.push_back(std::move(uri));
    }
    return uris;
}

std::string containingFolderURI(const std::string& path)
{
    if (path.empty())
        return {};
    std::filesystem::path absolute = absoluteOf(path);
    if (absolute.empty() || !absolute.has_relative_path())
        return {};
    if (!absolute.has_filename())
        absolute = absolute.parent_path();
    return toURI(absolute.parent_path());
}

void revealInFileManager(const std::vector<std::string>& paths)
{
    std::vector<std::string> uris = fileURIs(paths);
    if (uris.empty())
        return;
    auto* call = new RevealCall{std::move(uris), containingFolderURI(paths.front())};
    g_bus_get(G_BUS_TYPE_SESSION, nullptr, onBusReady, call);
}

}  // namespace quillon
