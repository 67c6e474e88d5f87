#include <fstream>

#include <gtest/gtest.h>

#include "host/PagePolicy.hpp"
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

TEST(WebFolderLookup, PrefersTheBuildTreeThenTheInstalledPrefixThenTheFirst)
{
    fs::path root = test::freshDir("host-web-lookup");
    fs::path bin = root / "prefix" / "bin";
    fs::create_directories(bin);
    // Neither holds the page: the folder beside the executable, where the load then fails.
    EXPECT_EQ(findWebFolder(bin), bin / "web");

    touch(root / "prefix" / "share" / "quillon" / "web" / "index.html");
    EXPECT_EQ(findWebFolder(bin), root / "prefix" / "share" / "quillon" / "web");

    // A web folder without index.html beside the executable does not count.
    fs::create_directories(bin / "web");
    EXPECT_EQ(findWebFolder(bin), root / "prefix" / "share" / "quillon" / "web");
    touch(bin / "web" / "index.html");
    EXPECT_EQ(findWebFolder(bin), bin / "web");
}

TEST(WebFolderLookup, ExecutableDirIsTheFolderOfThisTestProgram)
{
    fs::path dir = executableDir();
    ASSERT_FALSE(dir.empty());
    EXPECT_TRUE(fs::exists(dir / "host_tests"));
}

class PageFiles : public ::testing::Test {
protected:
    void SetUp() override
    {
        base = test::freshDir("host-page-files");
        web = base / "web";
        touch(web / "index.html");
        touch(web / "lib" / "time format.js");
        touch(web / "caf\xC3\xA9.css");
        touch(base / "secret.txt");
        fs::create_directories(web / "empty");
        fs::create_symlink(base / "secret.txt", web / "leak.txt");
        fs::create_symlink(web / "index.html", web / "alias.html");
    }
    fs::path base, web;
};

TEST_F(PageFiles, ServesFilesInsideTheFolderWithDecodedNames)
{
    EXPECT_EQ(resolvePageFile(web, "/index.html"), fs::canonical(web / "index.html"));
    EXPECT_EQ(resolvePageFile(web, "/lib/time%20format.js"),
              fs::canonical(web / "lib" / "time format.js"));
    EXPECT_EQ(resolvePageFile(web, "/caf%C3%A9.css"), fs::canonical(web / "caf\xC3\xA9.css"));
    EXPECT_EQ(resolvePageFile(web, "/lib/../index.html"), std::nullopt);
    // A link that stays inside the folder is followed.
    EXPECT_EQ(resolvePageFile(web, "/alias.html"), fs::canonical(web / "index.html"));
}

TEST_F(PageFiles, RefusesEverythingOutsideTheFolder)
{
    for (const char* path : {"/../secret.txt", "/lib/../../secret.txt", "/%2e%2e/secret.txt",
                             "/..%2Fsecret.txt", "/leak.txt", "/missing.js", "/empty", "/", "",
                             "index.html", "/index.html%00.js"}) {
        EXPECT_EQ(resolvePageFile(web, path), std::nullopt) << path;
    }
    EXPECT_EQ(resolvePageFile(base / "no-such-folder", "/index.html"), std::nullopt);
}

TEST(PageMimeTypes, ByExtensionInAnyCase)
{
    EXPECT_EQ(pageMimeType("index.html"), "text/html");
    EXPECT_EQ(pageMimeType("app.js"), "text/javascript");
    EXPECT_EQ(pageMimeType("lib/x.MJS"), "text/javascript");
    EXPECT_EQ(pageMimeType("style.CSS"), "text/css");
    EXPECT_EQ(pageMimeType("icon.svg"), "image/svg+xml");
    EXPECT_EQ(pageMimeType("a.png"), "image/png");
    EXPECT_EQ(pageMimeType("package.json"), "application/json");
    EXPECT_EQ(pageMimeType("README"), "application/octet-stream");
    EXPECT_EQ(pageMimeType("x.exe"), "application/octet-stream");
}

TEST(NavigationPolicy, OnlyOurPageLoadsAndClickedWebLinksGoToTheBrowser)
{
    using enum NavigationVerdict;
    const auto click = NavigationCause::LinkClicked;
    const auto other = NavigationCause::Other;
    EXPECT_EQ(judgeNavigation(kPageURI, other), Allow);
    EXPECT_EQ(judgeNavigation("quillon://app/index.html#grid", click), Allow);
    EXPECT_EQ(judgeNavigation("QUILLON://App/lib/x.js", other), Allow);
    EXPECT_EQ(judgeNavigation("quillon://evil/index.html", other), Refuse);
    EXPECT_EQ(judgeNavigation("quillon:/index.html", other), Refuse);

    EXPECT_EQ(judgeNavigation("https://example.com/help", click), OpenInBrowser);
    EXPECT_EQ(judgeNavigation("HTTP://example.com/", click), OpenInBrowser);
    // Scripts, redirects and dropped links do not get to open the browser.
    EXPECT_EQ(judgeNavigation("https://example.com/help", other), Refuse);

    for (const char* uri : {"file:///etc/passwd", "data:text/html,<p>x", "about:blank",
                            "javascript:alert(1)", "ftp://example.com/", "http:///nohost",
                            "", "not a uri"}) {
        EXPECT_EQ(judgeNavigation(uri, click), Refuse) << uri;
    }
}

TEST(NavigationPolicy, OwnPageURIs)
{
    EXPECT_TRUE(isOwnPageURI(kPageURI));
    EXPECT_TRUE(isOwnPageURI("quillon://app/"));
    EXPECT_FALSE(isOwnPageURI("quillon://other/index.html"));
    EXPECT_FALSE(isOwnPageURI("file:///work/web/index.html"));
    EXPECT_FALSE(isOwnPageURI("about:blank"));
    EXPECT_FALSE(isOwnPageURI(""));
}

}  // namespace
}  // namespace quillon
