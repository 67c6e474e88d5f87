#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include <gio/gio.h>
#include <gtest/gtest.h>

#include "host/Reveal.hpp"

namespace quillon {
namespace {

TEST(Reveal, FileURIsKeepOrderAndEscapeNames)
{
    auto uris = fileURIs({"/tmp/out/clip_p000.jpg", "/tmp/out/a b#1.png", "",
                          "/tmp/caf\xC3\xA9/x.png"});
    ASSERT_EQ(uris.size(), 3u);
    EXPECT_EQ(uris[0], "file:///tmp/out/clip_p000.jpg");
    EXPECT_EQ(uris[1], "file:///tmp/out/a%20b%231.png");
    EXPECT_EQ(uris[2], "file:///tmp/caf%C3%A9/x.png");

    auto relative = fileURIs({"shots/a.png"});
    ASSERT_EQ(relative.size(), 1u);
    EXPECT_EQ(relative[0], "file://" + std::filesystem::current_path().string() + "/shots/a.png");
}

TEST(Reveal, ContainingFolder)
{
    EXPECT_EQ(containingFolderURI("/tmp/out/clip_p000.jpg"), "file:///tmp/out");
    EXPECT_EQ(containingFolderURI("/tmp/out/"), "file:///tmp");
    EXPECT_EQ(containingFolderURI("/tmp/out/../x/a.png"), "file:///tmp/x");
    EXPECT_EQ(containingFolderURI("/"), "");
    EXPECT_EQ(containingFolderURI(""), "");
}

// A stand-in for the desktop's file manager on a private session bus.
struct FakeFileManager {
    std::vector<std::vector<std::string>> calls;
    std::vector<std::string> startupIds;

    static void onCall(GDBusConnection*, const char*, const char*, const char*, const char* method,
                       GVariant* parameters, GDBusMethodInvocation* invocation, gpointer data)
    {
        auto* self = static_cast<FakeFileManager*>(data);
        if (std::strcmp(method, "ShowItems") == 0) {
            GVariantIter* iter = nullptr;
            const char* startupId = nullptr;
            g_variant_get(parameters, "(as&s)", &iter, &startupId);
            std::vector<std::string> uris;
            const char* uri = nullptr;
            while (g_variant_iter_loop(iter, "&s", &uri))
                uris.emplace_back(uri);
            g_variant_iter_free(iter);
            self->calls.push_back(uris);
            self->startupIds.emplace_back(startupId);
        }
        g_dbus_method_invocation_return_value(invocation, nullptr);
    }
};

TEST(Reveal, AsksTheFileManagerOnTheSessionBus)
{
    GTestDBus* bus = g_test_dbus_new(G_TEST_DBUS_NONE);
    g_test_dbus_up(bus);
    {
        GDBusConnection* connection = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
        ASSERT_NE(connection, nullptr);
        GDBusNodeInfo* info = g_dbus_node_info_new_for_xml(
            "<node><interface name='org.freedesktop.FileManager1'><method name='ShowItems'>"
            "<arg type='as' direction='in'/><arg type='s' direction='in'/></method>"
            "</interface></node>",
            nullptr);
        FakeFileManager fake;
        GDBusInterfaceVTable vtable = {FakeFileManager::onCall, nullptr, nullptr, {}};
        guint object = g_dbus_connection_register_object(connection, "/org/freedesktop/FileManager1",
                                                         info->interfaces[0], &vtable, &fake,
                                                         nullptr, nullptr);
        ASSERT_NE(object, 0u);
        GVariant* owned = g_dbus_connection_call_sync(
            connection, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
            "RequestName", g_variant_new("(su)", "org.freedesktop.FileManager1", 0u), nullptr,
            G_DBUS_CALL_FLAGS_NONE, -1, nullptr, nullptr);
        ASSERT_NE(owned, nullptr);
        g_variant_unref(owned);

        revealInFileManager({});  // nothing to show: no call
        revealInFileManager({"/tmp/out/a b.png", "/tmp/out/c.png"});
        gint64 deadline = g_get_monotonic_time() + 10 * G_TIME_SPAN_SECOND;
        while (fake.calls.empty() && g_get_monotonic_time() < deadline)
            g_main_context_iteration(nullptr, TRUE);

        ASSERT_EQ(fake.calls.size(), 1u);
        EXPECT_EQ(fake.calls[0], (std::vector<std::string>{"file:///tmp/out/a%20b.png",
                                                           "file:///tmp/out/c.png"}));
        EXPECT_EQ(fake.startupIds[0], "");
        g_dbus_connection_unregister_object(connection, object);
        g_dbus_node_info_unref(info);
        g_object_unref(connection);
    }
    g_test_dbus_down(bus);
    g_object_unref(bus);
}

}  // namespace
}  // namespace quillon
