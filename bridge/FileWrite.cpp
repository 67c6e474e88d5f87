#include "bridge/FileWrite.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "media/FileDescriptor.hpp"

namespace quillon {

namespace {

// The file descriptor of a folder, closed when it goes out of scope.
class FolderHandle {
public:
    explicit FolderHandle(const std::filesystem::path& dir)
        : fd_(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    {
    }

    int fd() const { return fd_.get(); }

private:
    FileDescriptor fd_;
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
bool writeSyncClose(FileDescriptor fd, std::span<const unsigned char> bytes)
{
    const bool ok = writeAll(fd.get(), bytes) && ::fsync(fd.get()) == 0;
    const bool closed = fd.close();
    return ok && closed;
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

// The longest name of a file on Linux file systems, in bytes.
constexpr std::size_t kMaxNameBytes = 255;

// Candidate n for a new file: stem + tail + ("-" + n when n > 0) + "." + ext, the stem shortened
// at a UTF-8 character boundary when the whole is longer than a name may be. Nothing when even
// one byte of a non-empty stem leaves no room, or the stem would be cut to nothing.
std::optional<std::string> candidateName(const std::string& stem, const std::string& tail,
                                         const std::string& ext, long n)
{
    std::string end = tail;
    if (n > 0)
        end += "-" + std::to_string(n);
    end += "." + ext;
    if (end.size() > kMaxNameBytes)
        return std::nullopt;
    std::size_t keep = std::min(stem.size(), kMaxNameBytes - end.size());
    // Continuation bytes (10xxxxxx) belong to the character before them.
    while (keep > 0 && keep < stem.size() && (static_cast<unsigned char>(stem[keep]) & 0xC0) == 0x80)
        --keep;
    if (keep == 0 && !stem.empty())
        return std::nullopt;
    return stem.substr(0, keep) + end;
}

// How the temporary file gets its final name, chosen by what the file system supports.
enum class Publish { RenameNoReplace, Link, ExclusiveCopy };

constexpr long kMaxSuffix = 1'000'000;

// What writing through an unnamed file came to.
enum class Unnamed { Written, Failed, Unsupported };

// Writes the bytes into an unnamed file in the folder and links it under the first free name.
// Unsupported when the file system (or a kernel without /proc) cannot make or link unnamed files;
// nothing has then been created.
Unnamed writeUnnamed(const FolderHandle& folder, const std::filesystem::path& dir, const std::string& stem,
                     const std::string& tail, const std::string& ext, std::span<const unsigned char> bytes,
                     std::filesystem::path& written)
{
    // Closing the descriptor of an unlinked unnamed file discards it, whatever happened before.
    const FileDescriptor file(::openat(folder.fd(), ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    const int fd = file.get();
    if (fd < 0)
        return errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOENT
                   ? Unnamed::Unsupported
                   : Unnamed::Failed;
    if (!writeAll(fd, bytes) || ::fsync(fd) != 0)
        return Unnamed::Failed;
    // The /proc name of the descriptor links the unnamed file itself (AT_EMPTY_PATH would need a
    // privilege); linking fails on an existing name, so nothing is ever replaced.
    const std::string self = "/proc/self/fd/" + std::to_string(fd);
    for (long n = 0; n <= kMaxSuffix; ++n) {
        const std::optional<std::string> name = candidateName(stem, tail, ext, n);
        if (!name) {
            errno = ENAMETOOLONG;
            return Unnamed::Failed;
        }
        if (::linkat(AT_FDCWD, self.c_str(), folder.fd(), name->c_str(), AT_SYMLINK_FOLLOW) == 0) {
            written = dir / *name;
            return Unnamed::Written;
        }
        if (errno == EEXIST)
            continue;
        if (n == 0 && (errno == ENOENT || errno == EPERM || errno == EOPNOTSUPP || errno == EXDEV))
            return Unnamed::Unsupported;
        return Unnamed::Failed;
    }
    return Unnamed::Failed;
}

}  // namespace

std::optional<std::filesystem::path> writeNewFile(const std::filesystem::path& dir, const std::string& stem,
                                                  const std::string& ext,
                                                  std::span<const unsigned char> bytes)
{
    return writeNewFile(dir, stem, "", ext, bytes);
}

std::optional<std::filesystem::path> writeNewFile(const std::filesystem::path& dir, const std::string& stem,
                                                  const std::string& tail, const std::string& ext,
                                                  std::span<const unsigned char> bytes)
{
    FolderHandle folder(dir);
    if (folder.fd() < 0)
        return std::nullopt;
    std::filesystem::path written;
    switch (writeUnnamed(folder, dir, stem, tail, ext, bytes, written)) {
    case Unnamed::Written:
        return written;
    case Unnamed::Failed:
        return std::nullopt;
    case Unnamed::Unsupported:
        break;  // a hidden temporary file instead
    }

    // The temporary file is created exclusively (never an existing file) with the usual mode, so
    // the published file gets the same permissions as any other new file under the umask.
    std::string tmp;
    FileDescriptor fd;
    for (int attempt = 0; attempt < 100 && !fd; ++attempt) {
        tmp = temporaryName();
        fd = FileDescriptor(
            ::openat(folder.fd(), tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!fd && errno != EEXIST)
            return std::nullopt;
    }
    if (!fd)
        return std::nullopt;
    if (!writeSyncClose(std::move(fd), bytes)) {
        ::unlinkat(folder.fd(), tmp.c_str(), 0);
        return std::nullopt;
    }

    // Publish under the first free name. The no-replace rename (or a hard link, which also fails
    // on an existing name) decides atomically, so a file that another program creates at the same
    // moment is never replaced: this one just moves on to the next suffix.
    Publish how = Publish::RenameNoReplace;
    for (long n = 0; n <= kMaxSuffix; ++n) {
        const std::optional<std::string> fitted = candidateName(stem, tail, ext, n);
        if (!fitted) {
            ::unlinkat(folder.fd(), tmp.c_str(), 0);
            errno = ENAMETOOLONG;
            return std::nullopt;
        }
        const std::string& name = *fitted;
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
        FileDescriptor out(
            ::openat(folder.fd(), name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!out) {
            if (errno == EEXIST)
                continue;
            break;
        }
        if (!writeSyncClose(std::move(out), bytes)) {
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
