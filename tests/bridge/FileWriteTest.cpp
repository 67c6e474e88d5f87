#include <fstream>
#include <set>

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "bridge/FileWrite.hpp"
#include "tests/support/TestMedia.hpp"

namespace quillon {
namespace {

namespace fs = std::filesystem;

std::span<const unsigned char> bytesOf(const std::string& text)
{
    return {reinterpret_cast<const unsigned char*>(text.data()), text.size()};
}

std::string contents(const fs::path& file)
{
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::set<std::string> names(const fs::path& dir)
{
    std::set<std::string> result;
    for (const auto& entry : fs::directory_iterator(dir))
        result.insert(entry.path().filename().string());
    return result;
}

TEST(FileWrite, TakesTheNextSuffixAndNeverReplaces)
{
    fs::path dir = test::freshDir("filewrite-suffix");
    std::ofstream(dir / "clip_p025.png") << "older";

    auto first = writeNewFile(dir, "clip_p025", "png", bytesOf("one"));
    auto second = writeNewFile(dir, "clip_p025", "png", bytesOf("two"));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first, dir / "clip_p025-1.png");
    EXPECT_EQ(*second, dir / "clip_p025-2.png");
    EXPECT_EQ(contents(dir / "clip_p025.png"), "older");
    EXPECT_EQ(contents(*first), "one");
    EXPECT_EQ(contents(*second), "two");
    // No temporary file is left beside them.
    EXPECT_EQ(names(dir), (std::set<std::string>{"clip_p025.png", "clip_p025-1.png", "clip_p025-2.png"}));
}

TEST(FileWrite, ANameTakenByAnythingCountsAsTaken)
{
    // A dangling symbolic link and a folder hold their names too: writing through the link or
    // failing on the folder would both be wrong.
    fs::path dir = test::freshDir("filewrite-taken");
    fs::create_symlink(dir / "nowhere" / "target.png", dir / "a.png");
    fs::create_directory(dir / "a-1.png");

    auto written = writeNewFile(dir, "a", "png", bytesOf("data"));
    ASSERT_TRUE(written);
    EXPECT_EQ(*written, dir / "a-2.png");
    EXPECT_TRUE(fs::is_symlink(dir / "a.png"));
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
}

TEST(FileWrite, WritesEmptyAndLargeFilesWithTheUsualPermissions)
{
    fs::path dir = test::freshDir("filewrite-sizes");
    std::string large(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>(i * 7 + i / 4096);

    auto empty = writeNewFile(dir, "empty", "jpg", bytesOf(""));
    auto big = writeNewFile(dir, "big", "tiff", bytesOf(large));
    ASSERT_TRUE(empty && big);
    EXPECT_EQ(fs::file_size(*empty), 0u);
    EXPECT_TRUE(contents(*big) == large);

    // The hidden temporary file is created 0666 under the umask, like any new file, and not
    // private to the owner the way mkstemp's files are.
    mode_t mask = ::umask(022);
    ::umask(mask);
    struct stat info {};
    ASSERT_EQ(::stat(big->c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
}

TEST(FileWrite, FailsCleanlyWhereNothingCanBeCreated)
{
    fs::path dir = test::freshDir("filewrite-fail");
    EXPECT_FALSE(writeNewFile(dir / "missing", "a", "png", bytesOf("x")));
    std::ofstream(dir / "plain") << "a file, not a folder";
    EXPECT_FALSE(writeNewFile(dir / "plain", "a", "png", bytesOf("x")));
    // /proc refuses new files even to root, whose permission checks pass everywhere else.
    EXPECT_FALSE(writeNewFile("/proc", "a", "png", bytesOf("x")));
    EXPECT_EQ(names(dir), (std::set<std::string>{"plain"}));
}

TEST(FileWrite, WritableFolder)
{
    fs::path dir = test::freshDir("filewrite-writable");
    std::ofstream(dir / "plain") << "x";
    EXPECT_TRUE(isWritableFolder(dir));
    EXPECT_FALSE(isWritableFolder(dir / "plain"));
    EXPECT_FALSE(isWritableFolder(dir / "missing"));
}

}  // namespace
}  // namespace quillon
