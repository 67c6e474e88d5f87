#include "bridge/FileWrite.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <functional>
#include <random>
#include <sys/stat.h>
#include <unistd.h>

#include "media/FileDescriptor.hpp"

namespace quillon {

namespace {

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

constexpr long kMaxSuffix = 1'000'000;

// Offers the candidate names to `place` in order until it takes one. `place` answers 0 when it
// took the name, EEXIST when something has that name already, and any other errno to give up.
// The name taken, or nothing with errno set (ENAMETOOLONG when no name fits).
std::optional<std::string> placeUnderFreeName(const std::string& stem, const std::string& tail,
                                              const std::string& ext,
                                              const std::function<int(const std::string& name)>& place)
{
    for (long n = 0; n <= kMaxSuffix; ++n) {
        const std::optional<std::string> name = candidateName(stem, tail, ext, n);
        if (!name) {
            errno = ENAMETOOLONG;
            return std::nullopt;
        }
        if (const int error = place(*name); error != EEXIST) {
            errno = error;
            return error == 0 ? name : std::nullopt;
        }
    }
    return std::nullopt;
}

// Writes the bytes into an unnamed file in the folder and links it under the first free name.
// `unsupported` tells when the file system (or a kernel without /proc) cannot make or link
// unnamed files; nothing has then been created.
std::optional<std::string> writeUnnamed(int folder, const std::string& stem, const std::string& tail,
                                        const std::string& ext, std::span<const unsigned char> bytes,
                                        bool& unsupported)
{
    // Closing the descriptor of an unlinked unnamed file discards it, whatever happened before.
    const FileDescriptor file(::openat(folder, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666));
    if (!file) {
        unsupported = errno == EOPNOTSUPP || errno == EISDIR || errno == EINVAL || errno == ENOENT;
        return std::nullopt;
    }
    if (!writeAll(file.get(), bytes) || ::fsync(file.get()) != 0)
        return std::nullopt;
    // The /proc name of the descriptor links the unnamed file itself (AT_EMPTY_PATH would need a
    // privilege); linking fails on an existing name, so nothing is ever replaced.
    const std::string self = "/proc/self/fd/" + std::to_string(file.get());
    bool first = true;
    return placeUnderFreeName(stem, tail, ext, [&](const std::string& name) {
        if (::linkat(AT_FDCWD, self.c_str(), folder, name.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return 0;
        unsupported = first && (errno == ENOENT || errno == EPERM || errno == EOPNOTSUPP || errno == EXDEV);
        first = false;
        return errno;
    });
}

// Where the file system has no unnamed files: writes the bytes to a hidden temporary file and
// publishes it under the first free name.
std::optional<std::string> writeThroughTemporary(int folder, const std::string& stem, const std::string& tail,
                                                 const std::string& ext, std::span<const unsigned char> bytes)
{
    // The temporary file is created exclusively (never an existing file) with the usual mode, so
    // the published file gets the same permissions as any other new file under the umask.
    std::string tmp;
    FileDescriptor fd;
    for (int attempt = 0; attempt < 100 && !fd; ++attempt) {
        tmp = temporaryName();
        fd = FileDescriptor(::openat(folder, tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!fd && errno != EEXIST)
            return std::nullopt;
    }
    if (!fd)
        return std::nullopt;
    if (!writeSyncClose(std::move(fd), bytes)) {
        ::unlinkat(folder, tmp.c_str(), 0);
        return std::nullopt;
    }

    // The no-replace rename (or a hard link, which also fails on an existing name) decides
    // atomically, so a file that another program creates at the same moment is never replaced:
    // this one just moves on to the next suffix. Each way is given up for the next one at the
    // first name the file system refuses it for.
    enum class Publish { RenameNoReplace, Link, ExclusiveCopy } how = Publish::RenameNoReplace;
    std::optional<std::string> name = placeUnderFreeName(stem, tail, ext, [&](const std::string& candidate) {
        if (how == Publish::RenameNoReplace) {
            if (::renameat2(folder, tmp.c_str(), folder, candidate.c_str(), RENAME_NOREPLACE) == 0)
                return 0;
            if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
                return errno;
            how = Publish::Link;
        }
        if (how == Publish::Link) {
            if (::linkat(folder, tmp.c_str(), folder, candidate.c_str(), 0) == 0) {
                ::unlinkat(folder, tmp.c_str(), 0);
                return 0;
            }
            if (errno != EPERM && errno != EOPNOTSUPP && errno != ENOSYS)
                return errno;
            how = Publish::ExclusiveCopy;
        }
        // A file system with neither (some network shares): create the final name exclusively
        // and write the bytes again. Still never replaces anything; a failure removes the
        // partial file, though it is visible under its name while being written.
        FileDescriptor out(
            ::openat(folder, candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666));
        if (!out)
            return errno;
        if (!writeSyncClose(std::move(out), bytes)) {
            const int error = errno;
            ::unlinkat(folder, candidate.c_str(), 0);
            return error;
        }
        ::unlinkat(folder, tmp.c_str(), 0);
        return 0;
    });
    if (!name) {
        const int error = errno;
        ::unlinkat(folder, tmp.c_str(), 0);
        errno = error;
    }
    return name;
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
    const FileDescriptor folder(::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder)
        return std::nullopt;
    bool unsupported = false;
    std::optional<std::string> name = writeUnnamed(folder.get(), stem, tail, ext, bytes, unsupported);
    if (!name && unsupported)
        name = writeThroughTemporary(folder.get(), stem, tail, ext, bytes);
    if (!name)
        return std::nullopt;
    return dir / *name;
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
