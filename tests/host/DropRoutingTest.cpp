#include <gio/gio.h>
#include <gtest/gtest.h>

#include "host/DropRouting.hpp"

namespace quillon {
namespace {

// A GSList of GFiles for the URIs, owning its files.
struct FileList {
    GSList* list = nullptr;
    explicit FileList(std::initializer_list<const char*> uris)
    {
        for (const char* uri : uris)
            list = g_slist_append(list, g_file_new_for_uri(uri));
    }
    ~FileList() { g_slist_free_full(list, g_object_unref); }
};

TEST(DropRouting, LocalFilesInTheOrderDropped)
{
    FileList files{"file:///home/u/b%20clip.mov", "file:///home/u/a.gif", "file:///home/u/Folder",
                   "file:///home/u/caf%C3%A9.png"};
    auto paths = localPathsOf(files.list);
    ASSERT_EQ(paths.size(), 4u);
    EXPECT_EQ(paths[0], "/home/u/b clip.mov");
    EXPECT_EQ(paths[1], "/home/u/a.gif");
    EXPECT_EQ(paths[2], "/home/u/Folder");
    EXPECT_EQ(paths[3], "/home/u/caf\xC3\xA9.png");
}

TEST(DropRouting, LinksAndRemoteLocationsAreNotFiles)
{
    FileList links{"https://example.com/clip.mp4", "http://example.com/"};
    EXPECT_TRUE(localPathsOf(links.list).empty());

    FileList mixed{"https://example.com/a.png", "file:///tmp/b.png", "sftp://host/c.png"};
    auto paths = localPathsOf(mixed.list);
    ASSERT_EQ(paths.size(), 1u);
    EXPECT_EQ(paths[0], "/tmp/b.png");

    EXPECT_TRUE(localPathsOf(nullptr).empty());
}

}  // namespace
}  // namespace quillon
