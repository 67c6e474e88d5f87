#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <string>

#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include "host/DropRouting.hpp"
#include "host/Menu.hpp"
#include "host/PagePolicy.hpp"
#include "host/Panels.hpp"
#include "host/QuitGuard.hpp"
#include "host/Resources.hpp"
#include "tests/support/TestMedia.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;

void touch(const fs::path& file)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "x";
}

TEST(DropRouting, LocalFilesInTheOrderDroppedAndNothingElse)
{
    GSList* files = nullptr;
    for (const char* uri : {"https://example.com/a.png", "file:///home/u/b%20clip.mov", "sftp://host/c.png",
                            "file:///home/u/Folder", "file:///home/u/caf%C3%A9.png"})
        files = g_slist_append(files, g_file_new_for_uri(uri));
    EXPECT_EQ(localPathsOf(files),
              (std::vector<fs::path>{"/home/u/b clip.mov", "/home/u/Folder", "/home/u/caf\xC3\xA9.png"}));
    g_slist_free_full(files, g_object_unref);
}

TEST(Panels, FiltersMatchMimeTypesAndExtensionsInAnyCase)
{
    GtkFileFilter* filter = makeFileFilter({"Videos", {"video/*", "image/gif"}, {"*.mkv", "*.m2v"}});
    auto passes = [&](const char* name, const char* type) {
        GFileInfo* info = g_file_info_new();
        g_file_info_set_display_name(info, name);
        g_file_info_set_name(info, name);
        if (type)
            g_file_info_set_content_type(info, type);
        bool result = gtk_filter_match(GTK_FILTER(filter), info);
        g_object_unref(info);
        return result;
    };
    EXPECT_TRUE(passes("a.mp4", "video/mp4"));
    EXPECT_TRUE(passes("a.gif", "image/gif"));
    EXPECT_TRUE(passes("CLIP.MKV", "application/octet-stream"));
    EXPECT_TRUE(passes("Old.M2v", nullptr));
    EXPECT_FALSE(passes("notes.txt", "text/plain"));
    EXPECT_FALSE(passes("photo.png", "image/png"));
    g_object_unref(filter);
}

TEST(Resources, PageFilesOnlyFromInsideTheWebFolder)
{
    fs::path base = test::freshDir("host-page-files"), web = base / "web";
    touch(web / "index.html");
    touch(web / "lib" / "time format.js");
    touch(base / "secret.txt");
    fs::create_directories(web / "empty");
    fs::create_symlink(base / "secret.txt", web / "leak.txt");
    fs::create_symlink(web / "index.html", web / "alias.html");
    EXPECT_EQ(resolvePageFile(web, "/lib/time%20format.js"), fs::canonical(web / "lib" / "time format.js"));
    EXPECT_EQ(resolvePageFile(web, "/alias.html"), fs::canonical(web / "index.html"));
    for (const char* path :
         {"/../secret.txt", "/lib/../../secret.txt", "/%2e%2e/secret.txt", "/..%2Fsecret.txt", "/leak.txt",
          "/missing.js", "/empty", "/", "", "index.html", "/index.html%00.js"})
        EXPECT_EQ(resolvePageFile(web, path), std::nullopt) << path;
}

TEST(PagePolicy, OnlyOurPageLoadsAndClickedWebLinksGoToTheBrowser)
{
    using enum NavigationVerdict;
    const auto click = NavigationCause::LinkClicked;
    const auto other = NavigationCause::Other;
    EXPECT_EQ(judgeNavigation("QUILLON://App/lib/x.js", other), Allow);
    EXPECT_EQ(judgeNavigation("quillon://app/index.html#grid", click), Allow);
    EXPECT_EQ(judgeNavigation("https://example.com/help", click), OpenInBrowser);
    EXPECT_EQ(judgeNavigation("https://example.com/help", other), Refuse);  // scripts, redirects, drops
    for (const char* uri :
         {"quillon://evil/index.html", "quillon:/index.html", "file:///etc/passwd", "data:text/html,<p>x",
          "about:blank", "javascript:alert(1)", "ftp://example.com/", "http:///nohost", "", "not a uri"})
        EXPECT_EQ(judgeNavigation(uri, click), Refuse) << uri;
    EXPECT_EQ(judgeNavigation("quillon://app/index.html", NavigationCause::History), Refuse);  // reload
    EXPECT_TRUE(isOwnPageURI("quillon://app/"));
    EXPECT_FALSE(isOwnPageURI("file:///work/web/index.html"));
}

// What quitting would lose decides the question; quitting with nothing to lose asks nothing.
TEST(QuitGuard, AsksWhileWorkRunsOrStillsOrImagesWouldBeLost)
{
    struct Case {
        Bridge::PageState page;
        bool bridgeWorking;
        std::string question;  // empty: no question
        std::string detail;
    };
    const std::string kept = "Files written so far are kept; nothing half-written is left behind.";
    const std::vector<Case> cases = {
        {{"", 0, 0}, false, "", ""},
        {{"conversion", 0, 40},
         true,
         "Quit and stop the conversion?",
         kept + " The list of 40 images is not saved anywhere and will be lost."},
        {{"export", 11, 0},
         true,
         "Quit and stop the export?",
         kept + " The 11 stills are not saved anywhere and will be lost."},
        {{"extraction", 0, 0}, true, "Quit and stop the extraction?", ""},
        {{"import", 0, 3},
         true,
         "Quit and stop adding images?",
         "The list of 3 images is not saved anywhere and will be lost."},
        {{"opening", 0, 0}, false, "Quit and stop the work in progress?", ""},
        // A drop's work the page has not reported yet.
        {{"", 0, 0}, true, "Quit and stop the work in progress?", ""},
        {{"", 1, 0}, false, "Quit Quillon?", "The 1 still is not saved anywhere and will be lost."},
        {{"", 2, 1},
         false,
         "Quit Quillon?",
         "The 2 stills and the list of 1 image are not saved anywhere and will be lost."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.page.work + " " + std::to_string(c.page.stills) + " " + std::to_string(c.page.images));
        const std::optional<QuitQuestion> asked = quitQuestion(c.page, c.bridgeWorking);
        ASSERT_EQ(asked.has_value(), !c.question.empty());
        if (asked) {
            EXPECT_EQ(std::pair(asked->question, asked->detail), std::pair(c.question, c.detail));
        }
    }
}

TEST(Menu, EachShortcutOnceAndKeysATextFieldNeedsLeftToThePage)
{
    std::set<std::string> shortcuts;
    for (const TopMenu& menu : menuTable())
        for (std::span<const MenuItem> section : menu.sections)
            for (const MenuItem& item : section) {
                SCOPED_TRACE(std::string(item.label));
                if (item.shortcut.empty())
                    continue;
                EXPECT_TRUE(shortcuts.insert(std::string(item.shortcut)).second) << "shortcut used twice";
                // Clipboard keys bound by the application as well would act twice in a text field;
                // Delete and Escape bound by it would never reach a text field at all.
                const bool clipboard = item.action == "app.cut" || item.action == "app.copy" ||
                                       item.action == "app.paste" || item.action == "app.select-all";
                const bool textKey = item.shortcut == "Delete" || item.shortcut == "Escape";
                EXPECT_EQ(item.owner == ShortcutOwner::WebView, clipboard || textKey);
                EXPECT_EQ(findMenuItem(item.action.substr(4)), &item);
            }
    EXPECT_FALSE(shortcuts.contains("<Primary>f")) << "the page's own search key";
    for (const char* key : {"<Primary>z", "<Primary><Shift>z", "<Primary>o", "<Primary><Shift>o",
                            "<Primary>e", "Delete", "Escape", "<Primary>q", "<Primary>w"})
        EXPECT_TRUE(shortcuts.contains(key)) << key;
    EXPECT_EQ(findMenuItem("no-such-action"), nullptr);
}

// The page names its shortcuts (web/lib/shortcuts.js) for its tooltips and its own keys; the menu
// must bind and show exactly those, for the same actions.
TEST(Menu, PageShortcutsAreTheMenuOnes)
{
    const std::string source = test::contents(std::string(QUILLON_SOURCE_DIR) + "/web/lib/shortcuts.js");
    const std::regex entry(R"(action: '(\w+)', keys: '[^']+', accel: '([^']+)')");
    std::map<std::string, std::string> page;
    for (std::sregex_iterator it(source.begin(), source.end(), entry), end; it != end; ++it)
        page[(*it)[1].str()] = (*it)[2].str();
    ASSERT_GE(page.size(), 5U);

    std::map<std::string, std::string> menu;
    for (const TopMenu& top : menuTable())
        for (std::span<const MenuItem> section : top.sections)
            for (const MenuItem& item : section)
                if (!item.pageAction.empty())
                    menu[std::string(item.pageAction)] = std::string(item.shortcut);
    EXPECT_EQ(page, menu);
}

}  // namespace
}  // namespace quillon
