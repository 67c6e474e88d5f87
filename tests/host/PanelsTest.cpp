#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "host/Panels.hpp"

namespace quillon {
namespace {

TEST(Panels, ChooserShapeFollowsTheRequestKind)
{
    using Kind = PanelRequest::Kind;
    EXPECT_FALSE(chooserShape(Kind::OpenFile).folders);
    EXPECT_FALSE(chooserShape(Kind::OpenFile).multiple);
    EXPECT_FALSE(chooserShape(Kind::OpenFiles).folders);
    EXPECT_TRUE(chooserShape(Kind::OpenFiles).multiple);
    EXPECT_TRUE(chooserShape(Kind::OpenFolder).folders);
    EXPECT_FALSE(chooserShape(Kind::OpenFolder).multiple);
    EXPECT_TRUE(chooserShape(Kind::OpenFolders).folders);
    EXPECT_TRUE(chooserShape(Kind::OpenFolders).multiple);
}

TEST(Panels, ExtensionPatternsBecomeSuffixes)
{
    EXPECT_EQ(patternSuffix("*.mkv"), "mkv");
    EXPECT_EQ(patternSuffix("*.tar.gz"), "tar.gz");
    EXPECT_EQ(patternSuffix("*.MKV"), "MKV");
    EXPECT_EQ(patternSuffix("*"), std::nullopt);
    EXPECT_EQ(patternSuffix("*."), std::nullopt);
    EXPECT_EQ(patternSuffix("clip*.mp4"), std::nullopt);
    EXPECT_EQ(patternSuffix("*.[mM]kv"), std::nullopt);
    EXPECT_EQ(patternSuffix("*.*"), std::nullopt);
}

// Whether a file filter lets through a file with this name and content type, as the chooser asks.
bool passes(GtkFileFilter* filter, const char* name, const char* contentType)
{
    GFileInfo* info = g_file_info_new();
    g_file_info_set_display_name(info, name);
    g_file_info_set_name(info, name);
    if (contentType)
        g_file_info_set_content_type(info, contentType);
    bool result = gtk_filter_match(GTK_FILTER(filter), info);
    g_object_unref(info);
    return result;
}

TEST(Panels, FiltersMatchMimeTypesAndExtensionsInAnyCase)
{
    FileFilter videos{"Videos and animated GIFs", {"video/*", "image/gif"}, {"*.mkv", "*.m2v"}};
    GtkFileFilter* filter = makeFileFilter(videos);
    EXPECT_STREQ(gtk_file_filter_get_name(filter), "Videos and animated GIFs");
    EXPECT_TRUE(passes(filter, "a.mp4", "video/mp4"));
    EXPECT_TRUE(passes(filter, "a.gif", "image/gif"));
    EXPECT_TRUE(passes(filter, "clip.mkv", "application/octet-stream"));
    EXPECT_TRUE(passes(filter, "CLIP.MKV", "application/octet-stream"));
    EXPECT_TRUE(passes(filter, "Old.M2v", nullptr));
    EXPECT_FALSE(passes(filter, "notes.txt", "text/plain"));
    EXPECT_FALSE(passes(filter, "photo.png", "image/png"));
    g_object_unref(filter);
}

}  // namespace
}  // namespace quillon
