#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <unistd.h>
#include <vector>

#include "bridge/ImageFiles.hpp"
#include "tests/support/TestMedia.hpp"

namespace fs = std::filesystem;
using quillon::collectImageFiles;
using quillon::sortNaturally;

namespace {

void touch(const fs::path& file)
{
    fs::create_directories(file.parent_path());
    std::ofstream(file) << "x";
}

std::vector<std::string> names(const std::vector<fs::path>& files, const fs::path& base)
{
    std::vector<std::string> result;
    for (const fs::path& f : files)
        result.push_back(f.lexically_relative(base).string());
    return result;
}

// Sets one environment variable for the life of the object.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name)
    {
        if (const char* old = std::getenv(name))
            old_ = old;
        if (value)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv()
    {
        if (old_)
            setenv(name_, old_->c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

}  // namespace

TEST(CollectImageFiles, FolderKeepsImagesSkipsHiddenAndSortsByFullPath)
{
    ScopedEnv all("LC_ALL", "C");
    fs::path dir = quillon::test::freshDir("collect-folder");
    for (const char* name : {"a.png", "B.JPG", "notes.txt", ".hidden.png", "sub/c.tif",
                             ".secret/d.png", "noext"})
        touch(dir / name);

    EXPECT_EQ(names(collectImageFiles({dir}), dir),
              (std::vector<std::string>{"a.png", "B.JPG", "sub/c.tif"}));
    // A trailing separator or a "." in the folder path changes nothing.
    EXPECT_EQ(names(collectImageFiles({dir.string() + "/", dir / "." / "sub" / ".."}), dir),
              (std::vector<std::string>{"a.png", "B.JPG", "sub/c.tif"}));
}

TEST(CollectImageFiles, DirectFilesRepeatsHiddenAndMissingPaths)
{
    fs::path dir = quillon::test::freshDir("collect-direct");
    touch(dir / "one.png");
    touch(dir / ".x.png");
    touch(dir / "doc.txt");

    // The file named directly, then again inside its folder, is listed once; the hidden file named
    // directly is taken; a missing path and a non-image are skipped.
    auto files = collectImageFiles({dir / "one.png", dir / "missing.png", dir / ".x.png",
                                    dir / "doc.txt", dir, dir / "sub" / ".." / "one.png"});
    EXPECT_EQ(names(files, dir), (std::vector<std::string>{".x.png", "one.png"}));
    for (const fs::path& f : files)
        EXPECT_TRUE(f.is_absolute()) << f;
}

TEST(CollectImageFiles, LinkLoopsAndUnreadableFoldersDoNotHang)
{
    fs::path dir = quillon::test::freshDir("collect-links");
    touch(dir / "real" / "p.png");
    touch(dir / "locked" / "q.png");
    fs::create_directory_symlink(dir, dir / "real" / "loop");          // a cycle back to the top
    fs::create_directory_symlink(dir / "real", dir / "alias");         // a second way in
    fs::create_symlink(dir / "real" / "p.png", dir / "linked.png");    // a link to a file
    fs::create_symlink(dir / "nowhere.png", dir / "dangling.png");     // a broken link
    fs::permissions(dir / "locked", fs::perms::none);

    auto files = collectImageFiles({dir});
    fs::permissions(dir / "locked", fs::perms::owner_all);

    std::vector<std::string> expected{"dangling.png", "linked.png"};
    if (geteuid() == 0)  // root reads the locked folder anyway
        expected.push_back("locked/q.png");
    expected.push_back("real/p.png");
    EXPECT_EQ(names(files, dir), expected);

    // A link named directly is followed.
    EXPECT_EQ(names(collectImageFiles({dir / "alias"}), dir), (std::vector<std::string>{"alias/p.png"}));
}

TEST(SortNaturally, NumbersByValueCaseNotDecidingInCAndOtherLocales)
{
    for (const char* locale : {"C", "POSIX", "en_US.UTF-8", "de_DE.UTF-8", ""}) {
        ScopedEnv all("LC_ALL", locale);
        ScopedEnv lang("LANG", nullptr);
        std::vector<fs::path> paths{"/p/img10.png", "/p/B.JPG", "/p/img2.png", "/p/a.png",
                                    "/p/img1.png", "/p/Img3.png", "/q/a.png", "/p/sub/c.tif", "/p/b\xff.png"};
        sortNaturally(paths);
        EXPECT_EQ(paths, (std::vector<fs::path>{"/p/a.png", "/p/B.JPG", "/p/b\xff.png", "/p/img1.png",
                                                "/p/img2.png", "/p/Img3.png", "/p/img10.png",
                                                "/p/sub/c.tif", "/q/a.png"}))
            << "locale " << locale;
    }
}
