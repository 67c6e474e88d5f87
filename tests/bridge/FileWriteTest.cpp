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

TEST(FileWrite, TakesTheNextFreeSuffixAndNeverReplaces)
{
    // A dangling symbolic link and a folder hold their names too: writing through the link or
    // failing on the folder would both be wrong.
    fs::path dir = test::freshDir("filewrite-suffix");
    std::ofstream(dir / "a.png") << "older";
    fs::create_symlink(dir / "nowhere" / "target.png", dir / "a-1.png");
    fs::create_directory(dir / "a-2.png");
    std::string large(3 * 1024 * 1024 + 17, '\0');
    for (std::size_t i = 0; i < large.size(); ++i)
        large[i] = static_cast<char>(i * 7 + i / 4096);

    auto first = writeNewFile(dir, "a", "png", bytesOf(large));
    auto second = writeNewFile(dir, "a", "png", bytesOf(""));
    ASSERT_TRUE(first && second);
    EXPECT_EQ(*first, dir / "a-3.png");
    EXPECT_EQ(*second, dir / "a-4.png");
    EXPECT_EQ(contents(dir / "a.png"), "older");
    EXPECT_TRUE(contents(*first) == large);
    EXPECT_EQ(fs::file_size(*second), 0u);
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
    // No temporary file is left beside them.
    EXPECT_EQ(names(dir), (std::set<std::string>{"a.png", "a-1.png", "a-2.png", "a-3.png", "a-4.png"}));

    // Created 0666 under the umask like any new file, not private the way mkstemp's files are.
    mode_t mask = ::umask(022);
    ::umask(mask);
    struct stat info {};
    ASSERT_EQ(::stat(first->c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0666 & ~mask);
}

TEST(FileWrite, FailsCleanlyWhereNothingCanBeCreated)
{
    fs::path dir = test::freshDir("filewrite-fail");
    std::ofstream(dir / "plain") << "a file, not a folder";
    // /proc refuses new files even to root, whose permission checks pass everywhere else.
    for (const fs::path& where : {dir / "missing", dir / "plain", fs::path("/proc")})
        EXPECT_FALSE(writeNewFile(where, "a", "png", bytesOf("x"))) << where;
    EXPECT_EQ(names(dir), (std::set<std::string>{"plain"}));
}

}  // namespace
}  // namespace quillon
