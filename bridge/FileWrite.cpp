#include "bridge/FileWrite.hpp"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

namespace quillon {

namespace {

// The file descriptor of a folder, closed when it goes out of scope.
class FolderHandle {
public:
    explicit FolderHandle(const std::filesystem::path& dir)
        : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
    }
    ~FolderHandle()
    {
        if (fd_ >= 0)
            ::close(fd_);
    }
    FolderHandle(const FolderHandle&) = delete;
    FolderHandle& operator=(const FolderHandle&) = delete;

    int fd() const { return fd_; }

private:
    int fd_;
};

// Writes every byte, going on after short writes and interrupted calls.
bool writeAll(int fd, std::span<const unsigned char> bytes)
{
    std::size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

// Writes, flushes to the disk and closes; the descriptor is closed in every case.
bool writeSyncClose(int fd, std::span<const unsigned char> bytes)
{
    bool ok = writeAll(fd, bytes) && ::fsync(fd) == 0;
    if (::close(fd) != 0)
        ok = false;
    return ok;
}

// A hidden name that no other writer uses: ".quillon-" + 6 random letters + ".tmp".
std::string temporaryName()
{
    static constexpr char kLetters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    thread_local std::mt19937_64 random{std::random_device{}() ^ static_cast<std::uint64_t>(::getpid())};
    std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
    std::string name = ".quillon-";
    for (int i = 0; i < 6; ++i)
        name += kLetters[pick(random)];
    return name + ".tmp";
}

std::string candidateName(const std::string& stem, const std::string& ext, long n)
{
    std::string name = stem;
    if (n > 0)
        name += "-" + std::to_string(n);
    return name + "." + ext;
}

// How the temporary file gets its final name, chosen by what the file system supports.
enum class Publish { RenameNoReplace, Link, ExclusiveCopy };

constexpr long kMaxSuffix = 1'000'000;

}  // namespace

std::optional<std::filesystem::path> writeNewFile(const std::filesystem::path& dir,
                                                  const std::string& stem, const std::string& ext,
                                                  std::span<const unsigned char> bytes)
{
    FolderHandle folder(dir);
    if (folder.fd() < 0)
        return std::nullopt;

    // The temporary file is created exclusively (never an existing file) with the usual mode, so
    // the published file gets the same permissions as any other new file under the umask.
    std::string tmp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        tmp = temporaryName();
        fd = ::openat(folder.fd(), tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            return std::nullopt;
    }
    if (fd < 0)
        return std::nullopt;
    if (!writeSyncClose(fd, bytes)) {
        ::unlinkat(folder.fd(), tmp.c_str(), 0);
        return std::nullopt;
    }

    // Publish under the first free name. The no-replace rename (or a hard link, which also fails
    // on an existing name) decides atomically, so a file that another program creates at the same
    // moment is never replaced: this one just moves on to the next suffix.
    Publish how = Publish::RenameNoReplace;
    for (long n = 0; n <= kMaxSuffix; ++n) {
        std::string name = candidateName(stem, ext, n);
        if (how == Publish::RenameNoReplace) {
            if (::renameat2(folder.fd(), tmp.c_str(), folder.fd(), name.c_str(), RENAME_NOREPLACE) == 0)
                return dir / name;
            if (errno == EEXIST)
                continue;
            if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
                break;
            how = Publish::Link;
        }
        if (how == Publish::Link) {
            if (::linkat(folder.fd(), tmp.c_str(), folder.fd(), name.c_str(), 0) == 0) {
                ::unlinkat(folder.fd(), tmp.c_str(), 0);
                return dir / name;
            }
            if (errno == EEXIST)
                continue;
            if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS)
                break;
            how = Publish::ExclusiveCopy;
        }
        // A file system with neither (some network shares): create the final name exclusively
        // and write the bytes again. Still never replaces anything; a failure removes the
        // partial file, though it is visible under its name while being written.
        int out = ::openat(folder.fd(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (out < 0) {
            if (errno == EEXIST)
                continue;
            break;
        }
        if (!writeSyncClose(out, bytes)) {
            ::unlinkat(folder.fd(), name.c_str(), 0);
            break;
        }
        ::unlinkat(folder.fd(), tmp.c_str(), 0);
        return dir / name;
    }
    ::unlinkat(folder.fd(), tmp.c_str(), 0);
    return std::nullopt;
}

bool isWritableFolder(const std::filesystem::path& dir)
{
    struct stat info {};
    if (::stat(dir.c_str(), &info) != 0 || !S_ISDIR(info.st_mode))
        return false;
    // Creating a file needs both write and search permission on the folder.
    return ::access(dir.c_str(), W_OK | X_OK) == 0;
}

}  // namespace quillon
